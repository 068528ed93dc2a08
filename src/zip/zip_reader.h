// The archive-access object a data file owns: the open archive and the
// 64 KiB work buffer that the EOCD search and every directory walk reuse.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "error/zu_error.h"
#include "zip/archive.h"
#include "zip/cancel.h"
#include "zip/entries.h"
#include "zip/member.h"
#include "zip/records.h"

namespace zu::zip {

using NamePredicate = std::function<bool(std::span<const uint8_t> name)>;

// The mutable state of one walk over an archive: the directory work buffer
// and the whole-buffer decoder. A caller that gives each walk its own
// scratch can run walks over one ZipReader on several threads at once,
// since the reader itself then only makes positioned reads.
struct ReadScratch {
  ReadScratch() = default;
  explicit ReadScratch(std::vector<uint8_t> work_buffer) : buffer(std::move(work_buffer)) {}

  std::vector<uint8_t> buffer = std::vector<uint8_t>(kBufferSize, 0);
  WholeDecoder whole;
};

// How the matching entries of one walk are read: for each, the earlier
// entry it repeats (its own index when it is the first to name its data),
// and the offset its decoder must not read from: the next larger
// local-header offset among the entries, or the entry's own offset when it
// shares a local header with an earlier entry but describes it differently
// (so it fails as overlapping).
struct ReadPlan {
  std::vector<size_t> first;
  std::vector<uint64_t> limit;
};

ReadPlan plan_reads(EntryList entries);

class ZipReader {
 public:
  // Opens the file at `path` read-only and locates its central directory.
  // Fails with Io when the file cannot be opened, Zip when it is no
  // readable archive; the file is closed on failure.
  static Result<ZipReader> open(const std::string& path);

  // The same, over bytes fetched from elsewhere (see FetchedRanges).
  static Result<ZipReader> open_fetched(std::shared_ptr<FetchedRanges> fetched);

  // Where the central directory lies: from its first record to the end
  // record's end, the range a remote open fetches in one piece.
  ByteRange directory_range() const {
    const uint64_t start = std::min(archive_.directory_offset, archive_.file_length);
    return {start, archive_.file_length - start};
  }

  ZipReader(ZipReader&&) noexcept = default;
  ZipReader& operator=(ZipReader&&) noexcept = default;
  ZipReader(const ZipReader&) = delete;
  ZipReader& operator=(const ZipReader&) = delete;

  // Walks the central directory, then decodes and verifies every member
  // whose raw name passes `predicate`, in central-directory order, handing
  // its bytes to `sink` as they come (see MemberSink). The first failure
  // ends the walk: directory errors before any member is read, then the
  // members' errors in order. Entries that describe the same member (one
  // local header, the same sizes and checksum) are decoded once: later ones
  // repeat the first (MemberSink::repeat_member). A member whose DEFLATE
  // stream runs into the local header of another matching entry, or that
  // shares a local header with an earlier entry but describes it
  // differently, fails with a Zip error, so a walk never decodes the same
  // compressed bytes twice. Needs exclusive use of the reader: it
  // overwrites the work buffer.
  Result<void> for_each_file(const NamePredicate& predicate, MemberSink& sink);

  // The same walk on `scratch` instead of the reader's own buffer and
  // decoder, so it needs no exclusive use: any number of threads may run it
  // at once on one reader, each with its own scratch. Touches no Python
  // object. Between members, and every few MiB while a large member decodes,
  // it asks `cancel` (if not null, rate-limited as CancelPoll says) and ends
  // with ZuError::cancelled() when told to stop.
  Result<void> for_each_file(const NamePredicate& predicate, MemberSink& sink, ReadScratch& scratch,
                             CancelCheck* cancel) const;

  // The second half of for_each_file: reads `matches` (entries found by an
  // earlier walk, in directory order) into `sink` exactly as for_each_file
  // reads the entries its walk found. The first overload uses the reader's
  // own scratch and needs exclusive use; the second is thread-safe on its
  // own scratch.
  Result<void> read_entries(const std::vector<ZipEntry>& matches, MemberSink& sink);
  Result<void> read_entries(const std::vector<ZipEntry>& matches, MemberSink& sink,
                            ReadScratch& scratch, CancelCheck* cancel) const;

  // Calls `visit(entry)` for every record whose raw name passes `pred`, in
  // directory order, after `pred` has seen that name; the first directory
  // error ends the walk. Thread-safe on its own scratch.
  template <class Pred, class Visit>
  Result<void> for_each_entry(Pred&& pred, Visit&& visit, ReadScratch& scratch) const {
    ZipEntries entries(archive_, scratch.buffer);
    for (;;) {
      ZU_TRY_ASSIGN(std::optional<ZipEntry> entry, entries.next_match(pred));
      if (!entry) return {};
      visit(*entry);
    }
  }

  // A walk of the directory records through `buffer` (kBufferSize bytes),
  // from the first record or from `first_record`, for callers that stop a
  // walk part-way or share it between threads (see ZipEntries::stop_at).
  // Thread-safe on its own buffer.
  ZipEntries entries(std::vector<uint8_t>& buffer) const { return ZipEntries(archive_, buffer); }
  ZipEntries entries_from(uint64_t first_record, std::vector<uint8_t>& buffer) const {
    return ZipEntries(archive_, buffer, first_record);
  }
  // Where the directory's records end.
  uint64_t directory_end() const { return archive_.head_eocd_offset(); }
  // The offset of the first central-record signature at or after `offset`
  // in the directory, looking at most `buffer`'s size ahead; nullopt when
  // there is none there or the read fails. A signature can also stand
  // inside a name or an extra field, so the offset is only a guess at
  // where a record starts, for a walk that checks it.
  std::optional<uint64_t> signature_after(uint64_t offset, std::vector<uint8_t>& buffer) const;

  // The most records the central directory can hold: its bytes, which lie
  // in the file, over the smallest record's size.
  uint64_t most_entries() const {
    const uint64_t end = archive_.head_eocd_offset();
    const uint64_t start = archive_.directory_offset;
    return end > start ? (end - start) / kCentralHeaderSize : 0;
  }

  const FileReader& file() const { return archive_.file; }
  uint64_t file_length() const { return archive_.file_length; }

  // Calls `visit(name)` with the raw name of every central-directory record
  // in order, decoding nothing else; the first directory error ends the
  // walk. Thread-safe on its own scratch, as for_each_file above.
  template <class Visit>
  Result<void> for_each_name(Visit&& visit, ReadScratch& scratch) const {
    ZipEntries entries(archive_, scratch.buffer);
    ZU_TRY_ASSIGN(std::optional<ZipEntry> none, entries.next_match([&](std::span<const uint8_t> n) {
      visit(n);
      return false;
    }));
    (void)none;
    return {};
  }

 private:
  ZipReader(std::vector<uint8_t> buffer, ZipArchive archive)
      : archive_(std::move(archive)), own_(std::move(buffer)) {}

  static Result<void> walk(const ZipArchive& archive, const NamePredicate& predicate,
                           MemberSink& sink, ReadScratch& scratch, CancelCheck* cancel);
  static Result<void> read_matches(const ZipArchive& archive, const std::vector<ZipEntry>& matches,
                                   MemberSink& sink, ReadScratch& scratch, CancelCheck* cancel);

  ZipArchive archive_;
  ReadScratch own_;  // the exclusive walks' buffer and decoder
};

}  // namespace zu::zip
