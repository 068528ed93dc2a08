// The archive-access object a data file owns: the open archive and the
// 64 KiB work buffer that the EOCD search and every directory walk reuse.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "error/zu_error.h"
#include "zip/archive.h"
#include "zip/member.h"

namespace zu::zip {

using NamePredicate = std::function<bool(std::span<const uint8_t> name)>;

class ZipReader {
 public:
  // Opens the file at `path` read-only and locates its central directory.
  // Fails with Io when the file cannot be opened, Zip when it is no
  // readable archive; the file is closed on failure.
  static Result<ZipReader> open(const std::string& path);

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

 private:
  ZipReader(std::vector<uint8_t> buffer, ZipArchive archive)
      : buffer_(std::move(buffer)), archive_(std::move(archive)) {}

  std::vector<uint8_t> buffer_;
  ZipArchive archive_;
  WholeDecoder whole_;  // one decoder for every member the reader reads
};

}  // namespace zu::zip
