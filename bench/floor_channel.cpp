// The floor for get_channel_data: the least a native program must do to
// return one channel's traces from a Zu data file, with nothing checked
// beyond what the data needs (no zip64, no error texts, no Python).
//
// Per call: read the end record and the whole central directory (one read
// each), keep the entries whose names end with the member path; then per
// member one pread covering local header and compressed data, one
// libdeflate whole-buffer decode with one reused decompressor, libdeflate's
// CRC-32, and the conversion of up to 100 big-endian samples into the
// result, NaN-padded.
//
//   floor_channel FILE SUFFIX float|int MULTIPLIER OFFSET CALLS [OUT]
//
// Prints one line per call with its time in seconds; OUT (optional) gets
// the result values of the last call as native float64, for comparison.
#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "floor_channel: %s\n", what);
  std::exit(1);
}

struct Entry {
  uint64_t offset;
  uint32_t csize, usize, crc, variable;
};

template <bool kFloat>
void convert(const uint8_t* __restrict src, size_t count, double* __restrict dst, double mul,
             double off) {
  for (size_t t = 0; t < count; ++t) {
    uint32_t w;
    std::memcpy(&w, src + 4 * t, 4);
    w = __builtin_bswap32(w);
    const double raw = kFloat ? static_cast<double>(std::bit_cast<float>(w))
                              : static_cast<double>(static_cast<int32_t>(w));
    const double product = raw * mul;
    dst[t] = product + off;
  }
}

std::vector<double> channel(int fd, const std::string& suffix, bool is_float, double mul,
                            double off, libdeflate_decompressor* d) {
  const off_t size = lseek(fd, 0, SEEK_END);
  uint8_t tail[22];
  if (pread(fd, tail, 22, size - 22) != 22 || le32(tail) != 0x06054b50) die("no plain end record");
  const uint32_t cd_size = le32(tail + 12), cd_offset = le32(tail + 16);
  std::vector<uint8_t> cd(cd_size);
  if (pread(fd, cd.data(), cd_size, cd_offset) != static_cast<ssize_t>(cd_size))
    die("short directory");

  std::vector<Entry> matches;
  for (size_t pos = 0; pos + 46 <= cd.size();) {
    const uint8_t* h = cd.data() + pos;
    const uint16_t name_len = le16(h + 28), extra_len = le16(h + 30), comment_len = le16(h + 32);
    const char* name = reinterpret_cast<const char*>(h + 46);
    if (name_len >= suffix.size() &&
        std::memcmp(name + name_len - suffix.size(), suffix.data(), suffix.size()) == 0) {
      matches.push_back(
          {le32(h + 42), le32(h + 20), le32(h + 24), le32(h + 16), uint32_t{name_len} + extra_len});
    }
    pos += 46u + name_len + extra_len + comment_len;
  }

  std::vector<double> values(matches.size() * 100);
  std::vector<uint8_t> in(1 << 16), out(1 << 16);
  for (size_t m = 0; m < matches.size(); ++m) {
    const Entry& e = matches[m];
    const size_t want = 30 + e.variable + e.csize;
    if (in.size() < want) in.resize(want);
    if (out.size() < e.usize) out.resize(e.usize);
    if (pread(fd, in.data(), want, static_cast<off_t>(e.offset)) != static_cast<ssize_t>(want))
      die("short member");
    const size_t header = 30u + le16(in.data() + 26) + le16(in.data() + 28);
    if (header != 30 + e.variable) die("local header differs from the directory");
    size_t got = 0;
    if (libdeflate_deflate_decompress(d, in.data() + header, e.csize, out.data(), e.usize, &got) !=
            LIBDEFLATE_SUCCESS ||
        got != e.usize) {
      die("bad member");
    }
    if (libdeflate_crc32(0, out.data(), got) != e.crc) die("bad checksum");
    const size_t samples = std::min<size_t>(got / 4, 100);
    double* dst = values.data() + m * 100;
    if (is_float) {
      convert<true>(out.data(), samples, dst, mul, off);
    } else {
      convert<false>(out.data(), samples, dst, mul, off);
    }
    for (size_t t = samples; t < 100; ++t) dst[t] = std::bit_cast<double>(0x7FF8000000000000ull);
  }
  return values;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) die("usage: floor_channel FILE SUFFIX float|int MULTIPLIER OFFSET CALLS [OUT]");
  const int fd = open(argv[1], O_RDONLY);
  if (fd < 0) die("cannot open the file");
  const std::string suffix = argv[2];
  const bool is_float = std::strcmp(argv[3], "float") == 0;
  const double mul = std::strtod(argv[4], nullptr), off = std::strtod(argv[5], nullptr);
  const int calls = std::atoi(argv[6]);
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  std::vector<double> values;
  for (int i = 0; i < calls; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    values = channel(fd, suffix, is_float, mul, off, d);
    const auto t1 = std::chrono::steady_clock::now();
    std::printf("%.9f\n", std::chrono::duration<double>(t1 - t0).count());
  }
  if (argc > 7) {
    FILE* f = std::fopen(argv[7], "wb");
    if (f == nullptr ||
        std::fwrite(values.data(), sizeof(double), values.size(), f) != values.size()) {
      die("cannot write OUT");
    }
    std::fclose(f);
  }
  libdeflate_free_decompressor(d);
  close(fd);
  return 0;
}
