// The runtime's asynchronous-operation interfaces, in their ABI slot order with the public
// interface ids (parameterised instantiations derive theirs, TypeIid.h). Include
// "platform/winrt/Async.h" to get these together with the helpers that make such objects.
#pragma once

#include "platform/com/WinRtInterfaces.h"
#include "platform/winrt/TypeIid.h"

// Returned by put_Completed / put_Progress when a handler was already assigned.
constexpr HRESULT E_ILLEGAL_DELEGATE_ASSIGNMENT = MakeHresult(0x80000018u);

namespace ABI::Windows::Foundation {

enum class AsyncStatus : int32_t { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

// Every asynchronous object answers IAsyncInfo besides its typed interface.
struct IAsyncInfo : IInspectable {
  static constexpr GUID kIid{0x00000036, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  using BaseInterface = IInspectable;

  virtual HRESULT get_Id(UINT32* id) = 0;
  virtual HRESULT get_Status(AsyncStatus* status) = 0;
  // S_OK unless the status is Error (the failure's code) or Canceled (E_ABORT).
  virtual HRESULT get_ErrorCode(HRESULT* errorCode) = 0;
  virtual HRESULT Cancel() = 0;
  virtual HRESULT Close() = 0;
};

struct IAsyncAction;

struct IAsyncActionCompletedHandler : IUnknown {
  static constexpr GUID kIid{0xA4ED5C81, 0x76C9, 0x40BD, {0x8B, 0xE6, 0xB1, 0xD9, 0x0F, 0xB2, 0x0A, 0xE7}};
  using BaseInterface = IUnknown;

  virtual HRESULT Invoke(IAsyncAction* asyncInfo, AsyncStatus status) = 0;
};

struct IAsyncAction : IInspectable {
  static constexpr GUID kIid{0x5A648006, 0x843A, 0x4DA9, {0x86, 0x5B, 0x9D, 0x26, 0xE5, 0xDF, 0xAD, 0x7B}};
  using BaseInterface = IInspectable;

  virtual HRESULT put_Completed(IAsyncActionCompletedHandler* handler) = 0;
  virtual HRESULT get_Completed(IAsyncActionCompletedHandler** handler) = 0;
  virtual HRESULT GetResults() = 0;
};

template <class TResult, class TProgress>
struct IAsyncOperationWithProgress;

template <class TResult, class TProgress>
struct IAsyncOperationProgressHandler : IUnknown {
  static constexpr GUID kIid = korvane::winrt::TypeIid<IAsyncOperationProgressHandler>();
  using BaseInterface = IUnknown;

  virtual HRESULT Invoke(IAsyncOperationWithProgress<TResult, TProgress>* asyncInfo, TProgress progressInfo) = 0;
};

template <class TResult, class TProgress>
struct IAsyncOperationWithProgressCompletedHandler : IUnknown {
  static constexpr GUID kIid = korvane::winrt::TypeIid<IAsyncOperationWithProgressCompletedHandler>();
  using BaseInterface = IUnknown;

  virtual HRESULT Invoke(IAsyncOperationWithProgress<TResult, TProgress>* asyncInfo, AsyncStatus status) = 0;
};

// TResult is the ABI result type: a value type, or an interface pointer type such as
// IRandomAccessStream*, in which case GetResults hands out a new reference.
template <class TResult, class TProgress>
struct IAsyncOperationWithProgress : IInspectable {
  static constexpr GUID kIid = korvane::winrt::TypeIid<IAsyncOperationWithProgress>();
  using BaseInterface = IInspectable;

  virtual HRESULT put_Progress(IAsyncOperationProgressHandler<TResult, TProgress>* handler) = 0;
  virtual HRESULT get_Progress(IAsyncOperationProgressHandler<TResult, TProgress>** handler) = 0;
  virtual HRESULT put_Completed(IAsyncOperationWithProgressCompletedHandler<TResult, TProgress>* handler) = 0;
  virtual HRESULT get_Completed(IAsyncOperationWithProgressCompletedHandler<TResult, TProgress>** handler) = 0;
  virtual HRESULT GetResults(TResult* results) = 0;
};

}  // namespace ABI::Windows::Foundation
