// The floor for opening a data file: the least work any reader must do to
// get at the header, written as plainly as possible.
//
//   open the file; read its tail and find the end-of-central-directory
//   record (and the zip64 one when the counts are saturated); read the whole
//   central directory with positioned reads through one 64 KiB buffer,
//   comparing every entry name with "shared-data/header.properties"; read
//   the header's local header and compressed bytes and inflate them (raw
//   DEFLATE) with a CRC-32 check; close the file.
//
// No validation beyond what is needed not to crash, no error texts, no
// allocation per entry. bench_open.py compiles it (g++ -O2, zlib) into a
// shared library and calls zu_floor_open() through ctypes, alternating with
// the extension call by call and timing both the same way, so that both see
// the same machine load. Built as a program it runs
//
//   floor_open FILE ITERATIONS
//
// and prints one line per iteration: the nanoseconds it took, the number of
// entries walked and the header length.

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kHeaderName = "shared-data/header.properties";
constexpr size_t kBuffer = 65536;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t le64(const uint8_t* p) { return le32(p) | static_cast<uint64_t>(le32(p + 4)) << 32; }

struct Failure {
  const char* what;
};

[[noreturn]] void die(const char* what) { throw Failure{what}; }

void read_full(int fd, uint8_t* dst, size_t len, uint64_t off) {
  while (len > 0) {
    const ssize_t n = pread(fd, dst, len, static_cast<off_t>(off));
    if (n <= 0) die("short read");
    dst += n;
    len -= static_cast<size_t>(n);
    off += static_cast<uint64_t>(n);
  }
}

struct Found {
  uint64_t entries = 0;
  bool hit = false;
  uint32_t crc = 0;
  uint64_t csize = 0, usize = 0, local = 0;
};

struct Result {
  uint64_t entries;
  size_t header_len;
};

Result open_once(const char* path, std::vector<uint8_t>& buf) {
  struct File {
    int fd;
    ~File() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(path, O_RDONLY | O_CLOEXEC)};
  const int fd = file.fd;
  if (fd < 0) die("open");
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 22) die("tiny file");
  const uint64_t file_len = static_cast<uint64_t>(end);

  // End of central directory: the last signature in the tail.
  const size_t tail = static_cast<size_t>(file_len < kBuffer ? file_len : kBuffer);
  read_full(fd, buf.data(), tail, file_len - tail);
  size_t at = tail - 22 + 1;
  do {
    if (at-- == 0) die("no end of central directory");
  } while (le32(buf.data() + at) != 0x06054b50);
  uint64_t cd_size = le32(buf.data() + at + 12);
  uint64_t cd_offset = le32(buf.data() + at + 16);
  uint64_t cd_end = file_len - tail + at;
  if (le16(buf.data() + at + 8) == 0xFFFF || cd_offset == 0xFFFFFFFF) {
    if (at < 20 || le32(buf.data() + at - 20) != 0x07064b50) die("no zip64 locator");
    const uint64_t rec = le64(buf.data() + at - 20 + 8);
    uint8_t z[56];
    read_full(fd, z, sizeof z, rec);
    if (le32(z) != 0x06064b50) die("no zip64 record");
    cd_size = le64(z + 40);
    cd_offset = le64(z + 48);
    cd_end = rec;
  }
  (void)cd_size;

  // The walk: fixed 46-byte records, names compared in place.
  Found found;
  uint64_t next = cd_offset;
  size_t pos = 0, fill = 0;
  for (;;) {
    if (fill - pos < 46) {
      if (next >= cd_end) break;
      std::memmove(buf.data(), buf.data() + pos, fill - pos);
      fill -= pos;
      pos = 0;
      const uint64_t want64 = cd_end - next < kBuffer - fill ? cd_end - next : kBuffer - fill;
      const size_t want = static_cast<size_t>(want64);
      read_full(fd, buf.data() + fill, want, next);
      fill += want;
      next += want;
      if (fill < 46) die("truncated directory");
    }
    const uint8_t* r = buf.data() + pos;
    if (le32(r) != 0x02014b50) die("bad directory signature");
    const size_t n = le16(r + 28);
    const size_t var = n + le16(r + 30) + le16(r + 32);
    if (fill - pos - 46 < var) {
      // Straddles the buffer end: pull the rest in behind it.
      std::memmove(buf.data(), r, fill - pos);
      fill -= pos;
      pos = 0;
      const size_t want =
          static_cast<size_t>(cd_end - next < kBuffer - fill ? cd_end - next : kBuffer - fill);
      read_full(fd, buf.data() + fill, want, next);
      fill += want;
      next += want;
      if (fill < 46 + var) die("record too large");
      r = buf.data();
    }
    ++found.entries;
    if (n == kHeaderName.size() && std::memcmp(r + 46, kHeaderName.data(), n) == 0 && !found.hit) {
      found.hit = true;
      found.crc = le32(r + 16);
      found.csize = le32(r + 20);
      found.usize = le32(r + 24);
      found.local = le32(r + 42);
    }
    pos += 46 + var;
  }
  if (!found.hit) die("no header");

  // The header member: local header, compressed bytes, raw inflate, CRC-32.
  uint8_t lh[30];
  read_full(fd, lh, sizeof lh, found.local);
  if (le32(lh) != 0x04034b50) die("bad local header");
  const uint64_t data = found.local + 30 + le16(lh + 26) + le16(lh + 28);
  std::vector<uint8_t> packed(found.csize);
  read_full(fd, packed.data(), packed.size(), data);
  std::vector<uint8_t> text(found.usize);
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) die("inflateInit2");
  struct Inflater {
    z_stream* zs;
    ~Inflater() { inflateEnd(zs); }
  } inflater{&zs};
  zs.next_in = packed.data();
  zs.avail_in = static_cast<uInt>(packed.size());
  zs.next_out = text.data();
  zs.avail_out = static_cast<uInt>(text.size());
  if (inflate(&zs, Z_FINISH) != Z_STREAM_END || zs.total_out != text.size()) die("inflate");
  if (crc32(0L, text.data(), static_cast<uInt>(text.size())) != found.crc) die("crc");
  return {found.entries, text.size()};
}

}  // namespace

// One open; 0, or -1 (with a note on stderr) when the file is not what the
// loop can read.
extern "C" int zu_floor_open(const char* path, unsigned long long* entries,
                             unsigned long long* header_len) {
  static std::vector<uint8_t> buf(kBuffer);
  try {
    const Result r = open_once(path, buf);
    *entries = r.entries;
    *header_len = r.header_len;
    return 0;
  } catch (const Failure& f) {
    std::fprintf(stderr, "floor_open: %s\n", f.what);
    return -1;
  }
}

#ifndef FLOOR_OPEN_LIBRARY
int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: floor_open FILE ITERATIONS\n");
    return 2;
  }
  const long iterations = std::atol(argv[2]);
  for (long i = 0; i < iterations; ++i) {
    unsigned long long entries = 0, header_len = 0;
    const auto t0 = std::chrono::steady_clock::now();
    if (zu_floor_open(argv[1], &entries, &header_len) != 0) return 1;
    const auto t1 = std::chrono::steady_clock::now();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
    std::printf("%lld %llu %llu\n", static_cast<long long>(ns), entries, header_len);
  }
  return 0;
}
#endif
