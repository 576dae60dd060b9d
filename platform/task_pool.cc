#include "platform/task_pool.h"

#include <algorithm>
#include <system_error>

namespace vq {

TaskPool::~TaskPool() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

size_t TaskPool::threads() { return std::clamp(std::thread::hardware_concurrency(), 1u, 4u); }

void TaskPool::startWorkers() {
  started_ = true;
  for (size_t i = 0; i < threads(); ++i) {
    try {
      workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      break;  // fewer threads, or none: the caller's thread runs the rest
    }
  }
}

void TaskPool::post(std::function<FsResult()> task) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!outcome_) return;
  if (!started_) startWorkers();
  if (workers_.empty()) {
    queue_.push_back(std::move(task));
    runOne(lock);
    return;
  }
  queue_.push_back(std::move(task));
  lock.unlock();
  wake_.notify_one();
}

void TaskPool::runOne(std::unique_lock<std::mutex>& lock) {
  std::function<FsResult()> task = std::move(queue_.front());
  queue_.pop_front();
  ++running_;
  lock.unlock();
  FsResult result = task();
  lock.lock();
  --running_;
  if (!result && outcome_) {
    outcome_ = std::move(result);
    failed_.store(true, std::memory_order_relaxed);
    queue_.clear();
  }
  if (queue_.empty() && running_ == 0) idle_.notify_all();
}

void TaskPool::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    runOne(lock);
  }
}

FsResult TaskPool::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!queue_.empty()) runOne(lock);
  idle_.wait(lock, [this] { return queue_.empty() && running_ == 0; });
  return outcome_;
}

bool TaskPool::failed() const { return failed_.load(std::memory_order_relaxed); }

}  // namespace vq
