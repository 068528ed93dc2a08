#include "zip/member.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "zip/records.h"

namespace zu::zip {

namespace {

constexpr const char* kCorruptDeflate = "corrupt deflate stream";
// A reservation is only an optimisation; a size taken from the directory
// never reserves more than this.
constexpr uint64_t kMaxReservation = 64ull << 20;
// DEFLATE cannot expand input by more than about 1032:1.
constexpr uint64_t kMaxDeflateRatio = 1032;
constexpr size_t kOvershootRoom = 32;

struct DataRange {
  uint64_t start;
  uint64_t end;
};

Result<DataRange> get_entry(const FileReader& file, const ZipArchiveEntryWayfinder& w) {
  uint8_t rec[kLocalHeaderSize];
  Result<void> rd = file.read_exact(w.local_header_offset, rec, sizeof rec);
  if (!rd) return rd.take_error().into_zip();
  LeView h({rec, sizeof rec});
  if (h.u32(0) != kLocalHeaderSignature) {
    return ZuError::zip(ZipError::signature(kLocalHeaderSignature, h.u32(0)));
  }
  const uint64_t header_len =
      kLocalHeaderSize + uint64_t{h.u16(kLocalNameLength)} + h.u16(kLocalExtraLength);
  DataRange r;
  if (__builtin_add_overflow(w.local_header_offset, header_len, &r.start) ||
      __builtin_add_overflow(r.start, w.compressed_size, &r.end)) {
    return ZuError::zip(ZipError::of(ZipErrorKind::Eof));
  }
  return r;
}

// Raw DEFLATE over the byte range [start, end) of the file, read through a
// 32 KiB input block. Owns the inflater state.
class RangeInflater {
 public:
  RangeInflater(const FileReader& file, DataRange range)
      : file_(file), next_(range.start), end_(range.end), input_(new uint8_t[kInflateInputSize]) {
    std::memset(&z_, 0, sizeof z_);
    ok_ = inflateInit2(&z_, -15) == Z_OK;
  }
  ~RangeInflater() {
    if (ok_) inflateEnd(&z_);
  }
  RangeInflater(const RangeInflater&) = delete;
  RangeInflater& operator=(const RangeInflater&) = delete;

  // Decodes up to `len` bytes into `dst`. 0 means the stream ended, or the
  // input ran out without producing anything more (a truncated stream then
  // shows up in the size check).
  Result<size_t> read(uint8_t* dst, size_t len) {
    if (!ok_) return corrupt();
    if (finished_ || len == 0) return size_t{0};
    z_.next_out = dst;
    z_.avail_out = static_cast<uInt>(std::min<size_t>(len, UINT32_MAX));
    for (;;) {
      if (z_.avail_in == 0 && !input_done_) ZU_TRY(refill());
      const uInt before = z_.avail_out;
      const int ret = inflate(&z_, input_done_ ? Z_FINISH : Z_NO_FLUSH);
      const size_t produced = before - z_.avail_out;
      if (ret == Z_STREAM_END) {
        finished_ = true;
        return produced;
      }
      if (ret != Z_OK && ret != Z_BUF_ERROR) return corrupt();
      if (produced > 0) return produced;
      // Nothing produced: more input may help, unless there is none left.
      if (input_done_) return size_t{0};
    }
  }

 private:
  static ZuError corrupt() { return ZuError::io(IoError::custom(kCorruptDeflate)); }

  Result<void> refill() {
    const uint64_t left = end_ > next_ ? end_ - next_ : 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, kInflateInputSize));
    ZU_TRY_ASSIGN(size_t got, file_.read_some(next_, input_.get(), want));
    next_ += got;
    if (got == 0) input_done_ = true;
    z_.next_in = input_.get();
    z_.avail_in = static_cast<uInt>(got);
    return {};
  }

  const FileReader& file_;
  uint64_t next_;
  uint64_t end_;
  std::unique_ptr<uint8_t[]> input_;
  z_stream z_;
  bool ok_ = false;
  bool input_done_ = false;
  bool finished_ = false;
};

// Wraps the inflater with a running CRC-32 and byte count, and checks them
// against the directory (or data descriptor) whenever the stream ends or
// the count reaches the recorded size.
class ZipVerifier {
 public:
  ZipVerifier(const FileReader& file, DataRange range, const ZipArchiveEntryWayfinder& w)
      : file_(file), data_end_(range.end), w_(w), inflater_(file, range) {}

  Result<size_t> read(uint8_t* dst, size_t len) {
    ZU_TRY_ASSIGN(size_t n, inflater_.read(dst, len));
    crc_ = static_cast<uint32_t>(crc32_z(crc_, dst, n));
    count_ += n;
    if (n == 0 || count_ >= w_.uncompressed_size_hint) ZU_TRY(check());
    return n;
  }

 private:
  Result<uint32_t> stored_crc() const {
    if (!w_.has_data_descriptor) return w_.crc32;
    uint8_t desc[kDataDescriptorReadSize];
    ZU_TRY(file_.read_exact(data_end_, desc, sizeof desc));
    LeView d({desc, sizeof desc});
    return d.u32(0) == kDataDescriptorSignature ? d.u32(4) : d.u32(0);
  }

  Result<void> check() const {
    ZU_TRY_ASSIGN(uint32_t stored, stored_crc());
    if (count_ != w_.uncompressed_size_hint) {
      return ZuError::io(IoError::custom(ZipError::size(w_.uncompressed_size_hint, count_).message()));
    }
    if (crc_ != 0 && crc_ != stored) {
      return ZuError::io(IoError::custom(ZipError::checksum(crc_, stored).message()));
    }
    return {};
  }

  const FileReader& file_;
  uint64_t data_end_;
  const ZipArchiveEntryWayfinder& w_;
  RangeInflater inflater_;
  uint32_t crc_ = 0;
  uint64_t count_ = 0;
};

// Reserve what the directory records, bounded by what the compressed bytes
// present in the file could possibly expand to.
size_t reservation(const ZipArchiveEntryWayfinder& w, DataRange r, uint64_t file_length) {
  const uint64_t present = r.start < file_length ? std::min(w.compressed_size, file_length - r.start) : 0;
  // Compare before multiplying, so a huge file cannot overflow the product.
  const uint64_t bound = present >= kMaxReservation / kMaxDeflateRatio
                             ? kMaxReservation
                             : present * kMaxDeflateRatio + 1;
  return static_cast<size_t>(std::min(w.uncompressed_size_hint, bound));
}

}  // namespace

Result<std::vector<uint8_t>> read_member(const FileReader& file, uint64_t file_length,
                                         const ZipArchiveEntryWayfinder& wayfinder) {
  ZU_TRY_ASSIGN(DataRange range, get_entry(file, wayfinder));
  ZipVerifier verifier(file, range, wayfinder);
  std::vector<uint8_t> out;
  // Room past the recorded size lets the read that overshoots it show up as
  // a size error rather than as a checksum error over a prefix.
  out.reserve(reservation(wayfinder, range, file_length) + kOvershootRoom);
  for (;;) {
    if (out.size() == out.capacity()) out.reserve(std::max<size_t>(out.capacity() * 2, 4096));
    const size_t old = out.size();
    out.resize(out.capacity());
    Result<size_t> n = verifier.read(out.data() + old, out.size() - old);
    if (!n) return n.take_error();
    out.resize(old + n.value());
    if (n.value() == 0) break;
  }
  if (out.capacity() > 2 * out.size() + 4096) out.shrink_to_fit();
  return out;
}

}  // namespace zu::zip
