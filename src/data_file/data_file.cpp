#include "data_file/data_file.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>

#include "header/utf8.h"
#include "platform/output.h"
#include "platform/worker_pool.h"

namespace zu {

namespace {

// Keeps the first header member only; later ones are still read and
// verified by the walk, but their bytes are dropped as they come.
class FirstMemberSink final : public zip::MemberSink {
 public:
  // Reserving what a member that verifies delivers keeps the text in one
  // allocation of its size, never a grown copy beside a smaller one.
  void begin_member(size_t index, uint64_t most) override {
    keep_ = index == 0;
    if (!keep_ || most > bytes_.max_size()) return;
    try {
      bytes_.reserve(static_cast<size_t>(most));
    } catch (const std::bad_alloc&) {
      // The room is only a hint: the bytes can still arrive piecewise.
    }
  }
  void member_bytes(std::span<const uint8_t> bytes) override {
    if (keep_) bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  }
  // A later header member: dropped like every later one.
  void repeat_member(size_t) override {}
  void end_member() override { found_ = true; }

  bool found() const { return found_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  bool keep_ = false;
  bool found_ = false;
};

bool is_header(std::span<const uint8_t> name) {
  return std::equal(name.begin(), name.end(), kHeaderMemberName.begin(), kHeaderMemberName.end(),
                    [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
}

// Checks that the header member's bytes are UTF-8 and parses them. Errors:
// NoFile("shared-data header") when there was none, InvalidUtf8Header, the
// parser's.
Result<ZuHeader> parse_header(const FirstMemberSink& sink) {
  if (!sink.found()) return ZuError::no_file("shared-data header");
  const std::vector<uint8_t>& bytes = sink.bytes();
  if (auto err = utf8_error(bytes)) return ZuError::invalid_utf8_header(std::move(*err));
  return ZuHeader::from_str(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Reads the header member (the first, if several) and parses it. Errors:
// the archive's, then parse_header's.
Result<ZuHeader> read_header(zip::ZipReader& reader) {
  FirstMemberSink sink;
  ZU_TRY(reader.for_each_file(is_header, sink));
  return parse_header(sink);
}

}  // namespace

Result<DataFile> DataFile::open(std::string location) {
  ZU_TRY_ASSIGN(zip::ZipReader reader, zip::ZipReader::open(location));
  ZU_TRY_ASSIGN(ZuHeader header, read_header(reader));
  return DataFile(std::move(location), std::move(reader), std::move(header));
}

namespace {

size_t most_members(const zip::ZipReader& reader) {
  return static_cast<size_t>(std::min<uint64_t>(reader.most_entries(), SIZE_MAX));
}

// The channel names of the header member of `entry`, read and parsed ahead
// of its turn so that the rest of the walk can be indexed as it goes; empty
// when anything fails (the real read, after the walk, reports it).
std::optional<ChannelIndex::Builder> early_builder(const zip::ZipReader& reader,
                                                   const zip::ZipEntry& entry) {
  zip::ReadScratch scratch(std::vector<uint8_t>{});
  FirstMemberSink sink;
  if (!reader.read_entries({entry}, sink, scratch, nullptr)) return std::nullopt;
  Result<ZuHeader> header = parse_header(sink);
  if (!header) return std::nullopt;
  Result<std::vector<ChannelPair>> channels = header.value().get_channels();
  if (!channels) return std::nullopt;
  std::vector<std::string_view> names;
  for (const ChannelPair& p : channels.value()) names.push_back(p.second);
  return std::optional<ChannelIndex::Builder>(std::in_place, names, most_members(reader));
}

}  // namespace

Result<DataFile> DataFile::open_indexed(std::string location, uint64_t window_bytes) {
  ZU_TRY_ASSIGN(zip::ZipReader reader, zip::ZipReader::open(location));
  return open_indexed(std::move(location), std::move(reader), window_bytes);
}

namespace {

std::atomic<uint64_t> g_split_walks{0};

// Directories shorter than this are walked on one thread: below it, handing
// half of the walk to a helper saves little more than the hand-over costs.
constexpr uint64_t kSplitDirectoryBytes = uint64_t{1} << 20;
// How far past the middle the first record signature is looked for.
constexpr size_t kGuessBytes = 4096;

// Walks `entries` to their end once the channels are known: header
// entries go to `headers`, every other name is offered to `builder`. The
// loop most of an open's time is spent in, so it is kept this small.
// Errors: the directory's. Touches no Python object.
Result<void> index_rest(zip::ZipEntries& entries, ChannelIndex::Builder& builder,
                        std::vector<zip::ZipEntry>& headers) {
  bool header = false;
  auto wanted = [&](std::span<const uint8_t> name) {
    header = is_header(name);
    return header || builder.offer(name);
  };
  zip::ZipEntry entry;
  for (;;) {
    ZU_TRY_ASSIGN(const bool found, entries.next_match_into(wanted, entry));
    if (!found) return {};
    header ? headers.push_back(entry) : builder.add(entry);
  }
}

// The later half of a walk split over two threads: the records from
// `first`, a signature found past the middle, to the end. Whichever thread
// starts it first walks it: the helper, or the opening thread when it is
// done with its own half before the helper got to run. Shared, since a
// helper may start after the open has ended. Touches no Python object.
struct LaterHalf {
  LaterHalf(const zip::ZipReader& directory, uint64_t first_record)
      : reader(directory), first(first_record) {}

  // True when the calling thread takes the half, which the other has not.
  bool take() { return !taken.exchange(true); }
  // Walks the half, for the thread that took it.
  void walk() noexcept;
  // Waits until the helper that took the half is done with it.
  void wait() {
    std::unique_lock<std::mutex> lock(mutex);
    walked.wait(lock, [this] { return done; });
  }

  const zip::ZipReader& reader;
  const uint64_t first;
  std::atomic<bool> taken{false};
  std::vector<zip::ZipEntry> header_entries;
  std::optional<ChannelIndex::Builder> builder;
  bool ok = false;  // walked to the end without an error
  std::mutex mutex;
  std::condition_variable walked;
  bool done = false;
};

void LaterHalf::walk() noexcept {
  try {
    std::vector<uint8_t> buffer(zip::kBufferSize);
    zip::ZipEntries entries = reader.entries_from(first, buffer);
    const bool to_end = static_cast<bool>(index_rest(entries, *builder, header_entries));
    if (to_end) builder->sort_claims();
    ok = to_end;
  } catch (const std::bad_alloc&) {
    // Not ok: the opening thread walks this half itself.
  }
  std::lock_guard<std::mutex> lock(mutex);
  done = true;
  walked.notify_all();
}

// The walk of open_indexed: it finds the header entries and indexes the
// channel members in one pass over the directory. Writers put the header
// first, so it is read as soon as it is met and every later name is
// indexed as it comes; names met before it are kept until then. With the
// channels known early and a large directory, the rest of the walk is
// split in two halves, the later one walked on a helper thread; its
// results are used only when the earlier half ends exactly where it
// began, so the entries found and the errors met are those of a walk on
// one thread. Touches no Python object.
class IndexingWalk {
 public:
  explicit IndexingWalk(const zip::ZipReader& reader) : reader_(reader) {}

  // The directory's errors, in the order a walk on one thread meets them.
  Result<void> run();

  std::vector<zip::ZipEntry>& header_entries() { return header_entries_; }
  MemberCandidates& earlier() { return earlier_; }
  std::optional<ChannelIndex::Builder>& builder() { return builder_; }

 private:
  bool wanted(std::span<const uint8_t> name) {
    header_name_ = is_header(name);
    if (header_name_) return true;
    return builder_ ? builder_->offer(name) : earlier_.offer(name);
  }
  void keep(const zip::ZipEntry& entry);
  // One matching record more; false at the walk's end.
  Result<bool> step(zip::ZipEntries& entries);
  // Walks the rest of `entries` with a helper when one is free and the
  // rest is large; false when the walk is not done (nothing was split, or
  // the later half is not kept) and goes on from where `entries` stands.
  Result<bool> walk_split(zip::ZipEntries& entries);

  const zip::ZipReader& reader_;
  std::vector<zip::ZipEntry> header_entries_;
  MemberCandidates earlier_;
  std::optional<ChannelIndex::Builder> builder_;
  bool header_name_ = false;
};

void IndexingWalk::keep(const zip::ZipEntry& entry) {
  if (!header_name_) {
    builder_ ? builder_->add(entry) : earlier_.add(entry);
    return;
  }
  header_entries_.push_back(entry);
  if (header_entries_.size() == 1) {
    builder_ = early_builder(reader_, entry);
    if (builder_) {
      builder_->add_all(earlier_);
      earlier_ = MemberCandidates();
    }
  }
}

Result<bool> IndexingWalk::step(zip::ZipEntries& entries) {
  zip::ZipEntry entry;
  ZU_TRY_ASSIGN(const bool found,
                entries.next_match_into(
                    [this](std::span<const uint8_t> name) { return wanted(name); }, entry));
  if (found) keep(entry);
  return found;
}

Result<void> IndexingWalk::run() {
  std::vector<uint8_t> buffer(zip::kBufferSize);
  zip::ZipEntries entries = reader_.entries(buffer);
  while (!builder_) {
    ZU_TRY_ASSIGN(const bool more, step(entries));
    if (!more) return {};
  }
  ZU_TRY_ASSIGN(const bool done, walk_split(entries));
  if (done) return {};
  entries.stop_at(UINT64_MAX);
  return index_rest(entries, *builder_, header_entries_);
}

Result<bool> IndexingWalk::walk_split(zip::ZipEntries& entries) {
  const uint64_t here = entries.record_offset();
  const uint64_t end = reader_.directory_end();
  if (end <= here || end - here < kSplitDirectoryBytes) return false;
  const platform::HelperLease lease(1);
  if (lease.helpers() == 0) return false;
  std::vector<uint8_t> guess_buffer(kGuessBytes);
  const std::optional<uint64_t> first =
      reader_.signature_after(here + (end - here) / 2, guess_buffer);
  if (!first) return false;
  auto later = std::make_shared<LaterHalf>(reader_, *first);
  // Its claims are reserved by the thread that walks it (its first add()),
  // and this builder keeps the reservation of a whole walk: then each
  // thread asks its allocator for what it did at the last open and gets
  // that memory back, where other sizes had the allocator give it to the
  // system after each open and every open touch it afresh, a page fault
  // each 4 KiB.
  later->builder.emplace(builder_->channel_names(),
                         static_cast<size_t>((end - *first) / zip::kCentralHeaderSize));
  lease.run([later] {
    if (later->take()) later->walk();
  });
  // The helper reads through this open's reader, so it is settled however
  // this thread leaves, an exception in its own half included.
  struct Settle {
    LaterHalf& later;
    bool done = false;
    bool helper_walked = false;
    // Takes the half back from a helper that has not started (this thread
    // then walks on alone, and the helper finds nothing to do), else
    // waits until the helper is done; true when the helper walked it.
    bool operator()() {
      if (!done) {
        done = true;
        helper_walked = !later.take();
        if (helper_walked) later.wait();
      }
      return helper_walked;
    }
    ~Settle() { (*this)(); }
  } settle{*later};
  entries.stop_at(*first);
  Result<void> mine = index_rest(entries, *builder_, header_entries_);
  // Sorted while the helper walks or sorts its own half; claims of a walk
  // that goes on alone after all are sorted again by finish().
  if (mine) builder_->sort_claims();
  const bool helper_walked = settle();
  ZU_TRY(mine);
  if (!helper_walked || entries.record_offset() != *first || !later->ok) return false;
  header_entries_.insert(header_entries_.end(), later->header_entries.begin(),
                         later->header_entries.end());
  builder_->append(std::move(*later->builder));
  g_split_walks.fetch_add(1, std::memory_order_relaxed);
  return true;
}

}  // namespace

Result<DataFile> DataFile::open_indexed(std::string location, zip::ZipReader reader,
                                        uint64_t window_bytes) {
  // After the walk the header entries are read as read_header's own walk
  // would read them, with the same errors in the same order.
  IndexingWalk walk(reader);
  ZU_TRY(walk.run());
  FirstMemberSink sink;
  ZU_TRY(reader.read_entries(walk.header_entries(), sink));
  ZU_TRY_ASSIGN(ZuHeader header, parse_header(sink));
  DataFile file(std::move(location), std::move(reader), std::move(header));
  file.window_bytes_ = window_bytes;
  Result<std::vector<std::string_view>> names = file.channel_names();
  if (names) {
    std::optional<ChannelIndex::Builder>& builder = walk.builder();
    if (!builder) {
      builder.emplace(names.value(), most_members(file.reader_));
      builder->add_all(walk.earlier());
    }
    // The header read twice gives the same channels unless the file
    // changed meanwhile; then there is no index, and reads walk.
    if (builder->same_channels(names.value())) {
      file.index_ = std::make_unique<const ChannelIndex>(builder->finish());
    }
  }
  return file;
}

Result<std::vector<std::string_view>> DataFile::channel_names() const {
  ZU_TRY_ASSIGN(std::vector<ChannelPair> pairs, header_.get_channels());
  std::vector<std::string_view> names;
  names.reserve(pairs.size());
  for (const ChannelPair& p : pairs) names.push_back(p.second);
  return names;
}

Result<std::vector<std::string_view>> DataFile::unit_types(std::string_view name) const {
  return header_.get_unit_types(name);
}

Result<ChannelValues> DataFile::channel_data(std::string_view name, uint8_t segment,
                                             std::string_view unit_type,
                                             DiagnosticSink& diagnostics) {
  ZU_TRY_ASSIGN(Conversion conversion, header_.convert_to_type(name, unit_type, diagnostics));
  return read_channel_values(reader_, conversion, name, segment, diagnostics);
}

Result<ChannelValues> DataFile::read_channel(std::string_view name, uint8_t segment,
                                             std::string_view unit_type,
                                             DiagnosticSink& diagnostics, zip::ReadScratch& scratch,
                                             zip::CancelCheck* cancel, size_t threads,
                                             const ValueTarget& target) const {
  ZU_TRY_ASSIGN(Conversion conversion, header_.convert_to_type(name, unit_type, diagnostics));
  if (index_) {
    if (auto members = index_->members(name, segment)) {
      Result<ChannelValues> values =
          read_indexed_values(reader_, cancel, conversion, *members, window_bytes_, threads, name,
                              segment, diagnostics, target);
      // A segment the index holds no member of fails as the index saw the
      // file at open, like the error listing what exists: looking for a
      // change would walk the whole directory for a mistyped segment.
      if (!values && values.error().kind() != ZuErrorKind::Cancelled && !members->empty()) {
        return explain_failure(values.take_error(), *members, name, segment, scratch);
      }
      return values;
    }
  }
  // Without an index (a header that cannot list its channels) the walking
  // read gives float64 values, stored as asked afterwards.
  ZU_TRY_ASSIGN(ChannelValues values, read_channel_values(reader_, scratch, cancel, conversion,
                                                          name, segment, diagnostics));
  store_as(values, target);
  return values;
}

ZuError DataFile::explain_failure(ZuError error, zip::EntryList indexed, std::string_view name,
                                  uint8_t segment, zip::ReadScratch& scratch) const {
  // A read that failed on members the index knows: if the directory no
  // longer lists them as it did at open, the file was rewritten meanwhile,
  // and that is what the caller needs to hear. Only failures pay this walk.
  const std::string path = member_path(name, segment);
  std::vector<zip::PackedEntry> now;
  Result<void> walked = reader_.for_each_entry(
      [&](std::span<const uint8_t> n) {
        return n.size() >= path.size() &&
               std::equal(path.begin(), path.end(), n.end() - static_cast<ptrdiff_t>(path.size()),
                          [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
      },
      [&](const zip::ZipEntry& e) { now.emplace_back(e); }, scratch);
  bool same = walked && now.size() == indexed.size();
  for (size_t i = 0; same && i < now.size(); ++i) same = now[i] == zip::PackedEntry(indexed[i]);
  if (same) return error;
  return ZuError::zip("the file changed after it was opened (" + error.message() + ")");
}

Result<std::vector<ChannelLayout>> DataFile::layout(zip::ReadScratch& scratch) const {
  ZU_TRY_ASSIGN(std::vector<std::string_view> names, channel_names());
  if (index_) return index_->layout();
  return count_channel_members(reader_, scratch, names);
}

uint64_t split_directory_walks() { return g_split_walks.load(std::memory_order_relaxed); }

void write_diagnostic_line(std::string_view line) noexcept { platform::write_stdout(line); }

}  // namespace zu
