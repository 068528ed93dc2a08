#include "zip/zip_reader.h"

#include "zip/entries.h"
#include "zip/member.h"
#include "zip/records.h"

namespace zu::zip {

Result<ZipReader> ZipReader::open(const std::string& path) {
  ZU_TRY_ASSIGN(FileReader file, FileReader::open(path));
  std::vector<uint8_t> buffer(kBufferSize, 0);
  ZU_TRY_ASSIGN(ZipArchive archive, locate_in_file(std::move(file), buffer, kMaxEocdSearch));
  return ZipReader(std::move(buffer), std::move(archive));
}

Result<std::vector<std::vector<uint8_t>>> ZipReader::get_files(const NamePredicate& predicate) {
  std::vector<ZipArchiveEntryWayfinder> matches;
  ZipEntries entries(archive_, buffer_);
  for (;;) {
    ZU_TRY_ASSIGN(std::optional<CentralEntry> entry, entries.next_entry());
    if (!entry) break;
    if (!predicate(entry->name)) continue;
    matches.push_back({entry->uncompressed_size, entry->compressed_size,
                       entry->local_header_offset, entry->crc32,
                       (entry->flags & kFlagDataDescriptor) != 0});
  }
  std::vector<std::vector<uint8_t>> files;
  files.reserve(matches.size());
  for (const ZipArchiveEntryWayfinder& w : matches) {
    ZU_TRY_ASSIGN(std::vector<uint8_t> data, read_member(archive_.file, archive_.file_length, w));
    files.push_back(std::move(data));
  }
  return files;
}

}  // namespace zu::zip
