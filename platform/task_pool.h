// Runs independent file-system tasks on a few threads beside the caller, so
// that copying or removing a tree uses more than one core: the kernel's work
// per file (allocating and filling pages, freeing them) runs in parallel even
// where the folder's own lock is taken one entry at a time. The first failure
// is kept; tasks not yet started when it happens are dropped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/fs_result.h"

namespace vq {

class TaskPool {
 public:
  // Threads are started with the first task, up to the machine's cores
  // (at most 4); where none can be started, tasks run on the caller's thread.
  TaskPool() = default;
  ~TaskPool();
  TaskPool(const TaskPool&) = delete;
  TaskPool& operator=(const TaskPool&) = delete;

  // How many threads run the tasks: the workers, or the caller's alone.
  static size_t threads();
  void post(std::function<FsResult()> task);
  // Runs queued tasks on the caller's thread too until every task posted so
  // far has finished; the first failure, or success.
  FsResult wait();
  bool failed() const;

 private:
  void startWorkers();
  void work();
  // Runs one task, with the lock held on entry and exit.
  void runOne(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<std::function<FsResult()>> queue_;
  std::vector<std::thread> workers_;
  size_t running_ = 0;
  bool started_ = false, stopping_ = false;
  FsResult outcome_ = FsResult::Ok();
  // Whether outcome_ is a failure, readable without the lock, which the
  // threads would otherwise take for every file.
  std::atomic<bool> failed_{false};
};

}  // namespace vq
