// Reading members: local header, raw DEFLATE decoding limited to the
// member's compressed range, and size and CRC-32 verification.
//
// Two roads lead to the same bytes. Members of modest recorded size take one
// positioned read (local header and compressed data together) and one
// whole-buffer decode into a reused block; anything unusual about them (a
// stream that fails, ends early or runs long, a wrong checksum, a member cut
// off by the end of the file) sends that member down the streaming road,
// which decodes through fixed blocks and is the one that decides every error
// and its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "error/zu_error.h"
#include "zip/cancel.h"
#include "zip/entry.h"
#include "zip/file_reader.h"

namespace zu::zip {

// Receives matching members as they are decoded, in directory order.
// begin_member, then either the member's bytes in order (in pieces of any
// size) or repeat_member, then end_member once its size and checksum have
// been verified. A failing member ends the walk with its error, possibly
// after some of its bytes have been delivered; those bytes are then worth
// nothing.
class MemberSink {
 public:
  virtual ~MemberSink() = default;
  // Called once, after the directory walk and before any member is read.
  virtual void begin_files(size_t count) { (void)count; }
  // `most`: how many bytes the member can deliver and still verify (see
  // deliverable_size), so a sink that keeps them may reserve the room.
  virtual void begin_member(size_t index, uint64_t most) {
    (void)index;
    (void)most;
  }
  virtual void member_bytes(std::span<const uint8_t> bytes) = 0;
  // The member's entry describes the same data as the entry of the earlier
  // member `earlier`, which was delivered and verified: the member has
  // exactly its bytes, which are not decoded a second time.
  virtual void repeat_member(size_t earlier) = 0;
  virtual void end_member() {}
};

// The most bytes the member of `e` can deliver and still verify: its
// recorded size, bounded by what the compressed bytes present in a file of
// `file_length` bytes could expand to.
uint64_t deliverable_size(const ZipEntry& e, uint64_t file_length);

// Members whose recorded sizes are at most this take the whole-buffer road.
inline constexpr uint64_t kWholeMemberMax = uint64_t{1} << 20;

// Which decoder gave a WholeDecoder's last verdict (see member.cpp), so that
// tests can see each stream take the road meant for it.
enum class WholeRoad { kNone, kInHouse, kInHouseThenZlib, kLibdeflate, kZlib };

// How many times in this process a fast decoder (the in-house one or
// libdeflate) got a stream wrong that zlib then decoded: output that failed
// the member's checksum which the streaming road then verified, or an
// in-house failure zlib decoded. The reader still returns zlib's bytes, so
// only this count shows such a fault: it stays 0 unless a decoder is wrong.
uint64_t fast_road_mismatches();

// The whole-buffer DEFLATE decoder a reader keeps for its lifetime
// (libdeflate when the build has it, else a zlib inflater).
class WholeDecoder {
 public:
  WholeDecoder();
  ~WholeDecoder();
  WholeDecoder(WholeDecoder&&) noexcept;
  WholeDecoder& operator=(WholeDecoder&&) noexcept;
  WholeDecoder(const WholeDecoder&) = delete;
  WholeDecoder& operator=(const WholeDecoder&) = delete;

  // True when `in` starts with a stream that decodes to exactly `out.size()`
  // bytes, written to `out`. False for anything else (including no decoder).
  bool decode_exact(std::span<const uint8_t> in, std::span<uint8_t> out);
  WholeRoad last_road() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// CRC-32 as in ZIP (libdeflate's when available, else zlib's).
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t len);

// Reads members for one walk: owns the reusable blocks and the streaming
// inflater, so no member allocates on its own. A streamed member (the only
// road that takes large members) asks `poll`, when not null, as it decodes,
// and ends with ZuError::cancelled() when told to stop.
class MemberReader {
 public:
  MemberReader(const FileReader& file, uint64_t file_length, WholeDecoder& whole,
               CancelPoll* poll = nullptr);
  ~MemberReader();
  MemberReader(const MemberReader&) = delete;
  MemberReader& operator=(const MemberReader&) = delete;

  // Decodes and verifies one member into `sink` (member_bytes only),
  // reading no compressed byte at or past `limit` (the next local header
  // of the walk), so that no two members decode the same bytes. A stream
  // that needs such a byte, or data that would start past `limit`, fails
  // with the Zip error "Overlapping entries: ...". Other local-header
  // failures are Zip errors (Io when the header cannot be read); failures
  // while reading, inflating or verifying the data are Io errors ("corrupt
  // deflate stream", the invalid size and checksum texts, "failed to fill
  // whole buffer" for an unreadable data descriptor).
  Result<void> read(const ZipEntry& w, uint64_t limit, MemberSink& sink);

  // The member of `w` from bytes already fetched: `fetched` starts at its
  // local header and should run to the end of its data (and descriptor).
  // True when it was decoded, verified and delivered to `sink`; false when
  // anything about it is unusual (the bytes run short, the stream or the
  // checksum fails, the member is large), and then nothing was delivered:
  // read() decides what it holds.
  bool decode_fetched(std::span<const uint8_t> fetched, const ZipEntry& w, uint64_t limit,
                      MemberSink& sink);

  class Streamer;

 private:
  bool read_whole(const ZipEntry& w, uint64_t limit, MemberSink& sink);
  bool decode_data(const ZipEntry& w, uint64_t readable_before_limit, const uint8_t* data,
                   MemberSink& sink);
  uint8_t* input_room(size_t len);
  uint8_t* output_room(size_t len);

  const FileReader& file_;
  uint64_t file_length_;
  WholeDecoder& whole_;
  CancelPoll* poll_;
  std::unique_ptr<uint8_t[]> input_;
  size_t input_size_ = 0;
  std::unique_ptr<uint8_t[]> output_;
  size_t output_size_ = 0;
  std::unique_ptr<Streamer> streamer_;  // made on the first streamed member
  // The member's whole-buffer decode failed its checksum: if the streaming
  // road then verifies it, a fast decoder was wrong (fast_road_mismatches).
  bool checksum_failed_ = false;
};

}  // namespace zu::zip
