// ThreadPool: the process's pool of worker threads, on which asynchronous actions and
// operations run.
//
// Contract:
// - Submit may be called from any thread, including from inside a task. Tasks start in
//   submission order; they run concurrently with each other and with the submitter.
// - The pool never lets a task wait for a thread: when no thread is idle at Submit, a new one
//   is started. Tasks may therefore block for as long as they like (component workers wait on
//   condition variables for their whole life) without starving later submissions. A thread
//   that stays idle for the pool's idle timeout retires.
// - Growth is bounded only by kMaxThreads; past that, tasks queue until a thread frees up.
//   Should the system refuse to start a thread while the pool has none, Submit throws
//   std::system_error and the task is not queued.
// - An exception escaping a task is a bug in that task: the pool writes it to stderr and calls
//   std::terminate. Asynchronous actions catch their bodies' exceptions before they get here.
// - Default() is created on first use and never destroyed, so a task that is still running,
//   or submits more work, while the process exits never meets a destroyed pool. Its idle
//   threads end with the process.
// - A pool made by its constructor (tests) is destroyed by its owner: the destructor runs the
//   tasks still queued, waits until every running task has returned and every thread has
//   ended. Its tasks must therefore finish; Submit must not be called once destruction starts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace korvane::threading {

class ThreadPool {
 public:
  static constexpr std::size_t kMaxThreads = 1024;
  static constexpr std::chrono::milliseconds kDefaultIdleTimeout{10'000};

  static ThreadPool& Default();

  explicit ThreadPool(std::chrono::milliseconds idleTimeout = kDefaultIdleTimeout);
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  ~ThreadPool();

  // Queues `task` to run on a pool thread. An empty function is ignored.
  void Submit(std::function<void()> task);

  // Threads alive now (busy or idle).
  std::size_t ThreadCount() const;
  // Waits until at most `count` threads are alive or `timeout` passes; true if reached.
  bool WaitForThreadCountAtMostForTesting(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  void WorkerLoop();
  void StartThreadLocked();

  const std::chrono::milliseconds idleTimeout_;

  mutable std::mutex mutex_;
  // -- guarded by mutex_
  std::deque<std::function<void()>> tasks_;  // submitted, not yet taken by a thread
  std::size_t threads_ = 0;                  // threads started and not yet ended
  std::size_t idle_ = 0;                     // threads waiting for work and not yet given any
  bool stopping_ = false;                    // set by the destructor
  // --
  std::condition_variable workAvailable_;    // a task was queued or the pool is stopping
  mutable std::condition_variable threadEnded_;  // a thread ended (destructor, tests)
};

}  // namespace korvane::threading
