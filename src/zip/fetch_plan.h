// Reading many members with few reads: the byte ranges a read of members
// needs, merged into windows of bounded size, each fetched with one
// positioned read and then decoded from memory.
//
// The plan is a value of its own, so the same windows can be fetched some
// other way (over a network, say) and the buffers handed to decode_window.
// Nothing here touches a Python object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error/zu_error.h"
#include "platform/worker_pool.h"
#include "zip/cancel.h"
#include "zip/entry.h"
#include "zip/member.h"
#include "zip/zip_reader.h"

namespace zu::zip {

// The largest window a read fetches at once, and the largest run of bytes
// between two members that is fetched rather than skipped (a gap is also
// never longer than the member after it). A window bounds the memory one
// read needs beside its result.
inline constexpr uint64_t kDefaultWindowBytes = uint64_t{4} << 20;
inline constexpr uint64_t kMaxFetchedGap = uint64_t{64} << 10;

// One byte range of the file and the members `[first, first + count)` (in
// directory order) whose local headers and data lie in it. A window of a
// single member may be empty (length 0): that member is read on its own
// (it is large, or repeats an earlier one).
struct FetchWindow {
  uint64_t offset = 0;
  uint64_t length = 0;
  size_t first = 0;
  size_t count = 0;
};

struct FetchPlan {
  std::vector<FetchWindow> windows;  // in directory order of their members
};

// Plans the fetches of `entries` (the matching entries in directory order,
// read as `reads` says) with windows of at most `window_bytes`. Members
// follow each other in a window only in ascending file order, so the
// directory order, which the sink sees, is kept.
FetchPlan plan_fetches(EntryList entries, const ReadPlan& reads, uint64_t window_bytes);

// Decodes the members of `window` from `fetched`, the bytes of the window's
// range (fewer when the file ended first), into `sink`: begin_member, the
// bytes or repeat_member, end_member, in directory order. A member whose
// bytes are not all there, or that is unusual in any way, is read from the
// file by `reader`, which decides its error. Asks `poll` before each member.
Result<void> decode_window(std::span<const uint8_t> fetched, const FetchWindow& window,
                           EntryList entries, const ReadPlan& reads, uint64_t file_length,
                           MemberReader& reader, MemberSink& sink, CancelPoll& poll);

// Reads the windows of `plan` on the calling thread and on the helpers of
// `lease`, each worker w decoding into sinks[w] (one sink per worker:
// 1 + lease.helpers()). Windows are taken in order; the error is the one a
// single thread would meet first (every window before the first failing
// one is read whole), and member bytes reach each sink in directory order
// within a window. Repeated members reach their sink as repeat_member
// without the earlier member being there yet: the caller fills them in
// afterwards. Only the calling thread asks `cancel`; helpers stop at their
// next member once it says stop.
Result<void> read_windows(const FileReader& file, uint64_t file_length, EntryList entries,
                          const ReadPlan& reads, const FetchPlan& plan,
                          std::span<MemberSink* const> sinks, const platform::HelperLease& lease,
                          CancelCheck* cancel);

}  // namespace zu::zip
