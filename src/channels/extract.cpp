#include "channels/extract.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "header/number.h"
#include "platform/bits.h"
#include "platform/worker_pool.h"
#include "zip/fetch_plan.h"

namespace zu {

namespace {

constexpr double kQuietNan = std::bit_cast<double>(0x7FF8000000000000ull);

// floor(sqrt(k)), exact for every size_t.
size_t integer_sqrt(size_t k) {
  size_t r = static_cast<size_t>(std::sqrt(static_cast<double>(k)));
  // Correct the floating-point estimate, which may be off by one.
  while (r > 0 && (r > k / r)) --r;
  while ((r + 1) <= k / (r + 1)) ++r;
  return r;
}

template <bool kFloat>
double convert_sample(const uint8_t* p, Scaling s) {
  uint32_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::little) word = platform::byteswap(word);
  const double raw = kFloat ? static_cast<double>(std::bit_cast<float>(word))
                            : static_cast<double>(static_cast<int32_t>(word));
  // Product, then sum, as two roundings (the build never contracts them).
  const double product = raw * s.multiplier;
  return product + s.offset;
}

// Plain loops over independent samples, which the compiler vectorises. The
// byte swap needs SSSE3 shuffles or better to vectorise, so on x86-64 they
// are also built for AVX2 and the best version is picked when loading. That
// choice at load time needs GCC and an ELF system (Linux); other toolchains
// (Clang, Apple's, MSVC) and systems build the portable loops alone.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__ELF__)
#define ZU_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define ZU_VECTOR_CLONES
#endif

ZU_VECTOR_CLONES void convert_floats(const uint8_t* __restrict src, size_t count,
                                     double* __restrict dst, Scaling s) {
  for (size_t t = 0; t < count; ++t) dst[t] = convert_sample<true>(src + 4 * t, s);
}

ZU_VECTOR_CLONES void convert_ints(const uint8_t* __restrict src, size_t count,
                                   double* __restrict dst, Scaling s) {
  for (size_t t = 0; t < count; ++t) dst[t] = convert_sample<false>(src + 4 * t, s);
}

// The float32 loops: each value is computed in double as above and rounded
// once, to nearest even, when stored (out of range gives infinity, as
// IEEE 754 conversion does), so it equals the float64 value cast.
ZU_VECTOR_CLONES void convert_floats_f32(const uint8_t* __restrict src, size_t count,
                                         float* __restrict dst, Scaling s) {
  for (size_t t = 0; t < count; ++t) {
    dst[t] = static_cast<float>(convert_sample<true>(src + 4 * t, s));
  }
}

ZU_VECTOR_CLONES void convert_ints_f32(const uint8_t* __restrict src, size_t count,
                                       float* __restrict dst, Scaling s) {
  for (size_t t = 0; t < count; ++t) {
    dst[t] = static_cast<float>(convert_sample<false>(src + 4 * t, s));
  }
}

void convert_into(bool float_samples, const uint8_t* src, size_t count, double* dst, Scaling s) {
  if (float_samples) {
    convert_floats(src, count, dst, s);
  } else {
    convert_ints(src, count, dst, s);
  }
}

void convert_into(bool float_samples, const uint8_t* src, size_t count, float* dst, Scaling s) {
  if (float_samples) {
    convert_floats_f32(src, count, dst, s);
  } else {
    convert_ints_f32(src, count, dst, s);
  }
}

// The padding of a short trace: quiet NaN; the float32 one is what the cast
// of the float64 one gives.
template <class Out>
constexpr Out kPadding = kQuietNan;
template <>
constexpr float kPadding<float> = std::bit_cast<float>(0x7FC00000u);

bool ends_with(std::span<const uint8_t> name, std::string_view suffix) {
  if (name.size() < suffix.size()) return false;
  const std::span<const uint8_t> tail = name.last(suffix.size());
  return std::equal(suffix.begin(), suffix.end(), tail.begin(),
                    [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
}

// Hands on the whole 4-byte samples of a member whose bytes arrive in
// pieces that may end inside a sample: such a sample is kept until the
// next piece completes it.
class WholeSamples {
 public:
  void reset() { partial_ = 0; }

  // Calls `put(first_byte, count)` for the samples `bytes` completes.
  template <class Put>
  void feed(std::span<const uint8_t> bytes, Put&& put) {
    const uint8_t* p = bytes.data();
    size_t n = bytes.size();
    if (partial_ != 0) {
      const size_t take = std::min(n, 4 - partial_);
      std::memcpy(word_ + partial_, p, take);
      partial_ += take;
      p += take;
      n -= take;
      if (partial_ < 4) return;
      put(word_, 1);
      partial_ = 0;
    }
    put(p, n / 4);
    partial_ = n % 4;
    std::memcpy(word_, p + (n - partial_), partial_);
  }

 private:
  uint8_t word_[4] = {};
  size_t partial_ = 0;
};

// Converts members as the reader decodes them. Keeps the first 100 samples
// of each member while the grid can still be filled, and otherwise only
// counts: the member count and the value count decide a failing reshape,
// and the first member's second value is the diagnostic line.
class TraceSink final : public zip::MemberSink {
 public:
  TraceSink(const Conversion& conversion, ChannelValues& out)
      : scaling_(conversion.scaling),
        float_samples_(conversion.sample_type == kFloatSampleType),
        out_(out) {}

  void begin_files(size_t count) override {
    out_.member_count = count;
    const size_t n = integer_sqrt(count);
    out_.grid_side = n;
    keep_ = count > 0 && n * n == count && count <= SIZE_MAX / kTraceLength;
    if (keep_) out_.values.resize(count * kTraceLength);
    samples_of_.reserve(count);
  }

  void begin_member(size_t index, uint64_t) override {
    first_member_ = index == 0;
    trace_ = keep_ ? out_.values.data() + index * kTraceLength : nullptr;
    samples_ = 0;
    whole_.reset();
  }

  void member_bytes(std::span<const uint8_t> bytes) override {
    whole_.feed(bytes, [this](const uint8_t* src, size_t count) { put(src, count); });
  }

  // The earlier member's trace is still in the buffer whenever this
  // member's trace is kept, since the grid is dropped only as a whole.
  void repeat_member(size_t earlier) override {
    samples_ = samples_of_[earlier];
    if (trace_ != nullptr) {
      const double* from = out_.values.data() + earlier * kTraceLength;
      std::copy(from, from + kTraceLength, trace_);
    }
  }

  void end_member() override {
    samples_of_.push_back(samples_);
    if (samples_ > kTraceLength) keep_ = false;
    if (trace_ != nullptr && samples_ < kTraceLength) {
      std::fill(trace_ + samples_, trace_ + kTraceLength, kQuietNan);
    }
    const uint64_t len = std::max<uint64_t>(samples_, kTraceLength);
    if (platform::add_overflow(out_.value_count, len, &out_.value_count)) {
      out_.value_count = UINT64_MAX;
    }
  }

  // Drops the buffer when the grid cannot hold the values.
  void finish() {
    if (!keep_) out_.values = ValueBuffer();
  }

  double second_value() const { return second_; }

 private:
  void put(const uint8_t* src, size_t count) {
    if (samples_ < kTraceLength) {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(count, kTraceLength - samples_));
      if (first_member_ && samples_ <= 1 && samples_ + take > 1) {
        second_ = convert(src + 4 * (1 - samples_));
      }
      if (trace_ != nullptr) {
        if (float_samples_) {
          convert_floats(src, take, trace_ + samples_, scaling_);
        } else {
          convert_ints(src, take, trace_ + samples_, scaling_);
        }
      }
    }
    samples_ += count;
  }

  double convert(const uint8_t* p) const {
    return float_samples_ ? convert_sample<true>(p, scaling_) : convert_sample<false>(p, scaling_);
  }

  Scaling scaling_;
  bool float_samples_;
  ChannelValues& out_;
  bool keep_ = false;
  bool first_member_ = false;
  double* trace_ = nullptr;
  uint64_t samples_ = 0;
  WholeSamples whole_;
  double second_ = kQuietNan;
  std::vector<uint64_t> samples_of_;  // per member delivered so far
};

}  // namespace

std::string member_path(std::string_view name, uint8_t segment) {
  std::string path = "/";
  path.append(std::to_string(segment));
  path.append("/channels/");
  path.append(name);
  path.append(".dat");
  return path;
}

namespace {

// The read shared by every road; `read(path, sink)` finds the members of
// `path` and hands them to the sink.
template <class Read>
Result<ChannelValues> read_with(Read&& read, const Conversion& conversion, std::string_view name,
                                uint8_t segment, DiagnosticSink& diagnostics) {
  const std::string path = member_path(name, segment);
  ChannelValues result;
  TraceSink sink(conversion, result);
  ZU_TRY(read(path, sink));
  if (result.member_count == 0) return ZuError::no_file(path);
  sink.finish();
  const double second = sink.second_value();
  diagnostics.line(format_shortest(second) + "\n");
  return result;
}

}  // namespace

Result<ChannelValues> read_channel_values(zip::ZipReader& reader, const Conversion& conversion,
                                          std::string_view name, uint8_t segment,
                                          DiagnosticSink& diagnostics) {
  auto walk = [&](const std::string& path, zip::MemberSink& sink) {
    return reader.for_each_file([&](std::span<const uint8_t> n) { return ends_with(n, path); },
                                sink);
  };
  return read_with(walk, conversion, name, segment, diagnostics);
}

Result<ChannelValues> read_channel_values(const zip::ZipReader& reader, zip::ReadScratch& scratch,
                                          zip::CancelCheck* cancel, const Conversion& conversion,
                                          std::string_view name, uint8_t segment,
                                          DiagnosticSink& diagnostics) {
  auto walk = [&](const std::string& path, zip::MemberSink& sink) {
    return reader.for_each_file([&](std::span<const uint8_t> n) { return ends_with(n, path); },
                                sink, scratch, cancel);
  };
  return read_with(walk, conversion, name, segment, diagnostics);
}

namespace {

// Converts the members one worker of a read decodes, each into its own
// place of the grid (member i fills values [100 i, 100 i + 100)), so that
// workers never share a value. Sample counts go to `samples_of`, one slot
// per member; repeated members are left to the caller (see read_windows).
// The conversion is TraceSink's, so every thread count gives the same bits.
template <class Out>
class SlotSink final : public zip::MemberSink {
 public:
  SlotSink(const Conversion& conversion, Out* values, uint64_t* samples_of, double* second)
      : scaling_(conversion.scaling),
        float_samples_(conversion.sample_type == kFloatSampleType),
        values_(values),
        samples_of_(samples_of),
        second_(second) {}

  void begin_member(size_t index, uint64_t) override {
    index_ = index;
    trace_ = values_ != nullptr ? values_ + index * kTraceLength : nullptr;
    samples_ = 0;
    whole_.reset();
    repeat_ = false;
  }

  void member_bytes(std::span<const uint8_t> bytes) override {
    whole_.feed(bytes, [this](const uint8_t* src, size_t count) { put(src, count); });
  }

  void repeat_member(size_t) override { repeat_ = true; }

  void end_member() override {
    if (repeat_) return;
    samples_of_[index_] = samples_;
    if (trace_ != nullptr && samples_ < kTraceLength) {
      std::fill(trace_ + samples_, trace_ + kTraceLength, kPadding<Out>);
    }
  }

 private:
  void put(const uint8_t* src, size_t count) {
    if (samples_ < kTraceLength) {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(count, kTraceLength - samples_));
      if (index_ == 0 && samples_ <= 1 && samples_ + take > 1) {
        const uint8_t* p = src + 4 * (1 - samples_);
        *second_ =
            float_samples_ ? convert_sample<true>(p, scaling_) : convert_sample<false>(p, scaling_);
      }
      if (trace_ != nullptr) convert_into(float_samples_, src, take, trace_ + samples_, scaling_);
    }
    samples_ += count;
  }

  Scaling scaling_;
  bool float_samples_;
  Out* values_;
  uint64_t* samples_of_;
  double* second_;
  size_t index_ = 0;
  Out* trace_ = nullptr;
  uint64_t samples_ = 0;
  WholeSamples whole_;
  bool repeat_ = false;
};

// Windows small enough that each worker gets a few of them, so that the
// last one to finish does not keep the others waiting long.
uint64_t window_for(zip::EntryList entries, uint64_t window_bytes, size_t workers) {
  if (workers <= 1 || entries.empty()) return window_bytes;
  uint64_t lo = UINT64_MAX, hi = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const zip::ZipEntry e = entries[i];
    lo = std::min(lo, e.local_header_offset);
    uint64_t end = 0;
    if (platform::add_overflow(e.local_header_offset,
                               std::min<uint64_t>(e.compressed_size, window_bytes), &end)) {
      end = UINT64_MAX;
    }
    hi = std::max(hi, end);
  }
  const uint64_t share = (hi > lo ? hi - lo : 0) / (4 * workers);
  return std::clamp<uint64_t>(share, std::min<uint64_t>(window_bytes, uint64_t{64} << 10),
                              window_bytes);
}

}  // namespace

namespace {

// The grid storage of one read: the caller's buffer, or storage of the
// result's own of the target's type; null when the grid is no square.
template <class Out>
Out* grid_storage(ChannelValues& result, const ValueTarget& target, bool square) {
  if (!square) return nullptr;
  if (target.buffer != nullptr) {
    result.in_caller_buffer = true;
    return static_cast<Out*>(target.buffer);
  }
  if constexpr (std::is_same_v<Out, float>) {
    result.floats.resize(result.member_count * kTraceLength);
    return result.floats.data();
  } else {
    result.values.resize(result.member_count * kTraceLength);
    return result.values.data();
  }
}

// Fetches and decodes `entries` into `grid` (null: count only), then
// copies repeated members and counts the values; see read_indexed_values.
template <class Out>
Result<void> decode_members(const zip::ZipReader& reader, zip::CancelCheck* cancel,
                            const Conversion& conversion, zip::EntryList entries,
                            uint64_t window_bytes, size_t threads, Out* grid, ChannelValues& result,
                            double& second) {
  const size_t k = entries.size();
  std::vector<uint64_t> samples_of(k, 0);
  const platform::HelperLease lease(threads == 0 ? SIZE_MAX : threads - 1);
  const size_t workers = 1 + lease.helpers();
  const zip::ReadPlan reads = zip::plan_reads(entries);
  const zip::FetchPlan plan =
      zip::plan_fetches(entries, reads, window_for(entries, window_bytes, workers));
  std::vector<SlotSink<Out>> sinks;
  std::vector<zip::MemberSink*> sink_of;
  sinks.reserve(workers);
  for (size_t w = 0; w < workers; ++w) {
    sinks.emplace_back(conversion, grid, samples_of.data(), &second);
  }
  for (SlotSink<Out>& sink : sinks) sink_of.push_back(&sink);
  ZU_TRY(zip::read_windows(reader.file(), reader.file_length(), entries, reads, plan, sink_of,
                           lease, cancel));

  // Repeated members, now that the members they repeat are all in.
  bool fits = grid != nullptr;
  for (size_t i = 0; i < k; ++i) {
    const size_t first = reads.first[i];
    if (first != i) {
      samples_of[i] = samples_of[first];
      if (grid != nullptr) {
        const Out* from = grid + first * kTraceLength;
        std::copy(from, from + kTraceLength, grid + i * kTraceLength);
      }
    }
    if (samples_of[i] > kTraceLength) fits = false;
    const uint64_t len = std::max<uint64_t>(samples_of[i], kTraceLength);
    if (platform::add_overflow(result.value_count, len, &result.value_count)) {
      result.value_count = UINT64_MAX;
    }
  }
  if (!fits) {
    // The grid cannot hold the values; a caller's buffer keeps what was
    // decoded into it, since the read fails anyway.
    result.values = ValueBuffer();
    result.floats = FloatBuffer();
    result.in_caller_buffer = false;
  }
  return {};
}

}  // namespace

Result<ChannelValues> read_indexed_values(const zip::ZipReader& reader, zip::CancelCheck* cancel,
                                          const Conversion& conversion, zip::EntryList members,
                                          uint64_t window_bytes, size_t threads,
                                          std::string_view name, uint8_t segment,
                                          DiagnosticSink& diagnostics, const ValueTarget& target) {
  const std::string path = member_path(name, segment);
  const size_t k = members.size();
  if (k == 0) return ZuError::no_file(path);

  ChannelValues result;
  result.type = target.type;
  result.member_count = k;
  result.grid_side = integer_sqrt(k);
  const bool square = result.grid_side * result.grid_side == k && k <= SIZE_MAX / kTraceLength;
  if (square && target.buffer != nullptr && target.count != k * kTraceLength) {
    result.caller_buffer_mismatch = true;
    return result;
  }
  const zip::EntryList& entries = members;

  double second = kQuietNan;
  if (target.type == ValueType::Float32) {
    float* grid = grid_storage<float>(result, target, square);
    ZU_TRY(decode_members(reader, cancel, conversion, entries, window_bytes, threads, grid, result,
                          second));
  } else {
    double* grid = grid_storage<double>(result, target, square);
    ZU_TRY(decode_members(reader, cancel, conversion, entries, window_bytes, threads, grid, result,
                          second));
  }
  diagnostics.line(format_shortest(second) + "\n");
  return result;
}

void store_as(ChannelValues& values, const ValueTarget& target) {
  const bool fits = values.fits_grid() && !values.values.empty();
  values.type = target.type;
  if (!fits) return;
  const size_t count = values.values.size();
  if (target.buffer != nullptr && target.count != count) {
    values.caller_buffer_mismatch = true;
    values.values = ValueBuffer();
    return;
  }
  const double* from = values.values.data();
  if (target.type == ValueType::Float32) {
    float* to = static_cast<float*>(target.buffer);
    if (to == nullptr) {
      values.floats.resize(count);
      to = values.floats.data();
    }
    for (size_t i = 0; i < count; ++i) to[i] = static_cast<float>(from[i]);
  } else if (target.buffer != nullptr) {
    std::copy(from, from + count, static_cast<double*>(target.buffer));
  } else {
    return;
  }
  values.in_caller_buffer = target.buffer != nullptr;
  values.values = ValueBuffer();
}

}  // namespace zu
