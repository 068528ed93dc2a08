#include "zip/zip_reader.h"

#include "zip/entries.h"
#include "zip/records.h"

namespace zu::zip {

namespace {

// Keeps every member whole, for callers that want them all at once.
class CollectingSink final : public MemberSink {
 public:
  explicit CollectingSink(std::vector<std::vector<uint8_t>>& files) : files_(files) {}
  void begin_files(size_t count) override { files_.reserve(count); }
  void begin_member(size_t) override { files_.emplace_back(); }
  void member_bytes(std::span<const uint8_t> bytes) override {
    files_.back().insert(files_.back().end(), bytes.begin(), bytes.end());
  }

 private:
  std::vector<std::vector<uint8_t>>& files_;
};

}  // namespace

Result<ZipReader> ZipReader::open(const std::string& path) {
  ZU_TRY_ASSIGN(FileReader file, FileReader::open(path));
  std::vector<uint8_t> buffer(kBufferSize, 0);
  ZU_TRY_ASSIGN(ZipArchive archive, locate_in_file(std::move(file), buffer, kMaxEocdSearch));
  return ZipReader(std::move(buffer), std::move(archive));
}

Result<void> ZipReader::for_each_file(const NamePredicate& predicate, MemberSink& sink) {
  return walk(archive_, predicate, sink, own_, nullptr);
}

Result<void> ZipReader::for_each_file(const NamePredicate& predicate, MemberSink& sink,
                                      ReadScratch& scratch, CancelCheck* cancel) const {
  return walk(archive_, predicate, sink, scratch, cancel);
}

Result<void> ZipReader::walk(const ZipArchive& archive, const NamePredicate& predicate,
                             MemberSink& sink, ReadScratch& scratch, CancelCheck* cancel) {
  std::vector<ZipEntry> matches;
  ZipEntries entries(archive, scratch.buffer);
  for (;;) {
    ZU_TRY_ASSIGN(std::optional<ZipEntry> entry, entries.next_match(predicate));
    if (!entry) break;
    matches.push_back(*entry);
  }
  sink.begin_files(matches.size());
  MemberReader reader(archive.file, archive.file_length, scratch.whole);
  CancelPoll poll(cancel);
  for (size_t i = 0; i < matches.size(); ++i) {
    if (poll.should_stop(matches[i].uncompressed_size)) return ZuError::cancelled();
    sink.begin_member(i);
    ZU_TRY(reader.read(matches[i], sink));
    sink.end_member();
  }
  return {};
}

Result<std::vector<std::vector<uint8_t>>> ZipReader::get_files(const NamePredicate& predicate) {
  std::vector<std::vector<uint8_t>> files;
  CollectingSink sink(files);
  ZU_TRY(for_each_file(predicate, sink));
  return files;
}

}  // namespace zu::zip
