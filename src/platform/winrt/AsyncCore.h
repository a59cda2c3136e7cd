// AsyncCore: the state machine shared by the platform's asynchronous action and operation
// objects. Not an object of its own: each async object embeds one and forwards IAsyncInfo and
// its handler properties to it.
//
// States (status as get_Status reports it in brackets):
//   Pending [Started]  -- BeginRun -->            Running [Started]
//   Pending            -- Cancel -->              Canceled (the body never runs)
//   Running            -- Cancel -->              Running, token signalled (the body decides)
//   Running            -- Finish(status, hr) -->  Completed | Canceled | Error
//   any finished state -- Close -->               Closed (every later call: E_ILLEGAL_METHOD_CALL)
//
// Handlers are stored type-erased (as the IUnknown of their typed interface); the owning
// object casts them back. The completed handler is handed out for invocation exactly once: by
// the transition to a finished state if it was set by then, otherwise by the put_Completed
// that sets it afterwards. Whoever receives it invokes it with no lock held. Once handed out,
// and once the object has finished for the progress handler, the object keeps no reference to
// them (get_Completed / get_Progress then give null), as the task library does: a handler that
// holds the object would otherwise keep both alive for good.
//
// Threads: every method may be called from any thread; one mutex guards the state.
#pragma once

#include "platform/com/ComPtr.h"
#include "platform/winrt/AsyncInterfaces.h"
#include "platform/winrt/CancellationTokenSource.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace korvane::winrt {

// Lets WaitForCompletion block on the platform's async objects.
struct IAsyncCompletionWait : IUnknown {
  static constexpr GUID kIid{0x3F1C2A7E, 0x9B4D, 0x4C6E, {0x8A, 0x05, 0x6D, 0x21, 0xE4, 0x7B, 0x90, 0x13}};
  using BaseInterface = IUnknown;

  // Waits until the object has finished or `timeoutMs` milliseconds passed (a negative
  // timeout waits without limit). *finished tells which; S_OK either way.
  virtual HRESULT WaitForFinish(int64_t timeoutMs, BOOL* finished) = 0;
};

class AsyncCore {
 public:
  using AsyncStatus = ABI::Windows::Foundation::AsyncStatus;

  AsyncCore();
  AsyncCore(const AsyncCore&) = delete;
  AsyncCore& operator=(const AsyncCore&) = delete;

  // A completed handler to invoke, with the status to pass it (empty when there is none), and
  // the progress handler the end let go of; both are released with this record, after the
  // lock.
  struct Completion {
    ComPtr<IUnknown> handler;
    AsyncStatus status = AsyncStatus::Started;
    ComPtr<IUnknown> releasedProgress;
  };

  // IAsyncInfo.
  HRESULT GetId(UINT32* id) const;
  HRESULT GetStatus(AsyncStatus* status) const;
  HRESULT GetErrorCode(HRESULT* errorCode) const;
  // *fire receives the completed handler when this call finished the object (a cancel before
  // the body started).
  HRESULT Cancel(Completion* fire);
  // E_ILLEGAL_STATE_CHANGE while still started; S_OK when finished or already closed.
  HRESULT Close();

  // Handler properties. E_ILLEGAL_DELEGATE_ASSIGNMENT on a second put, E_POINTER for null.
  HRESULT PutCompleted(IUnknown* handler, Completion* fire);
  HRESULT GetCompleted(ComPtr<IUnknown>& handler) const;
  HRESULT PutProgress(IUnknown* handler);
  HRESULT GetProgress(ComPtr<IUnknown>& handler) const;
  // The progress handler to call for a report now; null once finished or when none is set.
  ComPtr<IUnknown> ProgressHandlerForReport() const;

  // S_OK when Completed; the error code when Error; E_ILLEGAL_METHOD_CALL otherwise.
  HRESULT CheckResultsAvailable() const;
  bool IsClosed() const;

  // Pending -> Running. False when the object was canceled (or closed) first: then the body
  // must not run.
  bool BeginRun();
  // Running -> `status` (Completed, Canceled or Error, with `errorCode` for Error). *fire
  // receives the completed handler when one was set.
  void Finish(AsyncStatus status, HRESULT errorCode, Completion* fire);

  CancellationToken Token() const { return cancellation_.Token(); }

  // Blocks until finished or the timeout passes (negative: no limit); true if finished.
  bool WaitForFinish(std::chrono::milliseconds timeout) const;

 private:
  enum class Phase { kPending, kRunning, kFinished, kClosed };

  // On the transition to kFinished, or when the completed handler is set after it.
  void HandOutCompletedLocked(Completion* fire);

  const UINT32 id_;
  CancellationTokenSource cancellation_;

  mutable std::mutex mutex_;
  // -- guarded by mutex_
  Phase phase_ = Phase::kPending;
  AsyncStatus status_ = AsyncStatus::Started;  // final status once phase_ >= kFinished
  HRESULT errorCode_ = S_OK;
  ComPtr<IUnknown> completed_;
  bool completedAssigned_ = false;
  bool completedFired_ = false;
  ComPtr<IUnknown> progress_;
  bool progressAssigned_ = false;
  // --
  mutable std::condition_variable finished_;  // notified on the transition to kFinished
};

}  // namespace korvane::winrt
