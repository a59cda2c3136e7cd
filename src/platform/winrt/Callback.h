// Callback<Delegate>(functor): a delegate object made from a lambda, as WRL's Callback.
//
//   ComPtr<IAsyncActionCompletedHandler> done = Callback<IAsyncActionCompletedHandler>(
//       [](IAsyncAction* action, AsyncStatus status) { ...; return S_OK; });
//
// Any interface with exactly one `HRESULT Invoke(...)` works as the delegate interface.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/com/Exceptions.h"
#include "platform/com/WinRtInterfaces.h"

#include <type_traits>
#include <utility>

namespace korvane::winrt {

namespace detail {

template <class Delegate, class F, class Signature>
class CallbackObject;

// The delegate object behind Callback: Invoke runs the functor and turns what it does into the
// call's HRESULT — its returned HRESULT, S_OK for a functor returning void, the code of any
// exception it throws (no exception crosses the delegate). Agile; the functor runs on the
// invoking thread, concurrently if invoked concurrently.
template <class Delegate, class F, class C, class... Args>
class CallbackObject<Delegate, F, HRESULT (C::*)(Args...)> final : public ComObject<Delegate, IAgileObject> {
 public:
  explicit CallbackObject(F functor) : functor_(std::move(functor)) {}

  HRESULT Invoke(Args... args) override {
    try {
      if constexpr (std::is_void_v<std::invoke_result_t<F&, Args...>>) {
        functor_(args...);
        return S_OK;
      } else {
        return static_cast<HRESULT>(functor_(args...));
      }
    } catch (...) {
      return HResultFromCurrentException();
    }
  }

 private:
  F functor_;
};

}  // namespace detail
}  // namespace korvane::winrt

namespace Microsoft::WRL {

// Makes a delegate object of interface `Delegate` from a functor taking Invoke's arguments and
// returning HRESULT (or void). The returned reference is the only one.
template <class Delegate, class F>
ComPtr<Delegate> Callback(F&& functor) {
  using Object = korvane::winrt::detail::CallbackObject<Delegate, std::decay_t<F>, decltype(&Delegate::Invoke)>;
  ComPtr<Delegate> result;
  result.Attach(new Object(std::forward<F>(functor)));
  return result;
}

}  // namespace Microsoft::WRL

using Microsoft::WRL::Callback;
