// Channel extraction: every member of one channel in one segment, decoded
// and converted into one flat buffer of 100-value traces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// The traces of all matching members, one after another in directory order.
// A trace has 100 values, or as many as its member has samples when that is
// more; value_count is the length of all traces together. Only a buffer
// that fits the (n, n, 100) grid is ever built: when the member count is no
// square or a member holds more than 100 samples, `values` stays empty and
// value_count alone tells how many values there were.
struct ChannelValues {
  ValueBuffer values;
  size_t member_count = 0;
  uint64_t value_count = 0;

  bool fits_grid() const { return values.size() == value_count; }
};

// "/" + segment + "/channels/" + name + ".dat": the name ending that
// selects a channel's members for one segment.
std::string member_path(std::string_view name, uint8_t segment);

// Resolves the conversion (header errors come before any archive access),
// reads every member whose name ends with the member path, and decodes
// them as they are read. Big-endian 4-byte samples (binary32 for
// "float-data", signed 32-bit otherwise) become raw * multiplier + offset; a
// member with fewer than 100 samples is padded with quiet NaN. Hands the
// conversion's line and then the second value to `diagnostics`. Errors: the
// header's, the archive's, NoFile(member path) when nothing matches.
Result<ChannelValues> read_channel_values(const ZuHeader& header, zip::ZipReader& reader,
                                          std::string_view name, uint8_t segment,
                                          std::string_view unit_type, DiagnosticSink& diagnostics);

// floor(sqrt(k)), exact for every size_t.
size_t integer_sqrt(size_t k);

}  // namespace zu
