// An open data file: the one place where the archive reader, the header and
// channel extraction come together. Callers (the binding, the fuzz targets)
// ask it their questions and never take it apart.
//
// Every const member is safe to call from several threads at once: the
// header is never changed after open, and the const reads take their
// mutable state (work buffer, decoder) from a ReadScratch the caller gives
// each call. None of it touches a Python object, so the binding may run it
// without the interpreter lock. channel_data (non-const) is the exclusive
// road that ZuDataFIle keeps.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "channels/extract.h"
#include "channels/index.h"
#include "channels/layout.h"
#include "error/zu_error.h"
#include "header/header.h"
#include "zip/fetch_plan.h"
#include "zip/zip_reader.h"

namespace zu {

inline constexpr std::string_view kHeaderMemberName = "shared-data/header.properties";

class DataFile {
 public:
  // Opens the archive at `location` (path bytes, used as given) and loads
  // its header: the first member named exactly
  // "shared-data/header.properties", checked to be UTF-8, then parsed.
  // Errors, the first that happens: the archive's (Io, Zip, and those of
  // reading members), NoFile("shared-data header"), InvalidUtf8Header, the
  // parser's. On failure nothing stays open.
  static Result<DataFile> open(std::string location);

  // The same open, with the same errors in the same order, that also builds
  // the directory index (see ChannelIndex) in the walk that finds the
  // header, so that read_channel and layout walk no directory afterwards.
  // The index covers the header's channels; when the header cannot list
  // them, there is none and those calls walk as before.
  // Its reads fetch members in windows of at most `window_bytes` (tests
  // make them tiny, to split runs of members at every edge).
  static Result<DataFile> open_indexed(std::string location,
                                       uint64_t window_bytes = zip::kDefaultWindowBytes);

  // open_indexed over an archive already located (a remote file's fetched
  // bytes, say); `location` only names it.
  static Result<DataFile> open_indexed(std::string location, zip::ZipReader reader,
                                       uint64_t window_bytes);

  // The byte ranges a read_channel of `name` and `segment` fetches (its
  // windows, each member read on its own as one range of its own), in file
  // order, so that a remote file can fetch them all before the read. Empty
  // without an index or when the index has no such members: the read then
  // asks for what it misses.
  std::vector<zip::ByteRange> fetch_ranges(std::string_view name, uint8_t segment) const;

  DataFile(DataFile&&) noexcept = default;
  DataFile& operator=(DataFile&&) noexcept = default;
  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;

  // The location as given to open, never normalised.
  const std::string& location() const { return location_; }
  const ZuHeader& header() const { return header_; }

  // The channel names, one per entry of "lcd-info" in file order; they refer
  // into the header tree. The first malformed entry fails the whole list.
  Result<std::vector<std::string_view>> channel_names() const;

  // The unit types of the first channel named `name`, as
  // ZuHeader::get_unit_types gives them.
  Result<std::vector<std::string_view>> unit_types(std::string_view name) const;

  // The values of channel `name` in `segment` converted to `unit_type`,
  // with the (n, n, 100) shape they fill (see ChannelValues). The conversion
  // is resolved first, so header errors come before any archive access;
  // `diagnostics` receives the conversion's line, then the second value.
  // Errors: the header's, the archive's, NoFile(member path). Needs
  // exclusive use: the member walk reuses the reader's work buffer.
  Result<ChannelValues> channel_data(std::string_view name, uint8_t segment,
                                     std::string_view unit_type, DiagnosticSink& diagnostics);

  // The same values without exclusive use: the walk runs on `scratch`, so
  // any number of threads may call this at once, each with its own scratch
  // and sink. With an index the members come from it, not from a walk.
  // `cancel` (may be null) is asked between members and while a large
  // member decodes; when it says stop, the read ends with
  // ZuError::cancelled(). `threads`: with an index, how many threads may
  // decode the members (0: as many as the machine's cores allow, see
  // platform::HelperLease); the result is the same for every count.
  // `target`: the values' type and, optionally, the caller's buffer they
  // fill (see ValueTarget and ChannelValues); a caller's buffer of the
  // wrong size is reported before any member is read, when there is an
  // index.
  Result<ChannelValues> read_channel(std::string_view name, uint8_t segment,
                                     std::string_view unit_type, DiagnosticSink& diagnostics,
                                     zip::ReadScratch& scratch, zip::CancelCheck* cancel,
                                     size_t threads = 1, const ValueTarget& target = {}) const;

  // The base unit type and the sample type text of the first channel named
  // `name` (see ZuHeader).
  Result<std::string_view> base_unit(std::string_view name) const {
    return header_.get_base_unit(name);
  }
  Result<std::string_view> sample_type(std::string_view name) const {
    return header_.get_sample_type(name);
  }

  // Members per segment for each distinct channel name, in channel_names()
  // order, counted from the central directory alone (see
  // count_channel_members, or the index when there is one). Errors:
  // channel_names()'s, the directory's.
  Result<std::vector<ChannelLayout>> layout(zip::ReadScratch& scratch) const;

 private:
  // `error` of a read of the `indexed` members, or an error saying that the
  // file changed after open when its directory no longer lists them so.
  ZuError explain_failure(ZuError error, zip::EntryList indexed, std::string_view name,
                          uint8_t segment, zip::ReadScratch& scratch) const;

  DataFile(std::string location, zip::ZipReader reader, ZuHeader header)
      : location_(std::move(location)), reader_(std::move(reader)), header_(std::move(header)) {}

  std::string location_;
  zip::ZipReader reader_;
  ZuHeader header_;
  std::unique_ptr<const ChannelIndex> index_;  // only from open_indexed
  uint64_t window_bytes_ = zip::kDefaultWindowBytes;
};

// How many opens have split their directory walk over two threads and
// kept both halves (a test hook: the split leaves no other trace).
uint64_t split_directory_walks();

// Where ZuDataFIle's diagnostic lines go: the process's standard output,
// file descriptor 1 (whatever it is at this moment), bypassing sys.stdout.
// A closed descriptor, a full device or a pipe whose reader has gone drops
// the line silently; the last raises no signal. See platform::write_stdout.
void write_diagnostic_line(std::string_view line) noexcept;

}  // namespace zu
