// AsyncOperationWithProgress<TResult, TProgress>: the platform's
// IAsyncOperationWithProgress, running one body on the thread pool.
//
// Contract: as AsyncAction (AsyncAction.h) for the body, cancellation, the completed handler
// and threads; in addition:
// - The body returns the result as Result (ComPtr<I> when TResult is an interface pointer I*,
//   TResult itself otherwise). GetResults copies it out, adding a reference for an interface
//   (a null result is a valid result).
// - The body reports progress through its ProgressReporter; each report runs the progress
//   handler synchronously on the reporting thread (ProgressReporter.h).
// - Close releases the result and both handlers.
#pragma once

#include "platform/com/Exceptions.h"
#include "platform/com/RuntimeClass.h"
#include "platform/threading/ThreadPool.h"
#include "platform/winrt/AsyncCore.h"
#include "platform/winrt/ProgressReporter.h"

#include <functional>
#include <mutex>
#include <type_traits>

namespace korvane::winrt {

namespace detail {

template <class T>
struct AsyncResultStorage {
  using Type = T;
  static void CopyOut(const T& stored, T* out) { *out = stored; }
};

template <class I>
  requires std::is_base_of_v<IUnknown, I>
struct AsyncResultStorage<I*> {
  using Type = ComPtr<I>;
  static void CopyOut(const ComPtr<I>& stored, I** out) { stored.CopyTo(out); }
};

}  // namespace detail

// What a body returns for an operation whose ABI result type is TResult.
template <class TResult>
using AsyncResult = typename detail::AsyncResultStorage<TResult>::Type;

template <class TResult, class TProgress>
class AsyncOperationWithProgress final
    : public RuntimeClass<com::kPlainRuntimeClass, ABI::Windows::Foundation::IAsyncOperationWithProgress<TResult, TProgress>,
                          ABI::Windows::Foundation::IAsyncInfo, IAsyncCompletionWait> {
 public:
  using AsyncStatus = ABI::Windows::Foundation::AsyncStatus;
  using Interface = ABI::Windows::Foundation::IAsyncOperationWithProgress<TResult, TProgress>;
  using ProgressHandler = ABI::Windows::Foundation::IAsyncOperationProgressHandler<TResult, TProgress>;
  using CompletedHandler = ABI::Windows::Foundation::IAsyncOperationWithProgressCompletedHandler<TResult, TProgress>;
  using Result = AsyncResult<TResult>;
  using Body = std::function<Result(const ProgressReporter<TProgress>&, const CancellationToken&)>;

  explicit AsyncOperationWithProgress(Body body) : body_(std::move(body)) {}

  // Submits the body to the pool. Called once, by CreateAsyncOperationWithProgress.
  void Start() {
    ComPtr<AsyncOperationWithProgress> self(this);
    threading::ThreadPool::Default().Submit([self] { self->Run(); });
  }

  // IAsyncOperationWithProgress
  HRESULT put_Progress(ProgressHandler* handler) override { return core_.PutProgress(handler); }
  HRESULT get_Progress(ProgressHandler** handler) override {
    if (handler == nullptr) return E_POINTER;
    *handler = nullptr;
    ComPtr<IUnknown> stored;
    HRESULT hr = core_.GetProgress(stored);
    if (SUCCEEDED(hr)) *handler = static_cast<ProgressHandler*>(stored.Detach());
    return hr;
  }
  HRESULT put_Completed(CompletedHandler* handler) override {
    AsyncCore::Completion fire;
    HRESULT hr = core_.PutCompleted(handler, &fire);
    FireCompleted(fire);
    return hr;
  }
  HRESULT get_Completed(CompletedHandler** handler) override {
    if (handler == nullptr) return E_POINTER;
    *handler = nullptr;
    ComPtr<IUnknown> stored;
    HRESULT hr = core_.GetCompleted(stored);
    if (SUCCEEDED(hr)) *handler = static_cast<CompletedHandler*>(stored.Detach());
    return hr;
  }
  HRESULT GetResults(TResult* results) override {
    if (results == nullptr) return E_POINTER;
    *results = TResult{};
    HRESULT hr = core_.CheckResultsAvailable();
    if (hr != S_OK) return hr;
    std::lock_guard lock(resultMutex_);
    detail::AsyncResultStorage<TResult>::CopyOut(result_, results);
    return S_OK;
  }

  // IAsyncInfo
  HRESULT get_Id(UINT32* id) override { return core_.GetId(id); }
  HRESULT get_Status(AsyncStatus* status) override { return core_.GetStatus(status); }
  HRESULT get_ErrorCode(HRESULT* errorCode) override { return core_.GetErrorCode(errorCode); }
  HRESULT Cancel() override {
    AsyncCore::Completion fire;
    HRESULT hr = core_.Cancel(&fire);
    FireCompleted(fire);
    return hr;
  }
  HRESULT Close() override {
    HRESULT hr = core_.Close();
    if (hr == S_OK) {
      Result released{};
      std::lock_guard lock(resultMutex_);
      std::swap(released, result_);
    }
    return hr;
  }

  // IAsyncCompletionWait
  HRESULT WaitForFinish(int64_t timeoutMs, BOOL* finished) override {
    if (finished == nullptr) return E_POINTER;
    *finished = core_.WaitForFinish(std::chrono::milliseconds(timeoutMs)) ? TRUE : FALSE;
    return S_OK;
  }

 protected:
  const char* RuntimeClassNameText() const override { return "Windows.Foundation.IAsyncOperationWithProgress`2"; }

 private:
  void Run() {
    Body body;
    {
      std::lock_guard lock(bodyMutex_);
      body.swap(body_);
    }
    if (!core_.BeginRun()) return;  // canceled before it started: the body never runs
    ComPtr<AsyncOperationWithProgress> self(this);
    ProgressReporter<TProgress> reporter([self](const TProgress& value) { self->ReportProgress(value); });
    AsyncStatus status = AsyncStatus::Completed;
    HRESULT errorCode = S_OK;
    try {
      Result result = body(reporter, core_.Token());
      std::lock_guard lock(resultMutex_);
      result_ = std::move(result);
    } catch (...) {
      errorCode = HResultFromCurrentException();
      status = errorCode == E_ABORT ? AsyncStatus::Canceled : AsyncStatus::Error;
      if (errorCode == S_OK) errorCode = E_FAIL;
    }
    body = nullptr;  // releases what the body captured, before anyone learns of the end
    AsyncCore::Completion fire;
    core_.Finish(status, errorCode, &fire);
    FireCompleted(fire);
  }

  void ReportProgress(const TProgress& value) {
    ComPtr<IUnknown> handler = core_.ProgressHandlerForReport();
    if (handler) static_cast<ProgressHandler*>(handler.Get())->Invoke(this, value);
  }

  void FireCompleted(const AsyncCore::Completion& fire) {
    if (fire.handler) static_cast<CompletedHandler*>(fire.handler.Get())->Invoke(this, fire.status);
  }


  AsyncCore core_;
  std::mutex bodyMutex_;
  Body body_;  // guarded by bodyMutex_; emptied once it has run or can no longer run
  std::mutex resultMutex_;
  Result result_{};  // guarded by resultMutex_; set before the transition to Completed
};

}  // namespace korvane::winrt
