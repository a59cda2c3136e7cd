// CancellationToken: the read side of an asynchronous operation's cancellation request.
//
// Contract: a value type, cheap to copy, safe to read from any thread. Once IsCanceled()
// returns true it stays true. A default-constructed token is never canceled. Reading the
// token is all the body of an action can do with it: cancellation is cooperative, nothing
// interrupts a running body.
#pragma once

#include <atomic>
#include <memory>

namespace korvane::winrt {

class CancellationTokenSource;

class CancellationToken {
 public:
  CancellationToken() = default;

  bool IsCanceled() const noexcept { return state_ != nullptr && state_->load(std::memory_order_acquire); }

  // A token that is never canceled.
  static CancellationToken None() { return CancellationToken(); }

 private:
  friend class CancellationTokenSource;
  explicit CancellationToken(std::shared_ptr<const std::atomic<bool>> state) : state_(std::move(state)) {}

  std::shared_ptr<const std::atomic<bool>> state_;
};

}  // namespace korvane::winrt
