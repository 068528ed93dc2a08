// libFuzzer target: treats the input as a whole data file and walks every
// road a Python caller can take through it — open (archive + header), the
// channel catalogue, the unit types of each channel, and channel extraction
// for every unit type (the base unit included) in a few segments. No member
// may need zlib to correct a fast decoder's output.
//
// zudata's road is taken beside it: the file opened with its directory
// indexed and read through the index, in windows of the default size and
// of one member each, on one thread and on two, as float64 and as float32.
// The remote road too: the same bytes handed over as fetched pieces of a
// few dozen bytes each, so that nearly every read crosses from one piece to
// the next. Each must agree with the road above on every request: both
// fail, or both give the same values bit for bit (float32: the float64
// values cast), and the same members per channel and segment.
//
// The reader only takes paths, so the input is written to one memfd that is
// reused for every run and opened through /proc/self/fd/<n>.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channels/extract.h"
#include "data_file/data_file.h"
#include "header/number.h"
#include "zip/fetched_ranges.h"
#include "zip/member.h"
#include "zip/zip_reader.h"

#include "common.h"

namespace {

// Enough to reach every branch of the catalogue and conversion code while
// keeping one run cheap: each request rebuilds the catalogue and walks the
// whole central directory again.
constexpr uint8_t kSegments = 3;

int g_memfd = -1;
std::string g_path;
// The input, for the road over fetched pieces.
const uint8_t* g_data = nullptr;
size_t g_size = 0;
// Odd, so that pieces end at every alignment of the records.
constexpr size_t kPieceBytes = 61;
// At fuzzing speed the diagnostic lines would bury libFuzzer's own reports.
zu::DiscardDiagnostics g_diagnostics;

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::abort();
}

bool write_all(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Checks what a successful extraction promises: at least one member, at
// least one full trace per member, a shape (n, n, 100) with
// n * n <= k < (n + 1)^2 for k members, and values only when they fill it.
void check_values(const zu::ChannelValues& v) {
  if (v.member_count == 0) __builtin_trap();
  if (v.value_count < v.member_count * zu::kTraceLength) __builtin_trap();
  if (!v.values.empty() && !v.fits_grid()) __builtin_trap();
  const auto [n, m, length] = v.shape();
  if (n != m || length != zu::kTraceLength) __builtin_trap();
  if (n * n > v.member_count || (n + 1) * (n + 1) <= v.member_count) __builtin_trap();
  if (v.fits_grid() && v.values.size() != n * n * length) __builtin_trap();
}

// The file opened as zudata opens it: with the default windows, with
// windows of one member each (every run of members split at its edges),
// and over fetched pieces as a remote file is.
struct IndexedFiles {
  zu::DataFile by_default;
  zu::DataFile by_member;
  zu::DataFile by_pieces;  // over fetched pieces of the input
};

bool same_values(const zu::ChannelValues& a, const zu::ChannelValues& b) {
  return a.member_count == b.member_count && a.value_count == b.value_count &&
         a.grid_side == b.grid_side && a.values.size() == b.values.size() &&
         (a.values.empty() ||
          std::memcmp(a.values.data(), b.values.data(), a.values.size() * sizeof(double)) == 0);
}

// The float32 read of the index against the float64 values cast.
bool same_as_cast(const zu::ChannelValues& doubles, const zu::ChannelValues& floats) {
  if (floats.member_count != doubles.member_count || floats.value_count != doubles.value_count ||
      floats.floats.size() != doubles.values.size()) {
    return false;
  }
  for (size_t i = 0; i < floats.floats.size(); ++i) {
    const float cast = static_cast<float>(doubles.values[i]);
    if (std::memcmp(&cast, &floats.floats[i], sizeof cast) != 0) return false;
  }
  return true;
}

// Every read of the index agrees with `walked`, the walking road's result.
void compare_indexed(const IndexedFiles& indexed, const zu::Result<zu::ChannelValues>& walked,
                     std::string_view name, uint8_t segment, std::string_view unit) {
  zu::zip::ReadScratch scratch;
  const struct {
    const zu::DataFile* file;
    size_t threads;
  } roads[] = {{&indexed.by_default, 1},
               {&indexed.by_member, 1},
               {&indexed.by_member, 2},
               {&indexed.by_pieces, 1}};
  for (const auto& road : roads) {
    auto indexed_read =
        road.file->read_channel(name, segment, unit, g_diagnostics, scratch, nullptr, road.threads);
    if (indexed_read.ok() != walked.ok()) __builtin_trap();
    if (indexed_read && !same_values(indexed_read.value(), walked.value())) __builtin_trap();
  }
  const zu::ValueTarget float32{zu::ValueType::Float32};
  auto floats = indexed.by_default.read_channel(name, segment, unit, g_diagnostics, scratch,
                                                nullptr, 1, float32);
  if (floats.ok() != walked.ok()) __builtin_trap();
  if (floats && !same_as_cast(walked.value(), floats.value())) __builtin_trap();
  (void)indexed.by_default.fetch_ranges(name, segment);
}

void extract_all(zu::DataFile& file, const std::optional<IndexedFiles>& indexed,
                 std::string_view name, std::string_view unit) {
  for (uint8_t segment = 0; segment < kSegments; ++segment) {
    auto values = file.channel_data(name, segment, unit, g_diagnostics);
    if (values) {
      check_values(values.value());
    } else {
      (void)values.error().message();
    }
    if (indexed) compare_indexed(*indexed, values, name, segment, unit);
  }
}

bool same_layouts(const std::vector<zu::ChannelLayout>& a,
                  const std::vector<zu::ChannelLayout>& b) {
  if (a.size() != b.size()) return false;
  for (size_t c = 0; c < a.size(); ++c) {
    if (a[c].name != b[c].name || a[c].traces != b[c].traces || a[c].shortest != b[c].shortest ||
        a[c].longest != b[c].longest) {
      return false;
    }
  }
  return true;
}

// The input opened as a remote file is once all its bytes are fetched.
zu::Result<zu::DataFile> open_over_pieces() {
  auto fetched = std::make_shared<zu::zip::FetchedRanges>(g_size);
  for (size_t at = 0; at < g_size; at += kPieceBytes) {
    const size_t n = std::min(kPieceBytes, g_size - at);
    fetched->add(at, std::vector<uint8_t>(g_data + at, g_data + at + n), false);
  }
  auto reader = zu::zip::ZipReader::open_fetched(fetched);
  if (!reader) return reader.take_error();
  return zu::DataFile::open_indexed(g_path, reader.take(), zu::zip::kDefaultWindowBytes);
}

// The file opened with an index; it fails exactly when the walking open does.
std::optional<IndexedFiles> open_indexed(bool walking_opened) {
  auto by_default = zu::DataFile::open_indexed(g_path);
  auto by_member = zu::DataFile::open_indexed(g_path, 1);
  auto by_pieces = open_over_pieces();
  if (by_default.ok() != walking_opened || by_member.ok() != walking_opened ||
      by_pieces.ok() != walking_opened) {
    __builtin_trap();
  }
  if (!walking_opened) return std::nullopt;
  return IndexedFiles{by_default.take(), by_member.take(), by_pieces.take()};
}

// Everything a caller can ask of the file in the memfd.
void read_everything() {
  auto opened = zu::DataFile::open(g_path);
  std::optional<IndexedFiles> indexed = open_indexed(opened.ok());
  if (!opened) {
    // Every error must render; the binding does this for each failure.
    (void)opened.error().message();
    return;
  }
  zu::DataFile file = opened.take();

  // The catalogue with channel ids, which the base unit's lookup needs.
  auto channels = file.header().get_channels();
  if (!channels) {
    (void)channels.error().message();
    (void)file.channel_names();
    // A broken catalogue fails every request; one try covers that path.
    (void)file.channel_data("", 0, "", g_diagnostics);
    return;
  }
  if (!file.channel_names()) __builtin_trap();

  zu::zip::ReadScratch scratch;
  auto walked = file.layout(scratch);
  auto listed = indexed->by_default.layout(scratch);
  if (walked.ok() != listed.ok()) __builtin_trap();
  if (walked && !same_layouts(walked.value(), listed.value())) __builtin_trap();

  for_each_channel_unit(file.header(), channels.value(),
                        [&](std::string_view name, std::string_view unit) {
                          extract_all(file, indexed, name, unit);
                        });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_memfd = ::memfd_create("zu_fuzz_input", 0);
  if (g_memfd < 0) die("memfd_create");
  g_path = "/proc/self/fd/" + std::to_string(g_memfd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (::ftruncate(g_memfd, 0) != 0 || ::lseek(g_memfd, 0, SEEK_SET) != 0 ||
      !write_all(g_memfd, data, size)) {
    die("writing the input to the memfd");
  }
  g_data = data;
  g_size = size;
  read_everything();
  // Output of a fast decoder that zlib had to correct is a decoder fault,
  // even though the reader returned zlib's bytes.
  if (zu::zip::fast_road_mismatches() != 0) __builtin_trap();
  return 0;
}
