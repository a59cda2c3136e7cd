// ProgressReporter<TProgress>: hands progress values from an operation's body to the
// operation's progress handler.
//
// Contract: Report runs the handler synchronously on the calling thread, so values reported
// from one thread reach the handler in order and the body goes on only when the handler has
// returned. No lock is held while the handler runs. Reports made while no handler is set, or
// after the operation has finished, are dropped; a failing handler is ignored. Copies share
// the operation (and keep it alive).
#pragma once

#include <functional>
#include <utility>

namespace korvane::winrt {

template <class TProgress>
class ProgressReporter {
 public:
  ProgressReporter() = default;  // reports nowhere
  explicit ProgressReporter(std::function<void(const TProgress&)> sink) : sink_(std::move(sink)) {}

  void Report(const TProgress& value) const {
    if (sink_) sink_(value);
  }

 private:
  std::function<void(const TProgress&)> sink_;
};

}  // namespace korvane::winrt
