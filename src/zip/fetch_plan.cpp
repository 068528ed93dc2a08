#include "zip/fetch_plan.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/bits.h"
#include "zip/records.h"

namespace zu::zip {

namespace {

// Where the member of `e` ends in the file, as one fetch should cover it:
// local header (with the variable part the central record suggests), data
// and descriptor. False when that does not fit in 64 bits.
bool fetch_end(const ZipEntry& e, uint64_t& end) {
  const uint64_t desc = e.has_data_descriptor ? kDataDescriptorReadSize : 0;
  return !platform::add_overflow(e.local_header_offset,
                                 uint64_t{kLocalHeaderSize} + e.local_variable_guess + desc,
                                 &end) &&
         !platform::add_overflow(end, e.compressed_size, &end);
}

}  // namespace

FetchPlan plan_fetches(EntryList entries, const ReadPlan& reads, uint64_t window_bytes) {
  FetchPlan plan;
  // At most a window per member; reserved, so the array is never copied
  // as it grows (pages reserved but never written cost nothing).
  plan.windows.reserve(entries.size());
  FetchWindow* open = nullptr;  // the window the next member may join
  for (size_t i = 0; i < entries.size(); ++i) {
    const ZipEntry e = entries[i];
    uint64_t end = 0;
    const bool own = reads.first[i] == i;
    const bool fits = own && e.uncompressed_size <= kWholeMemberMax &&
                      e.compressed_size <= kWholeMemberMax && fetch_end(e, end) &&
                      end - e.local_header_offset <= window_bytes;
    if (!fits) {
      // Read on its own (or repeated), but still in its place in the order.
      if (open != nullptr && !own) {
        ++open->count;  // a repeat needs no bytes: it stays in the window
        continue;
      }
      plan.windows.push_back(FetchWindow{e.local_header_offset, 0, i, 1});
      open = nullptr;
      continue;
    }
    if (open != nullptr) {
      const uint64_t window_end = open->offset + open->length;
      // A gap is fetched only when it is no longer than the member that
      // follows it: copying more bytes than are used costs more than the
      // read call it saves (a channel whose members are spread thinly over
      // the file is read member by member).
      const uint64_t gap_limit = std::min(kMaxFetchedGap, end - e.local_header_offset);
      const bool joins = e.local_header_offset >= window_end &&
                         e.local_header_offset - window_end <= gap_limit &&
                         end - open->offset <= window_bytes;
      if (joins) {
        open->length = end - open->offset;
        ++open->count;
        continue;
      }
    }
    plan.windows.push_back(FetchWindow{e.local_header_offset, end - e.local_header_offset, i, 1});
    open = &plan.windows.back();
  }
  return plan;
}

Result<void> decode_window(std::span<const uint8_t> fetched, const FetchWindow& window,
                           EntryList entries, const ReadPlan& reads, uint64_t file_length,
                           MemberReader& reader, MemberSink& sink, CancelPoll& poll) {
  for (size_t i = window.first; i < window.first + window.count; ++i) {
    const ZipEntry e = entries[i];
    if (poll.should_stop(e.uncompressed_size)) return ZuError::cancelled();
    sink.begin_member(i, deliverable_size(e, file_length));
    if (reads.first[i] != i) {
      sink.repeat_member(reads.first[i]);
    } else {
      const uint64_t at = e.local_header_offset - window.offset;
      const bool inside = window.length != 0 && at < fetched.size();
      if (!inside || !reader.decode_fetched(fetched.subspan(static_cast<size_t>(at)), e,
                                            reads.limit[i], sink)) {
        ZU_TRY(reader.read(e, reads.limit[i], sink));
      }
    }
    sink.end_member();
  }
  return {};
}

namespace {

// What the workers of one read share.
struct SharedRead {
  size_t windows_per_take = 1;
  std::atomic<size_t> next_window{0};
  std::atomic<size_t> failed_window{SIZE_MAX};  // the lowest that failed
  std::atomic<bool> stop{false};                // cancelled
  std::mutex mutex;
  std::condition_variable finished;
  size_t running = 0;
  std::vector<std::optional<ZuError>> errors;  // per window that failed
  std::vector<size_t> error_windows;
};

// A helper's cancel check: the flag the calling thread sets.
class StopFlag final : public CancelCheck {
 public:
  explicit StopFlag(const std::atomic<bool>& stop) : stop_(stop) {}
  bool cancelled() override { return stop_.load(std::memory_order_relaxed); }

 private:
  const std::atomic<bool>& stop_;
};

void record_failure(SharedRead& shared, size_t window, ZuError error) {
  std::lock_guard<std::mutex> lock(shared.mutex);
  shared.errors.emplace_back(std::move(error));
  shared.error_windows.push_back(window);
  size_t lowest = shared.failed_window.load();
  while (window < lowest && !shared.failed_window.compare_exchange_weak(lowest, window)) {
  }
}

// Takes runs of windows in order until none is left, one fails, or the
// read stops.
void work(SharedRead& shared, const FileReader& file, uint64_t file_length, EntryList entries,
          const ReadPlan& reads, const FetchPlan& plan, MemberSink& sink, CancelCheck* cancel) {
  WholeDecoder decoder;
  // The reader asks the poll too, so a large member stops partway.
  CancelPoll poll(cancel);
  MemberReader reader(file, file_length, decoder, &poll);
  std::unique_ptr<uint8_t[]> buffer;
  uint64_t room = 0;
  for (;;) {
    const size_t run = shared.next_window.fetch_add(shared.windows_per_take);
    if (run >= plan.windows.size()) return;
    const size_t run_end = std::min(plan.windows.size(), run + shared.windows_per_take);
    for (size_t w = run; w < run_end; ++w) {
      if (w > shared.failed_window.load() || shared.stop.load()) return;
      const FetchWindow& window = plan.windows[w];
      size_t got = 0;
      if (window.length != 0) {
        if (room < window.length) {
          buffer.reset(new uint8_t[static_cast<size_t>(window.length)]);
          room = window.length;
        }
        Result<size_t> read =
            file.read_up_to(window.offset, buffer.get(), static_cast<size_t>(window.length));
        got = read ? read.value() : 0;
      }
      Result<void> done = decode_window({buffer.get(), got}, window, entries, reads, file_length,
                                        reader, sink, poll);
      if (!done) {
        if (done.error().kind() == ZuErrorKind::Cancelled) {
          shared.stop.store(true);
        }
        record_failure(shared, w, done.take_error());
        return;
      }
    }
  }
}

// How many consecutive windows a worker takes at a time. Consecutive
// windows fill neighbouring slots of the result, so a worker that writes a
// run of them shares fewer fresh pages with another (a page first written
// by two threads at once takes a fault on each, and they contend for the
// page tables); a run stays short enough that every worker gets many.
size_t windows_per_take(size_t windows, size_t workers) {
  constexpr size_t kLongestRun = 16;
  constexpr size_t kRunsPerWorker = 16;
  return std::clamp<size_t>(windows / (workers * kRunsPerWorker), 1, kLongestRun);
}

}  // namespace

Result<void> read_windows(const FileReader& file, uint64_t file_length, EntryList entries,
                          const ReadPlan& reads, const FetchPlan& plan,
                          std::span<MemberSink* const> sinks, const platform::HelperLease& lease,
                          CancelCheck* cancel) {
  SharedRead shared;
  StopFlag stop_flag(shared.stop);
  const size_t helpers = std::min(lease.helpers(), sinks.size() - 1);
  shared.windows_per_take = windows_per_take(plan.windows.size(), helpers + 1);
  shared.running = helpers;
  for (size_t h = 0; h < helpers; ++h) {
    MemberSink* sink = sinks[h + 1];
    lease.run([&, sink] {
      work(shared, file, file_length, entries, reads, plan, *sink, &stop_flag);
      std::lock_guard<std::mutex> lock(shared.mutex);
      if (--shared.running == 0) shared.finished.notify_all();
    });
  }
  work(shared, file, file_length, entries, reads, plan, *sinks[0], cancel);
  // Wait for the helpers, still asking `cancel` now and then, so that an
  // interrupt reaches a read whose last windows are on other threads.
  std::unique_lock<std::mutex> lock(shared.mutex);
  while (shared.running != 0) {
    if (shared.finished.wait_for(lock, CancelPoll::kInterval) == std::cv_status::timeout &&
        cancel != nullptr && !shared.stop.load()) {
      lock.unlock();
      if (cancel->cancelled()) shared.stop.store(true);
      lock.lock();
    }
  }
  if (shared.stop.load()) return ZuError::cancelled();
  if (shared.errors.empty()) return {};
  // The failure of the lowest window is the one a single thread meets.
  size_t first = 0;
  for (size_t i = 1; i < shared.errors.size(); ++i) {
    if (shared.error_windows[i] < shared.error_windows[first]) first = i;
  }
  return std::move(*shared.errors[first]);
}

}  // namespace zu::zip
