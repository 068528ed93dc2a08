#include "zip/member.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#if ZU_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "zip/block_check.h"
#include "zip/records.h"

namespace zu::zip {

namespace {

constexpr const char* kCorruptDeflate = "corrupt deflate stream";
// The largest room a streamed member's first request asks for. Requests are
// sized as if the output grew in one buffer of the member's size, so that
// errors surface at the same points whatever the road; nothing of this
// size is allocated.
constexpr uint64_t kMaxReservation = 64ull << 20;
// DEFLATE cannot expand input by more than about 1032:1.
constexpr uint64_t kMaxDeflateRatio = 1032;
constexpr uint64_t kOvershootRoom = 32;
constexpr uint64_t kFirstGrowth = 4096;
// Streamed output is decoded into a block of this size and handed on.
constexpr size_t kStreamBlock = size_t{256} << 10;

ZuError corrupt() { return ZuError::io(kCorruptDeflate); }

std::atomic<uint64_t> g_fast_road_mismatches{0};
void note_fast_road_mismatch() { g_fast_road_mismatches.fetch_add(1, std::memory_order_relaxed); }

struct DataRange {
  uint64_t start;
  uint64_t end;
};

// Bytes [start, end) of the data after a local header of `header_len`
// bytes at `offset`; false when the range does not fit in 64 bits.
bool data_range(uint64_t offset, uint64_t header_len, uint64_t compressed, DataRange& r) {
  return !platform::add_overflow(offset, header_len, &r.start) &&
         !platform::add_overflow(r.start, compressed, &r.end);
}

// What the reader uses of a local header.
struct LocalHeader {
  uint32_t signature;
  uint64_t length;  // fixed and variable part
};

LocalHeader parse_local_header(const uint8_t* rec) {
  ReadBuf b(rec, kLocalHeaderSize);
  LocalHeader h;
  h.signature = b.u32();
  b.skip(22);  // versions, flags, method, time, date, CRC-32, sizes
  const uint16_t name_length = b.u16();
  h.length = kLocalHeaderSize + uint64_t{name_length} + b.u16();
  return h;
}

Result<DataRange> get_entry(const FileReader& file, const ZipEntry& e, uint64_t limit) {
  uint8_t rec[kLocalHeaderSize];
  ZU_TRY(file.read_exact(e.local_header_offset, rec, sizeof rec));
  const LocalHeader h = parse_local_header(rec);
  if (h.signature != kLocalHeaderSignature) {
    return ZuError::zip(zip_text::invalid_signature(kLocalHeaderSignature, h.signature));
  }
  DataRange r;
  if (!data_range(e.local_header_offset, h.length, e.compressed_size, r)) {
    return ZuError::zip(zip_text::unexpected_eof());
  }
  if (r.start > limit) {
    return ZuError::zip(zip_text::overlapping_entries(e.local_header_offset, limit));
  }
  return r;
}

// The CRC in a data descriptor, with or without its optional signature.
uint32_t descriptor_crc(const uint8_t* desc) {
  ReadBuf b(desc, kDataDescriptorReadSize);
  const uint32_t first = b.u32();
  return first == kDataDescriptorSignature ? b.u32() : first;
}

// An empty member's CRC is 0 and is not compared with the recorded one;
// every other member's CRC must equal it.
bool crc_matches(uint64_t size, uint32_t computed, uint32_t stored) {
  return size == 0 || computed == stored;
}

// The room of a streamed member's first request: the recorded size, bounded
// by what the compressed bytes present in the file could expand to.
uint64_t first_room(const ZipEntry& e, DataRange r, uint64_t file_length) {
  const uint64_t present =
      r.start < file_length ? std::min(e.compressed_size, file_length - r.start) : 0;
  // Compare before multiplying, so a huge file cannot overflow the product.
  const uint64_t bound = present >= kMaxReservation / kMaxDeflateRatio
                             ? kMaxReservation
                             : present * kMaxDeflateRatio + 1;
  return std::min(e.uncompressed_size, bound) + kOvershootRoom;
}

}  // namespace

uint64_t fast_road_mismatches() { return g_fast_road_mismatches.load(std::memory_order_relaxed); }

uint64_t deliverable_size(const ZipEntry& e, uint64_t file_length) {
  const uint64_t present = e.local_header_offset < file_length
                               ? std::min(e.compressed_size, file_length - e.local_header_offset)
                               : 0;
  const uint64_t bound =
      present >= UINT64_MAX / kMaxDeflateRatio ? UINT64_MAX : present * kMaxDeflateRatio + 1;
  return std::min(e.uncompressed_size, bound);
}

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t len) {
#if ZU_HAVE_LIBDEFLATE
  return libdeflate_crc32(crc, data, len);
#else
  return static_cast<uint32_t>(crc32_z(crc, data, len));
#endif
}

// ---- whole-buffer decoding -------------------------------------------------

namespace {

// zlib over a whole buffer: the decoder whose verdict every build gives.
class ZlibWhole {
 public:
  ZlibWhole() {
    std::memset(&z_, 0, sizeof z_);
    ok_ = inflateInit2(&z_, -15) == Z_OK;
  }
  ~ZlibWhole() {
    if (ok_) inflateEnd(&z_);
  }
  ZlibWhole(const ZlibWhole&) = delete;
  ZlibWhole& operator=(const ZlibWhole&) = delete;

  bool decode_exact(std::span<const uint8_t> in, std::span<uint8_t> out) {
    static uint8_t none;
    if (!ok_ || in.size() > UINT32_MAX || out.size() > UINT32_MAX || inflateReset(&z_) != Z_OK) {
      return false;
    }
    z_.next_in = const_cast<uint8_t*>(in.data());
    z_.avail_in = static_cast<uInt>(in.size());
    z_.next_out = out.empty() ? &none : out.data();
    z_.avail_out = static_cast<uInt>(out.size());
    return inflate(&z_, Z_FINISH) == Z_STREAM_END && z_.total_out == out.size();
  }

 private:
  z_stream z_;
  bool ok_ = false;
};

}  // namespace

#if ZU_HAVE_LIBDEFLATE
// One final dynamic block whose header passes zlib's rules (what writers
// make of a compressible trace) is decoded in-house, its header read once
// for the check and the tables; libdeflate takes the other streams on which
// it provably agrees with zlib (see block_check.h), and zlib the rest,
// including every such block the in-house decoder does not finish.
struct WholeDecoder::State {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  std::unique_ptr<DecodeTables> tables{new (std::nothrow) DecodeTables};
  ZlibWhole zlib;
  WholeRoad road = WholeRoad::kNone;
  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    if (d != nullptr) libdeflate_free_decompressor(d);
  }
  bool decode_exact(std::span<const uint8_t> in, std::span<uint8_t> out) {
    if (tables != nullptr) {
      switch (decode_single_dynamic_block(in, out, *tables)) {
        case SingleBlock::kDecoded:
          road = WholeRoad::kInHouse;
          return true;
        case SingleBlock::kFailed: {
          road = WholeRoad::kInHouseThenZlib;
          const bool ok = zlib.decode_exact(in, out);
          if (ok) note_fast_road_mismatch();
          return ok;
        }
        case SingleBlock::kOther:
          break;
      }
    }
    if (d == nullptr || !fast_decoder_agrees(in)) {
      road = WholeRoad::kZlib;
      return zlib.decode_exact(in, out);
    }
    road = WholeRoad::kLibdeflate;
    size_t used_in = 0, used_out = 0;
    const libdeflate_result r = libdeflate_deflate_decompress_ex(
        d, in.data(), in.size(), out.data(), out.size(), &used_in, &used_out);
    return r == LIBDEFLATE_SUCCESS && used_out == out.size();
  }
};
#else
struct WholeDecoder::State {
  ZlibWhole zlib;
  WholeRoad road = WholeRoad::kNone;
  bool decode_exact(std::span<const uint8_t> in, std::span<uint8_t> out) {
    road = WholeRoad::kZlib;
    return zlib.decode_exact(in, out);
  }
};
#endif

WholeDecoder::WholeDecoder() : state_(new (std::nothrow) State) {}
WholeDecoder::~WholeDecoder() = default;
WholeDecoder::WholeDecoder(WholeDecoder&&) noexcept = default;
WholeDecoder& WholeDecoder::operator=(WholeDecoder&&) noexcept = default;

bool WholeDecoder::decode_exact(std::span<const uint8_t> in, std::span<uint8_t> out) {
  return state_ != nullptr && state_->decode_exact(in, out);
}

WholeRoad WholeDecoder::last_road() const {
  return state_ != nullptr ? state_->road : WholeRoad::kNone;
}

// ---- streaming decoding ------------------------------------------------------

// Raw DEFLATE over a byte range of the file, read through a 32 KiB input
// block, with size and CRC-32 verification. Errors are reported exactly
// where a reader that grows one vector per member would report them: such
// a reader asks the inflater for the room left in its vector (the recorded
// size bounded by the compressed bytes present, plus 32 bytes, then doubling
// from 4096), one inflate call per request, and verifies whenever the
// stream ends or the count reaches the recorded size. The same requests are
// made here, but each is decoded through a fixed block and passed on, so
// nothing is zero-filled or kept and the time is linear in the output.
class MemberReader::Streamer {
 public:
  Streamer() : input_(new uint8_t[kInflateInputSize]), block_(new uint8_t[kStreamBlock]) {
    std::memset(&z_, 0, sizeof z_);
    ok_ = inflateInit2(&z_, -15) == Z_OK;
  }
  ~Streamer() {
    if (ok_) inflateEnd(&z_);
  }
  Streamer(const Streamer&) = delete;
  Streamer& operator=(const Streamer&) = delete;

  // Decodes the member whose compressed data is `range`, reading no input
  // at or past `limit`: a stream that needs more than the bytes before it
  // fails as overlapping the member there.
  Result<void> decode(const FileReader& file, uint64_t file_length, DataRange range, uint64_t limit,
                      const ZipEntry& e, MemberSink& sink, CancelPoll* poll) {
    if (!ok_ || inflateReset(&z_) != Z_OK) return corrupt();
    file_ = &file;
    sink_ = &sink;
    poll_ = poll;
    next_ = range.start;
    end_ = range.end;
    input_end_ = std::min(range.end, limit);
    limit_ = limit;
    offset_ = e.local_header_offset;
    input_done_ = finished_ = false;
    z_.avail_in = 0;
    crc_ = 0;
    count_ = 0;
    uint64_t capacity = first_room(e, range, file_length);
    for (;;) {
      if (count_ == capacity) capacity = std::max(capacity * 2, kFirstGrowth);
      const uint64_t room = std::min<uint64_t>(capacity - count_, UINT32_MAX);
      ZU_TRY_ASSIGN(uint64_t n, read(room));
      if (n == 0 || count_ >= e.uncompressed_size) ZU_TRY(check(e));
      if (n == 0) return {};
    }
  }

 private:
  // One request of `room` bytes: the output of one inflate call (decoded
  // here in pieces of at most one block). 0 means the stream ended, or the
  // input ran out without producing anything more.
  Result<uint64_t> read(uint64_t room) {
    if (finished_) return uint64_t{0};
    for (;;) {
      if (z_.avail_in == 0 && !input_done_) ZU_TRY(refill());
      const int flush = input_done_ ? Z_FINISH : Z_NO_FLUSH;
      uint64_t produced = 0;
      for (;;) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(kStreamBlock, room - produced));
        z_.next_out = block_.get();
        z_.avail_out = static_cast<uInt>(piece);
        const int ret = inflate(&z_, flush);
        const size_t got = piece - z_.avail_out;
        if (ret != Z_OK && ret != Z_BUF_ERROR && ret != Z_STREAM_END) return corrupt();
        deliver(got);
        produced += got;
        if (stop_asked(got)) return ZuError::cancelled();
        if (ret == Z_STREAM_END) {
          finished_ = true;
          return produced;
        }
        // A single call with all the room would have stopped here too:
        // the input ran out before the room did, or the room is used up.
        if (z_.avail_out != 0 || produced == room) break;
      }
      if (produced > 0) return produced;
      // Nothing produced: more input may help, unless there is none left.
      if (input_done_) {
        if (input_end_ < end_) {
          return ZuError::zip(zip_text::overlapping_entries(offset_, limit_));
        }
        return uint64_t{0};
      }
    }
  }

  // A member of many GiB decodes for seconds: it is asked every few MiB of
  // output (or of input, for streams that produce little).
  bool stop_asked(uint64_t bytes) { return poll_ != nullptr && poll_->should_stop_within(bytes); }

  void deliver(size_t n) {
    if (n == 0) return;
    crc_ = crc32_update(crc_, block_.get(), n);
    count_ += n;
    sink_->member_bytes({block_.get(), n});
  }

  Result<void> refill() {
    const uint64_t left = input_end_ > next_ ? input_end_ - next_ : 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, kInflateInputSize));
    ZU_TRY_ASSIGN(size_t got, file_->read_some(next_, input_.get(), want));
    next_ += got;
    if (got == 0) input_done_ = true;
    z_.next_in = input_.get();
    z_.avail_in = static_cast<uInt>(got);
    if (stop_asked(got)) return ZuError::cancelled();
    return {};
  }

  Result<void> check(const ZipEntry& e) const {
    uint32_t stored = e.crc32;
    if (e.has_data_descriptor) {
      uint8_t desc[kDataDescriptorReadSize];
      ZU_TRY(file_->read_exact(end_, desc, sizeof desc));
      stored = descriptor_crc(desc);
    }
    if (count_ != e.uncompressed_size) {
      return ZuError::io(zip_text::invalid_size(e.uncompressed_size, count_));
    }
    if (!crc_matches(count_, crc_, stored)) {
      return ZuError::io(zip_text::invalid_checksum(crc_, stored));
    }
    return {};
  }

  std::unique_ptr<uint8_t[]> input_;
  std::unique_ptr<uint8_t[]> block_;
  z_stream z_;
  bool ok_ = false;
  const FileReader* file_ = nullptr;
  MemberSink* sink_ = nullptr;
  CancelPoll* poll_ = nullptr;
  uint64_t next_ = 0;
  uint64_t end_ = 0;        // end of the recorded compressed data
  uint64_t input_end_ = 0;  // end of the input read: end_, or the limit before it
  uint64_t limit_ = 0;
  uint64_t offset_ = 0;  // of the member's local header
  bool input_done_ = false;
  bool finished_ = false;
  uint32_t crc_ = 0;
  uint64_t count_ = 0;
};

// ---- one member ----------------------------------------------------------------

MemberReader::MemberReader(const FileReader& file, uint64_t file_length, WholeDecoder& whole,
                           CancelPoll* poll)
    : file_(file), file_length_(file_length), whole_(whole), poll_(poll) {}

MemberReader::~MemberReader() = default;

uint8_t* MemberReader::input_room(size_t len) {
  if (len > input_size_) {
    input_size_ = std::max(len, size_t{16} << 10);
    input_.reset(new uint8_t[input_size_]);
  }
  return input_.get();
}

uint8_t* MemberReader::output_room(size_t len) {
  if (len > output_size_ || !output_) {
    output_size_ = std::max(len, size_t{16} << 10);
    output_.reset(new uint8_t[output_size_]);
  }
  return output_.get();
}

// The fast road: one read for local header, data and descriptor, one
// whole-buffer decode. True when the member was delivered; false hands it to
// the streaming road, which then decides what is wrong with it.
bool MemberReader::read_whole(const ZipEntry& e, uint64_t limit, MemberSink& sink) {
  const size_t csize = static_cast<size_t>(e.compressed_size);
  const size_t desc = e.has_data_descriptor ? kDataDescriptorReadSize : 0;
  const size_t guess = kLocalHeaderSize + e.local_variable_guess;
  const size_t want = guess + csize + desc;
  uint8_t* in = input_room(want);
  Result<size_t> got = file_.read_some(e.local_header_offset, in, want);
  if (!got || got.value() < kLocalHeaderSize) return false;
  const LocalHeader h = parse_local_header(in);
  if (h.signature != kLocalHeaderSignature) return false;
  const uint64_t header_len = h.length;
  DataRange range;
  if (!data_range(e.local_header_offset, header_len, e.compressed_size, range) ||
      range.start > limit) {
    return false;
  }
  const uint8_t* data = in + header_len;
  if (header_len + csize + desc > got.value()) {
    // The local name or extra field is longer than the central one said.
    if (header_len <= guess) return false;  // the file ends inside the member
    in = input_room(csize + desc);
    Result<size_t> more = file_.read_some(range.start, in, csize + desc);
    if (!more || more.value() < csize + desc) return false;
    data = in;
  }
  return decode_data(e, limit - range.start, data, sink);
}

bool MemberReader::decode_fetched(std::span<const uint8_t> fetched, const ZipEntry& e,
                                  uint64_t limit, MemberSink& sink) {
  if (e.uncompressed_size > kWholeMemberMax || e.compressed_size > kWholeMemberMax ||
      fetched.size() < kLocalHeaderSize) {
    return false;
  }
  const LocalHeader h = parse_local_header(fetched.data());
  if (h.signature != kLocalHeaderSignature) return false;
  DataRange range;
  if (!data_range(e.local_header_offset, h.length, e.compressed_size, range) ||
      range.start > limit) {
    return false;
  }
  const size_t desc = e.has_data_descriptor ? kDataDescriptorReadSize : 0;
  if (h.length + e.compressed_size + desc > fetched.size()) return false;
  return decode_data(e, limit - range.start, fetched.data() + h.length, sink);
}

// Decodes and verifies the member whose compressed data (and descriptor, if
// any) start at `data`, of which no more than `readable` bytes lie before
// the limit; delivers its bytes when they verify.
bool MemberReader::decode_data(const ZipEntry& e, uint64_t readable_before_limit,
                               const uint8_t* data, MemberSink& sink) {
  const size_t csize = static_cast<size_t>(e.compressed_size);
  const size_t usize = static_cast<size_t>(e.uncompressed_size);
  // A stream that needs bytes at or past the limit goes to the streaming
  // road, which reports the overlap.
  const size_t readable = static_cast<size_t>(std::min<uint64_t>(csize, readable_before_limit));
  // One stored block (common for noisy samples) is its own output.
  std::span<const uint8_t> bytes;
  if (auto payload = single_stored_block({data, readable}); payload && payload->size() == usize) {
    bytes = *payload;
  } else {
    uint8_t* out = output_room(usize);
    if (!whole_.decode_exact({data, readable}, {out, usize})) return false;
    bytes = {out, usize};
  }
  const uint32_t stored = e.has_data_descriptor ? descriptor_crc(data + csize) : e.crc32;
  if (!crc_matches(usize, crc32_update(0, bytes.data(), usize), stored)) {
    checksum_failed_ = true;
    return false;
  }
  sink.member_bytes(bytes);
  return true;
}

Result<void> MemberReader::read(const ZipEntry& e, uint64_t limit, MemberSink& sink) {
  checksum_failed_ = false;
  if (e.uncompressed_size <= kWholeMemberMax && e.compressed_size <= kWholeMemberMax &&
      read_whole(e, limit, sink)) {
    return {};
  }
  ZU_TRY_ASSIGN(DataRange range, get_entry(file_, e, limit));
  if (!streamer_) streamer_ = std::make_unique<Streamer>();
  Result<void> streamed = streamer_->decode(file_, file_length_, range, limit, e, sink, poll_);
  // The same bytes that failed their checksum decoded and verified through
  // zlib: the whole-buffer decoder got them wrong.
  if (streamed && checksum_failed_) note_fast_road_mismatch();
  return streamed;
}

}  // namespace zu::zip
