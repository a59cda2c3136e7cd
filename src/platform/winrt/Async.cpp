#include "platform/winrt/Async.h"

namespace korvane::winrt {

using ABI::Windows::Foundation::AsyncStatus;
using ABI::Windows::Foundation::IAsyncAction;
using ABI::Windows::Foundation::IAsyncInfo;

ComPtr<IAsyncAction> CreateAsyncAction(std::function<void(const CancellationToken&)> body) {
  auto action = MakeRuntimeObject<AsyncAction>(std::move(body));
  action->Start();
  return action;
}

namespace {

HRESULT WaitImpl(IUnknown* async, int64_t timeoutMs) {
  if (async == nullptr) return E_POINTER;
  ComPtr<IAsyncCompletionWait> wait;
  ComPtr<IAsyncInfo> info;
  HRESULT hr = async->QueryInterface(IID_PPV_ARGS(&wait));
  if (FAILED(hr)) return hr;
  hr = async->QueryInterface(IID_PPV_ARGS(&info));
  if (FAILED(hr)) return hr;
  BOOL finished = FALSE;
  hr = wait->WaitForFinish(timeoutMs, &finished);
  if (FAILED(hr)) return hr;
  if (!finished) return kAsyncWaitTimeout;
  HRESULT errorCode = S_OK;
  hr = info->get_ErrorCode(&errorCode);
  return FAILED(hr) ? hr : errorCode;
}

}  // namespace

HRESULT WaitForCompletion(IUnknown* async) { return WaitImpl(async, -1); }

HRESULT WaitForCompletion(IUnknown* async, std::chrono::milliseconds timeout) {
  return WaitImpl(async, timeout.count() < 0 ? 0 : static_cast<int64_t>(timeout.count()));
}

}  // namespace korvane::winrt
