// CancellationTokenSource: the write side of a cancellation request. Cancel() may be called
// from any thread, any number of times; every token taken from this source (before or after)
// then reports IsCanceled().
#pragma once

#include "platform/winrt/CancellationToken.h"

namespace korvane::winrt {

class CancellationTokenSource {
 public:
  CancellationTokenSource() : state_(std::make_shared<std::atomic<bool>>(false)) {}

  CancellationToken Token() const { return CancellationToken(state_); }
  void Cancel() noexcept { state_->store(true, std::memory_order_release); }
  bool IsCanceled() const noexcept { return state_->load(std::memory_order_acquire); }

 private:
  std::shared_ptr<std::atomic<bool>> state_;
};

}  // namespace korvane::winrt
