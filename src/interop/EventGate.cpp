#include "interop/EventGate.h"

#include <algorithm>

namespace korvane {

bool EventGate::Enter() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return false;
  raising_.push_back(std::this_thread::get_id());
  return true;
}

void EventGate::Leave() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto entry = std::find(raising_.begin(), raising_.end(), std::this_thread::get_id());
  if (entry != raising_.end()) raising_.erase(entry);
  left_.notify_all();
}

void EventGate::CloseAndWait() {
  std::unique_lock<std::mutex> lock(mutex_);
  closed_ = true;
  const std::thread::id self = std::this_thread::get_id();
  left_.wait(lock, [&] {
    return std::all_of(raising_.begin(), raising_.end(), [&](std::thread::id id) { return id == self; });
  });
}

}  // namespace korvane
