// Concurrency::critical_section: the task library's non-recursive lock.
//
// Contract:
// - lock() blocks until the calling thread owns the section; unlock() must be called by the
//   owning thread. try_lock() never blocks.
// - Not recursive. Taking the section a second time on the thread that owns it is a bug in the
//   caller; in builds without NDEBUG it is reported at once (a message naming the section on
//   stderr, then abort) instead of deadlocking silently. unlock() by a thread that does not own
//   the section is reported the same way. In NDEBUG builds neither is checked.
// - Meets the Lockable requirements (lock/try_lock/unlock), so std::unique_lock and
//   std::lock_guard work on it as well as the nested scoped_lock.
// - Not copyable or movable; it must outlive every thread that may still take it.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace Concurrency {

class critical_section {
 public:
  critical_section() = default;
  critical_section(const critical_section&) = delete;
  critical_section& operator=(const critical_section&) = delete;
  ~critical_section() = default;

  void lock();
  bool try_lock();
  void unlock();

  // True when the calling thread owns the section (for assertions in callers that require
  // the lock to be held).
  bool is_held_by_current_thread() const noexcept;

  class scoped_lock {
   public:
    explicit scoped_lock(critical_section& section) : section_(section) { section_.lock(); }
    scoped_lock(const scoped_lock&) = delete;
    scoped_lock& operator=(const scoped_lock&) = delete;
    ~scoped_lock() { section_.unlock(); }

   private:
    critical_section& section_;
  };

 private:
  std::mutex mutex_;
  // The owning thread, or a default id when free. Written only by the owner while it holds
  // mutex_ (set after locking, cleared before unlocking); read by any thread to detect
  // recursion, which is why it is atomic rather than guarded by mutex_.
  std::atomic<std::thread::id> owner_{};
};

}  // namespace Concurrency
