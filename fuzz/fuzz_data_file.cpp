// libFuzzer target: treats the input as a whole data file and walks every
// road a Python caller can take through it — open (archive + header), the
// channel catalogue, the unit types of each channel, and channel extraction
// for every unit type (the base unit included) in a few segments. No member
// may need zlib to correct a fast decoder's output.
//
// The reader only takes paths, so the input is written to one memfd that is
// reused for every run and opened through /proc/self/fd/<n>.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "channels/extract.h"
#include "data_file/data_file.h"
#include "header/number.h"
#include "zip/member.h"

#include "common.h"

namespace {

// Enough to reach every branch of the catalogue and conversion code while
// keeping one run cheap: each request rebuilds the catalogue and walks the
// whole central directory again.
constexpr uint8_t kSegments = 3;

int g_memfd = -1;
std::string g_path;
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

void extract_all(zu::DataFile& file, std::string_view name, std::string_view unit) {
  for (uint8_t segment = 0; segment < kSegments; ++segment) {
    auto values = file.channel_data(name, segment, unit, g_diagnostics);
    if (values) {
      check_values(values.value());
    } else {
      (void)values.error().message();
    }
  }
}

// Everything a caller can ask of the file in the memfd.
void read_everything() {
  auto opened = zu::DataFile::open(g_path);
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

  for_each_channel_unit(
      file.header(), channels.value(),
      [&](std::string_view name, std::string_view unit) { extract_all(file, name, unit); });
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
  read_everything();
  // Output of a fast decoder that zlib had to correct is a decoder fault,
  // even though the reader returned zlib's bytes.
  if (zu::zip::fast_road_mismatches() != 0) __builtin_trap();
  return 0;
}
