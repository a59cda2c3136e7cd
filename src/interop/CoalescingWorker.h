// CoalescingWorker<Value>: a slot for the newest value of one kind of notification, and the one
// worker (an asynchronous action on the thread pool) that hands it on.
//
// Producers Push from any thread; a push only takes the slot's mutex, stores and notifies, so
// a producer holding other locks (the decoder's lock, an iterator's lock) is never blocked by a
// consumer. The worker wakes, takes the newest value (older ones were overwritten: a burst
// becomes one delivery) and calls `deliver` with no lock held. Values pushed while `deliver`
// runs make one more delivery. A value pushed while no worker runs waits in the slot for the
// next one.
//
// Holding back. A worker started with a `hold` flag takes nothing while the flag reads true (it
// looks again every kHoldPoll, and at once on a push or a stop).
//
// Stopping. Stop empties the slot, cancels the worker and waits until the worker has recorded
// its end (a record under the mutex, not a single wake-up, so a worker that ended before the
// wait is not waited for, and a spurious wake-up cannot end the wait early). A delivery in
// progress finishes first. Stop from inside `deliver` (the worker's own thread) does not wait
// for itself: the worker ends when `deliver` returns, touching only state it shares with this
// object, so the object may already be gone by then.
//
// An exception from `deliver` ends the worker (its action ends in the Error state with that
// exception's HRESULT); nothing is delivered after it until the next Start.
//
// Threads. Push and Stop may be called from any thread. Start and Stop must not race each other
// (the owners serialise them); Start stops the running worker first.
#pragma once

#include "platform/com/ComPtr.h"
#include "platform/com/Exceptions.h"
#include "platform/winrt/Async.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace korvane {

template <class Value>
class CoalescingWorker {
 public:
  using Deliver = std::function<void(const Value&)>;
  using Hold = std::shared_ptr<const std::atomic<bool>>;

  static constexpr std::chrono::milliseconds kHoldPoll{5};

  CoalescingWorker() = default;
  CoalescingWorker(const CoalescingWorker&) = delete;
  CoalescingWorker& operator=(const CoalescingWorker&) = delete;
  ~CoalescingWorker() {
    try {
      Stop();
    } catch (...) {
      // A destructor must not throw; a failed cancel has nothing left to undo here.
    }
  }

  void Push(Value value) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->newest = std::move(value);
    shared_->changed.notify_all();
  }

  // Stops the running worker, then starts a new one. Throws std::system_error when the pool
  // cannot start a thread.
  void Start(Deliver deliver, Hold hold = nullptr) {
    Stop();
    std::lock_guard<std::mutex> lock(shared_->mutex);
    auto run = std::make_shared<Run>();
    shared_->worker = winrt::CreateAsyncAction(
        [shared = shared_, run, deliver = std::move(deliver), hold](const winrt::CancellationToken& token) {
          Work(*shared, *run, deliver, hold, token);
        });
    shared_->run = std::move(run);
  }

  // Throws the cancel's failure as the platform exception for its HRESULT, after waiting.
  void Stop() {
    ComPtr<ABI::Windows::Foundation::IAsyncAction> worker;
    HRESULT cancelled = S_OK;
    {
      std::unique_lock<std::mutex> lock(shared_->mutex);
      if (!shared_->worker) return;
      worker = std::move(shared_->worker);
      const std::shared_ptr<Run> run = std::move(shared_->run);
      shared_->newest.reset();
      ComPtr<ABI::Windows::Foundation::IAsyncInfo> info;
      cancelled = worker.As(&info);
      if (SUCCEEDED(cancelled)) cancelled = info->Cancel();
      shared_->changed.notify_all();
      ABI::Windows::Foundation::AsyncStatus status = ABI::Windows::Foundation::AsyncStatus::Started;
      if (info) info->get_Status(&status);
      // Canceled right after Cancel means the body never started (a body that ran ends
      // Completed or Error), so nothing will ever record its end.
      if (status == ABI::Windows::Foundation::AsyncStatus::Canceled) run->ended = true;
      if (run->thread != std::this_thread::get_id()) {
        shared_->changed.wait(lock, [&] { return run->ended; });
      }
    }
    // Released outside the mutex: the action's release may drop the last reference to what the
    // worker captured.
    worker.Reset();
    ThrowIfFailed(cancelled);
  }

 private:
  // One worker's life, so that a worker stopped from its own thread and a successor started
  // right after never share an end record.
  struct Run {
    std::thread::id thread;  // set when the body starts
    bool ended = false;
  };

  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    // -- guarded by mutex
    std::optional<Value> newest;
    ComPtr<ABI::Windows::Foundation::IAsyncAction> worker;
    std::shared_ptr<Run> run;  // the current worker's record (each Run's fields too)
  };

  static void Work(Shared& shared, Run& run, const Deliver& deliver, const Hold& hold,
                   const winrt::CancellationToken& token) {
    {
      std::lock_guard<std::mutex> lock(shared.mutex);
      run.thread = std::this_thread::get_id();
    }
    struct EndRecord {
      Shared& shared;
      Run& run;
      ~EndRecord() {
        std::lock_guard<std::mutex> lock(shared.mutex);
        run.ended = true;
        shared.changed.notify_all();
      }
    } endRecord{shared, run};

    for (;;) {
      std::unique_lock<std::mutex> lock(shared.mutex);
      while (hold && hold->load() && !token.IsCanceled()) shared.changed.wait_for(lock, kHoldPoll);
      shared.changed.wait(lock, [&] { return token.IsCanceled() || shared.newest.has_value(); });
      if (token.IsCanceled()) return;
      const Value value = std::move(*shared.newest);
      shared.newest.reset();
      lock.unlock();
      deliver(value);
    }
  }

  // Shared with the workers, which may outlive this object when stopped from their own thread.
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace korvane
