// AsyncAction: the platform's IAsyncAction, running one body on the thread pool.
//
// Contract (see AsyncCore for the states):
// - Start submits the body to ThreadPool::Default(); the body runs at most once, never on the
//   caller's thread, and not at all when the action is canceled before a pool thread takes it.
// - The body's outcome: returning normally completes the action; an exception whose HRESULT
//   is E_ABORT (Platform::OperationCanceledException) cancels it; any other exception ends it
//   with status Error and that exception's HRESULT as the error code — also a code that is not
//   a failure, such as 668 (a thrown S_OK counts as E_FAIL).
// - The body (and everything it captured) is released on the pool thread once it has run, or
//   there without running when a Cancel came first; always before the completed handler runs
//   for an action that ran.
// - The completed handler runs exactly once: on the thread that finished the action, or on
//   the thread that sets it if the action had already finished. No lock is held meanwhile.
// - Agile; every method may be called from any thread.
#pragma once

#include "platform/com/RuntimeClass.h"
#include "platform/winrt/AsyncCore.h"

#include <functional>

namespace korvane::winrt {

class AsyncAction final
    : public RuntimeClass<com::kPlainRuntimeClass, ABI::Windows::Foundation::IAsyncAction,
                          ABI::Windows::Foundation::IAsyncInfo, IAsyncCompletionWait> {
 public:
  using AsyncStatus = ABI::Windows::Foundation::AsyncStatus;
  using Body = std::function<void(const CancellationToken&)>;

  explicit AsyncAction(Body body);

  // Submits the body to the pool. Called once, by CreateAsyncAction.
  void Start();

  // IAsyncAction
  HRESULT put_Completed(ABI::Windows::Foundation::IAsyncActionCompletedHandler* handler) override;
  HRESULT get_Completed(ABI::Windows::Foundation::IAsyncActionCompletedHandler** handler) override;
  HRESULT GetResults() override;

  // IAsyncInfo
  HRESULT get_Id(UINT32* id) override;
  HRESULT get_Status(AsyncStatus* status) override;
  HRESULT get_ErrorCode(HRESULT* errorCode) override;
  HRESULT Cancel() override;
  HRESULT Close() override;

  // IAsyncCompletionWait
  HRESULT WaitForFinish(int64_t timeoutMs, BOOL* finished) override;

 protected:
  const char* RuntimeClassNameText() const override { return "Windows.Foundation.IAsyncAction"; }

 private:
  void Run();
  void FireCompleted(const AsyncCore::Completion& fire);

  AsyncCore core_;
  std::mutex bodyMutex_;
  Body body_;  // guarded by bodyMutex_; emptied once it has run or can no longer run
};

}  // namespace korvane::winrt
