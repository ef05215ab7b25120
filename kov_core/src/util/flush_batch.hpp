#pragma once
// Directory flushes that make names durable, many at once through a
// FlushQueue, with the fallbacks in one place: a directory that may not be
// read (EACCES), or whose file system refuses to flush it alone (EINVAL), is
// made durable by flushing its whole file system instead. Move-only.

#include <sys/types.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "kov_core/error.hpp"
#include "kov_core/fd.hpp"
#include "util/flush_queue.hpp"

namespace kov_core::util {

class FlushBatch {
 public:
  // `queue` must have nothing in flight; it is used only through this batch
  // until finish. A file system flushed whole is flushed through `anchor`
  // when it is on it (an O_PATH one cannot serve and is not used; -1: none),
  // else through a directory of it that the batch flushed, else (no
  // descriptor of it at hand) by flushing every file system (sync).
  FlushBatch(FlushQueue& queue, int anchor);
  FlushBatch(const FlushBatch&) = delete;
  FlushBatch& operator=(const FlushBatch&) = delete;
  // Waits for every flush still in flight, so that no early return leaves
  // one behind.
  ~FlushBatch();

  // Queues the flush of `dir`, a directory opened for reading, and holds it
  // open until its flush is done. After the first failure nothing new starts.
  Result<void> flush(Fd dir);
  // Opens `name` of `dir` for reading and queues its flush. One that may not
  // be read is covered by the flush of its file system; any other failure to
  // open it is the batch's failure.
  Result<void> flush_at(int dir, const char* name);
  // `name` of `dir`, a directory that could not be opened for reading: with
  // `error` EACCES its file system is flushed whole, any other is a failure.
  void unopened(int error, int dir, const char* name);
  // Flushes each directory above `dir` (O_PATH will do), up to the root of
  // its file system: the climb goes through ".." with O_PATH, so search
  // permission is enough, and ends where the device changes or at "/".
  Result<void> climb(int dir);

  // openat; when the descriptors run out, each flush taken frees one and the
  // open is tried again. -1 with errno set when it fails.
  Result<int> open(int dir, const char* name, int flags);
  // Takes one completion, freeing its descriptor: false when none is in flight.
  Result<bool> relieve();

  // Waits for every flush, then flushes the file systems that need it whole.
  // The first failure of all, as Io.
  Result<void> finish();

 private:
  Result<void> take_one();
  void fail(Error error);
  void flush_file_system(dev_t device);
  // Keeps `dir` as the descriptor to flush its file system with, the first
  // of each file system.
  void keep_anchor(Fd dir);

  FlushQueue& queue_;
  int anchor_;
  std::vector<Fd> held_;  // indexed by tag: open until the flush is done
  Result<void> outcome_;
  std::vector<dev_t> whole_;                   // file systems to flush whole
  std::vector<std::pair<dev_t, Fd>> anchors_;  // a readable directory of each
};

// Makes a change to the names in `dir` (held open; O_PATH will do) durable,
// with the fallbacks above; `anchor` as for FlushBatch.
Result<void> sync_directory(int dir, int anchor);

// Makes a new name in `dir` durable, and the names that lead to `dir`: one at
// a time, flushes `dir` (held open; O_PATH will do) and every directory above
// it up to the root of its file system, with the fallbacks above. `new_file`
// is the new file itself, open: its file system is flushed where `dir` may
// not be read.
Result<void> sync_directory_and_above(int dir, int new_file);

}  // namespace kov_core::util
