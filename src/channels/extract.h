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
using FloatBuffer = std::vector<float, UninitAllocator<float>>;

// The element type a read stores. Float32 values are computed in double,
// exactly as Float64 ones, and rounded once when stored, so they equal the
// float64 values cast to float32.
enum class ValueType : uint8_t { Float64, Float32 };

// Where a read stores its values: storage of its own of `type`, or, when
// `buffer` is not null, the caller's `count` elements of `type`, which stay
// valid and unmoved until the read returns.
struct ValueTarget {
  ValueType type = ValueType::Float64;
  void* buffer = nullptr;
  size_t count = 0;
};

// The traces of all matching members, one after another in directory order,
// and the (n, n, 100) grid they are meant to fill, n = floor(sqrt(member
// count)). A trace has 100 values, or as many as its member has samples when
// that is more; value_count is the length of all traces together. Only a
// buffer that fits the grid is ever built: when the member count is no
// square or a member holds more than 100 samples, `values` stays empty and
// value_count alone tells how many values there were.
//
// A read given a ValueTarget stores float32 values in `floats`, and a
// caller's buffer is filled in place (in_caller_buffer); a caller's buffer
// that does not hold the grid's value count is left untouched, nothing is
// read, and caller_buffer_mismatch says so.
struct ChannelValues {
  ValueBuffer values;
  FloatBuffer floats;
  ValueType type = ValueType::Float64;
  bool in_caller_buffer = false;
  bool caller_buffer_mismatch = false;
  size_t member_count = 0;
  uint64_t value_count = 0;
  size_t grid_side = 0;  // n

  std::array<size_t, 3> shape() const { return {grid_side, grid_side, kTraceLength}; }
  bool fits_grid() const {
    if (caller_buffer_mismatch) return false;
    if (in_caller_buffer) return true;
    return type == ValueType::Float32 ? floats.size() == value_count : values.size() == value_count;
  }
};

// `values` (float64 values of its own, as the walking reads give them)
// stored as `target` asks: a caller's buffer is filled, float32 rounded
// once. The reads of an index store into the target directly.
void store_as(ChannelValues& values, const ValueTarget& target);

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
// above, bit for bit for every thread count, stored straight into `target`
// (no float64 copy of a float32 result). A caller's buffer of the wrong
// size is found before any member is fetched. Touches no Python object.
Result<ChannelValues> read_indexed_values(const zip::ZipReader& reader, zip::CancelCheck* cancel,
                                          const Conversion& conversion, zip::EntryList members,
                                          uint64_t window_bytes, size_t threads,
                                          std::string_view name, uint8_t segment,
                                          DiagnosticSink& diagnostics,
                                          const ValueTarget& target = {});

}  // namespace zu
