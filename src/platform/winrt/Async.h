// Asynchronous actions and operations, as the task library's create_async makes them.
//
//   ComPtr<IAsyncAction> action = korvane::winrt::CreateAsyncAction(
//       [](const korvane::winrt::CancellationToken& token) { while (!token.IsCanceled()) ...; });
//
//   auto op = korvane::winrt::CreateAsyncOperationWithProgress<IRandomAccessStream*, double>(
//       [](const ProgressReporter<double>& progress, const CancellationToken& token)
//           -> ComPtr<IRandomAccessStream> { progress.Report(0.5); ...; return stream; });
//
// The body runs on ThreadPool::Default(), never on the caller's thread. What the objects
// promise (status, error codes, cancellation, handlers, threads) is stated in AsyncAction.h
// and AsyncOperationWithProgress.h; in short:
// - Cancel before the body starts: the body never runs, status Canceled at once.
// - Cancel while it runs: only the token is signalled. A body that returns normally completes
//   the operation; one that throws OperationCanceledException (E_ABORT) cancels it.
// - Any other exception: status Error, error code = the exception's HRESULT (668 included,
//   although it is not a failure code).
// - The completed handler runs exactly once; progress handlers run on the reporting thread.
#pragma once

#include "platform/com/ComPtr.h"
#include "platform/winrt/AsyncAction.h"
#include "platform/winrt/AsyncInterfaces.h"
#include "platform/winrt/AsyncOperationWithProgress.h"
#include "platform/winrt/Callback.h"
#include "platform/winrt/CancellationToken.h"
#include "platform/winrt/ProgressReporter.h"

#include <chrono>
#include <functional>

namespace korvane::winrt {

// Starts an action running `body` on the thread pool. Throws (std::system_error) only when
// the pool cannot start a thread.
ComPtr<ABI::Windows::Foundation::IAsyncAction> CreateAsyncAction(std::function<void(const CancellationToken&)> body);

// Starts an operation running `body` on the thread pool. The body returns AsyncResult<TResult>:
// a ComPtr<I> for an interface result type I*, TResult itself otherwise.
template <class TResult, class TProgress>
ComPtr<ABI::Windows::Foundation::IAsyncOperationWithProgress<TResult, TProgress>> CreateAsyncOperationWithProgress(
    std::function<AsyncResult<TResult>(const ProgressReporter<TProgress>&, const CancellationToken&)> body) {
  auto operation = MakeRuntimeObject<AsyncOperationWithProgress<TResult, TProgress>>(std::move(body));
  operation->Start();
  return operation;
}

// HRESULT_FROM_WIN32(ERROR_TIMEOUT): the wait below gave up before the object finished.
constexpr HRESULT kAsyncWaitTimeout = HRESULT_FROM_WIN32(1460);

// Blocks the calling thread until the platform async object `async` (any of its interfaces)
// has finished, and returns its final code: S_OK when completed, E_ABORT when canceled, the
// error code when it failed. E_POINTER for null, E_NOINTERFACE for an object the platform did
// not make. It returns as soon as the status is final, possibly before the completed handler
// has run. A body must not wait for its own object (it would wait for itself); its completed
// handler may (the object has finished by then).
HRESULT WaitForCompletion(IUnknown* async);
// The same with a bound; kAsyncWaitTimeout when `timeout` passes first.
HRESULT WaitForCompletion(IUnknown* async, std::chrono::milliseconds timeout);

}  // namespace korvane::winrt
