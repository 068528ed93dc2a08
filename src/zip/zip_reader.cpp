#include "zip/zip_reader.h"

#include <algorithm>

#include "zip/entries.h"
#include "zip/records.h"

namespace zu::zip {

namespace {

bool same_member(const ZipEntry& a, const ZipEntry& b) {
  return a.local_header_offset == b.local_header_offset && a.compressed_size == b.compressed_size &&
         a.uncompressed_size == b.uncompressed_size && a.crc32 == b.crc32 &&
         a.has_data_descriptor == b.has_data_descriptor;
}

}  // namespace

ReadPlan plan_reads(EntryList entries) {
  const size_t n = entries.size();
  ReadPlan plan{std::vector<size_t>(n), std::vector<uint64_t>(n, UINT64_MAX)};
  auto offset_of = [&](size_t i) { return entries[i].local_header_offset; };
  // Writers put members in directory order, so an order by offset is
  // seldom needed, and then not made (a read's fresh memory is kept small).
  bool sorted = true;
  for (size_t i = 1; i < n && sorted; ++i) sorted = offset_of(i - 1) <= offset_of(i);
  std::vector<size_t> order;
  if (!sorted) {
    order.resize(n);
    for (size_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return offset_of(a) < offset_of(b); });
  }
  auto by_offset = [&](size_t k) { return sorted ? k : order[k]; };
  for (size_t k = 0; k < n;) {
    size_t end = k + 1;
    while (end < n && offset_of(by_offset(end)) == offset_of(by_offset(k))) ++end;
    const uint64_t next = end < n ? offset_of(by_offset(end)) : UINT64_MAX;
    const size_t head = by_offset(k);  // the group's first entry in directory order
    const ZipEntry first = entries[head];
    for (size_t j = k; j < end; ++j) {
      const size_t i = by_offset(j);
      const bool repeat = same_member(entries[i], first);
      plan.first[i] = repeat ? head : i;
      plan.limit[i] = repeat ? next : offset_of(i);
    }
    k = end;
  }
  return plan;
}

Result<ZipReader> ZipReader::open(const std::string& path) {
  ZU_TRY_ASSIGN(FileReader file, FileReader::open(path));
  std::vector<uint8_t> buffer(kBufferSize, 0);
  ZU_TRY_ASSIGN(ZipArchive archive, locate_in_file(std::move(file), buffer, kMaxEocdSearch));
  return ZipReader(std::move(buffer), std::move(archive));
}

Result<ZipReader> ZipReader::open_fetched(std::shared_ptr<FetchedRanges> fetched) {
  std::vector<uint8_t> buffer(kBufferSize, 0);
  ZU_TRY_ASSIGN(ZipArchive archive,
                locate_in_file(FileReader::over(std::move(fetched)), buffer, kMaxEocdSearch));
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
  return read_matches(archive, matches, sink, scratch, cancel);
}

Result<void> ZipReader::read_entries(const std::vector<ZipEntry>& matches, MemberSink& sink) {
  return read_matches(archive_, matches, sink, own_, nullptr);
}

Result<void> ZipReader::read_entries(const std::vector<ZipEntry>& matches, MemberSink& sink,
                                     ReadScratch& scratch, CancelCheck* cancel) const {
  return read_matches(archive_, matches, sink, scratch, cancel);
}

Result<void> ZipReader::read_matches(const ZipArchive& archive,
                                     const std::vector<ZipEntry>& matches, MemberSink& sink,
                                     ReadScratch& scratch, CancelCheck* cancel) {
  const ReadPlan plan = plan_reads(matches);
  sink.begin_files(matches.size());
  CancelPoll poll(cancel);
  MemberReader reader(archive.file, archive.file_length, scratch.whole, &poll);
  for (size_t i = 0; i < matches.size(); ++i) {
    if (poll.should_stop(matches[i].uncompressed_size)) return ZuError::cancelled();
    sink.begin_member(i, deliverable_size(matches[i], archive.file_length));
    if (plan.first[i] != i) {
      sink.repeat_member(plan.first[i]);
    } else {
      ZU_TRY(reader.read(matches[i], plan.limit[i], sink));
    }
    sink.end_member();
  }
  return {};
}

std::optional<uint64_t> ZipReader::signature_after(uint64_t offset,
                                                   std::vector<uint8_t>& buffer) const {
  const uint64_t end = directory_end();
  if (offset >= end) return std::nullopt;
  const size_t len = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - offset));
  Result<size_t> got = archive_.file.read_up_to(offset, buffer.data(), len);
  if (!got) return std::nullopt;
  constexpr uint8_t kSignature[] = {
      kCentralHeaderSignature & 0xFF, (kCentralHeaderSignature >> 8) & 0xFF,
      (kCentralHeaderSignature >> 16) & 0xFF, kCentralHeaderSignature >> 24};
  const uint8_t* begin = buffer.data();
  const uint8_t* found =
      std::search(begin, begin + got.value(), std::begin(kSignature), std::end(kSignature));
  if (found == begin + got.value()) return std::nullopt;
  return offset + static_cast<uint64_t>(found - begin);
}

}  // namespace zu::zip
