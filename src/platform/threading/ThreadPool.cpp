#include "platform/threading/ThreadPool.h"

#include <cstdio>
#include <exception>
#include <system_error>
#include <thread>

namespace korvane::threading {

ThreadPool& ThreadPool::Default() {
  // Deliberately never destroyed: tasks may still run, and submit more work, while static
  // destructors run at process exit.
  static ThreadPool* const pool = new ThreadPool();
  return *pool;
}

ThreadPool::ThreadPool(std::chrono::milliseconds idleTimeout) : idleTimeout_(idleTimeout) {}

ThreadPool::~ThreadPool() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  workAvailable_.notify_all();
  // Threads drain the queue before they end, so queued tasks still run.
  threadEnded_.wait(lock, [this] { return threads_ == 0; });
}

void ThreadPool::Submit(std::function<void()> task) {
  if (!task) return;
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
  // Every queued task needs an idle thread of its own that has not yet been handed one;
  // otherwise a task could wait behind tasks that block forever.
  if (tasks_.size() <= idle_) {
    workAvailable_.notify_one();
    return;
  }
  if (threads_ >= kMaxThreads) return;  // queues until a thread frees up
  try {
    StartThreadLocked();
  } catch (...) {
    if (threads_ == 0) {
      tasks_.pop_back();  // nobody would ever run it
      throw;
    }
    // Some thread will come back for it.
  }
}

void ThreadPool::StartThreadLocked() {
  std::thread thread([this] { WorkerLoop(); });
  thread.detach();
  ++threads_;
}

void ThreadPool::WorkerLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (tasks_.empty()) {
      if (stopping_) break;
      ++idle_;
      bool woken = workAvailable_.wait_for(lock, idleTimeout_, [this] { return !tasks_.empty() || stopping_; });
      --idle_;
      if (!woken) break;  // idle for the whole timeout: retire
      continue;
    }
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    try {
      task();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "korvane thread pool: a task let an exception escape: %s\n", e.what());
      std::fflush(stderr);
      std::terminate();
    } catch (...) {
      std::fprintf(stderr, "korvane thread pool: a task let an exception of unknown type escape\n");
      std::fflush(stderr);
      std::terminate();
    }
    task = nullptr;  // what the task captured is released before the thread counts as idle
    lock.lock();
  }
  --threads_;
  threadEnded_.notify_all();
  // The pool may be destroyed as soon as the lock is released: touch nothing of it after.
}

std::size_t ThreadPool::ThreadCount() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

bool ThreadPool::WaitForThreadCountAtMostForTesting(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return threadEnded_.wait_for(lock, timeout, [&] { return threads_ <= count; });
}

}  // namespace korvane::threading
