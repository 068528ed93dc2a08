// Channel extraction: every member of one channel in one segment, decoded
// and converted into one flat buffer of 100-value traces.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/zu_error.h"
#include "header/header.h"
#include "zip/zip_reader.h"

namespace zu {

inline constexpr size_t kTraceLength = 100;
inline constexpr std::string_view kFloatSampleType = "float-data";

// Leaves new elements uninitialised: every value is written once, by the
// conversion, so zero-filling the buffer first would only cost time.
template <class T>
struct UninitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitAllocator<U>;
  };
  UninitAllocator() = default;
  template <class U>
  UninitAllocator(const UninitAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

using ValueBuffer = std::vector<double, UninitAllocator<double>>;

// The traces of all matching members, one after another in directory order,
// and the (n, n, 100) grid they are meant to fill, n = floor(sqrt(member
// count)). A trace has 100 values, or as many as its member has samples when
// that is more; value_count is the length of all traces together. Only a
// buffer that fits the grid is ever built: when the member count is no
// square or a member holds more than 100 samples, `values` stays empty and
// value_count alone tells how many values there were.
struct ChannelValues {
  ValueBuffer values;
  size_t member_count = 0;
  uint64_t value_count = 0;
  size_t grid_side = 0;  // n

  std::array<size_t, 3> shape() const { return {grid_side, grid_side, kTraceLength}; }
  bool fits_grid() const { return values.size() == value_count; }
};

// "/" + segment + "/channels/" + name + ".dat": the name ending that
// selects a channel's members for one segment.
std::string member_path(std::string_view name, uint8_t segment);

// Reads every member whose name ends with the member path of `name` in
// `segment` and decodes them as they are read, with `conversion` already
// resolved from the header. Big-endian 4-byte samples (binary32 for
// "float-data", signed 32-bit otherwise) become raw * multiplier + offset; a
// member with fewer than 100 samples is padded with quiet NaN. Hands the
// first member's second value (NaN when it has none) to `diagnostics` as
// one line. Errors: the archive's, NoFile(member path) when nothing
// matches. Needs exclusive use of `reader`.
Result<ChannelValues> read_channel_values(zip::ZipReader& reader, const Conversion& conversion,
                                          std::string_view name, uint8_t segment,
                                          DiagnosticSink& diagnostics);

// The same on `scratch`, without exclusive use of `reader`: several threads
// may read one reader at once, each with its own scratch and sink. Touches
// no Python object. `cancel` (may be null) is asked between members and
// while a large member decodes; a stop ends the read with
// ZuError::cancelled().
Result<ChannelValues> read_channel_values(const zip::ZipReader& reader, zip::ReadScratch& scratch,
                                          zip::CancelCheck* cancel, const Conversion& conversion,
                                          std::string_view name, uint8_t segment,
                                          DiagnosticSink& diagnostics);

// The same read of members already found: `members` are the entries of the
// channel in `segment` in directory order, as a directory index keeps them
// (see ChannelIndex), fetched in windows of at most `window_bytes` (see
// zip::read_windows) and decoded on the calling thread and up to
// `threads` - 1 helpers (0: as many as the machine's cores allow; see
// platform::HelperLease). Same results and errors as the walking read
// above, bit for bit for every thread count. Touches no Python object.
Result<ChannelValues> read_indexed_values(const zip::ZipReader& reader, zip::CancelCheck* cancel,
                                          const Conversion& conversion,
                                          std::span<const zip::PackedEntry> members,
                                          uint64_t window_bytes, size_t threads,
                                          std::string_view name, uint8_t segment,
                                          DiagnosticSink& diagnostics);

}  // namespace zu
