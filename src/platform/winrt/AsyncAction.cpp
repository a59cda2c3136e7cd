#include "platform/winrt/AsyncAction.h"

#include "platform/com/Exceptions.h"
#include "platform/threading/ThreadPool.h"

namespace korvane::winrt {

using ABI::Windows::Foundation::IAsyncActionCompletedHandler;

AsyncAction::AsyncAction(Body body) : body_(std::move(body)) {}

void AsyncAction::Start() {
  ComPtr<AsyncAction> self(this);
  threading::ThreadPool::Default().Submit([self] { self->Run(); });
}

void AsyncAction::Run() {
  Body body;
  {
    std::lock_guard lock(bodyMutex_);
    body.swap(body_);
  }
  if (!core_.BeginRun()) return;  // canceled before it started: the body never runs

  AsyncStatus status = AsyncStatus::Completed;
  HRESULT errorCode = S_OK;
  try {
    body(core_.Token());
  } catch (...) {
    errorCode = HResultFromCurrentException();
    status = errorCode == E_ABORT ? AsyncStatus::Canceled : AsyncStatus::Error;
    if (errorCode == S_OK) errorCode = E_FAIL;  // an exception never means success
  }
  body = nullptr;  // releases what the body captured, before anyone learns of the end
  AsyncCore::Completion fire;
  core_.Finish(status, errorCode, &fire);
  FireCompleted(fire);
}

void AsyncAction::FireCompleted(const AsyncCore::Completion& fire) {
  // The handler's own failure has nowhere to go: the action's outcome is already final.
  if (fire.handler) static_cast<IAsyncActionCompletedHandler*>(fire.handler.Get())->Invoke(this, fire.status);
}

HRESULT AsyncAction::put_Completed(IAsyncActionCompletedHandler* handler) {
  AsyncCore::Completion fire;
  HRESULT hr = core_.PutCompleted(handler, &fire);
  FireCompleted(fire);
  return hr;
}

HRESULT AsyncAction::get_Completed(IAsyncActionCompletedHandler** handler) {
  if (handler == nullptr) return E_POINTER;
  *handler = nullptr;
  ComPtr<IUnknown> stored;
  HRESULT hr = core_.GetCompleted(stored);
  if (SUCCEEDED(hr)) *handler = static_cast<IAsyncActionCompletedHandler*>(stored.Detach());
  return hr;
}

HRESULT AsyncAction::GetResults() { return core_.CheckResultsAvailable(); }

HRESULT AsyncAction::get_Id(UINT32* id) { return core_.GetId(id); }

HRESULT AsyncAction::get_Status(AsyncStatus* status) { return core_.GetStatus(status); }

HRESULT AsyncAction::get_ErrorCode(HRESULT* errorCode) { return core_.GetErrorCode(errorCode); }

HRESULT AsyncAction::Cancel() {
  AsyncCore::Completion fire;
  HRESULT hr = core_.Cancel(&fire);
  FireCompleted(fire);
  return hr;
}

HRESULT AsyncAction::Close() { return core_.Close(); }

HRESULT AsyncAction::WaitForFinish(int64_t timeoutMs, BOOL* finished) {
  if (finished == nullptr) return E_POINTER;
  *finished = core_.WaitForFinish(std::chrono::milliseconds(timeoutMs)) ? TRUE : FALSE;
  return S_OK;
}

}  // namespace korvane::winrt
