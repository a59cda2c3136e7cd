#include "platform/threading/CriticalSection.h"

#include <cstdio>
#include <cstdlib>

namespace Concurrency {

namespace {

#ifndef NDEBUG
[[noreturn]] void ReportMisuse(const void* section, const char* what) {
  std::fprintf(stderr, "critical_section %p: %s\n", section, what);
  std::fflush(stderr);
  std::abort();
}
#endif

}  // namespace

void critical_section::lock() {
#ifndef NDEBUG
  // Only the owner itself can have stored its own id, so this read cannot race with a change
  // that matters: another thread's id, or none, both mean "not recursive".
  if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id())
    ReportMisuse(this, "taken again by the thread that already holds it (it is not recursive)");
#endif
  mutex_.lock();
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

bool critical_section::try_lock() {
#ifndef NDEBUG
  if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id())
    ReportMisuse(this, "try_lock by the thread that already holds it (it is not recursive)");
#endif
  if (!mutex_.try_lock()) return false;
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  return true;
}

void critical_section::unlock() {
#ifndef NDEBUG
  if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id())
    ReportMisuse(this, "released by a thread that does not hold it");
#endif
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  mutex_.unlock();
}

bool critical_section::is_held_by_current_thread() const noexcept {
  return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

}  // namespace Concurrency
