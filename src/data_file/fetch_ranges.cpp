// The byte ranges one indexed read fetches, for files whose bytes are
// fetched from elsewhere before the read decodes them.
#include <algorithm>
#include <optional>

#include "data_file/data_file.h"
#include "platform/bits.h"
#include "zip/records.h"

namespace zu {

namespace {

// The bytes a member read on its own covers: local header (with the part
// the directory suggests), data and descriptor; none when that overflows.
std::optional<zip::ByteRange> member_range(const zip::ZipEntry& e) {
  const uint64_t desc = e.has_data_descriptor ? zip::kDataDescriptorReadSize : 0;
  uint64_t length = 0;
  if (platform::add_overflow(uint64_t{zip::kLocalHeaderSize} + e.local_variable_guess, desc,
                             &length) ||
      platform::add_overflow(length, e.compressed_size, &length)) {
    return std::nullopt;
  }
  return zip::ByteRange{e.local_header_offset, length};
}

}  // namespace

std::vector<zip::ByteRange> DataFile::fetch_ranges(std::string_view name, uint8_t segment) const {
  std::vector<zip::ByteRange> ranges;
  if (!index_) return ranges;
  const auto members = index_->members(name, segment);
  if (!members) return ranges;
  const zip::EntryList& entries = *members;
  const zip::ReadPlan reads = zip::plan_reads(entries);
  const zip::FetchPlan plan = zip::plan_fetches(entries, reads, window_bytes_);
  for (const zip::FetchWindow& w : plan.windows) {
    if (w.length != 0) {
      ranges.push_back({w.offset, w.length});
    } else if (reads.first[w.first] == w.first) {
      if (auto r = member_range(entries[w.first])) ranges.push_back(*r);
    }
  }
  std::sort(ranges.begin(), ranges.end(),
            [](const zip::ByteRange& a, const zip::ByteRange& b) { return a.offset < b.offset; });
  return ranges;
}

}  // namespace zu
