// The one pattern at every public method of a runtime class:
//   1. a closed object answers RO_E_CLOSED at once, out-parameters untouched;
//   2. out-parameters are cleared (a null out-parameter is E_POINTER);
//   3. the body runs; any exception becomes the call's HRESULT. No exception crosses.
//
//   HRESULT Foo::get_Value(INT64* value) {
//     return CallBoundary(closed_, [&] { *value = Compute(); }, value);
//   }
//
// The body may return void (success is S_OK) or an HRESULT, which is returned as it is.
#pragma once

#include "platform/com/Exceptions.h"

#include <type_traits>

namespace korvane::com {

template <class Body, class... Out>
HRESULT CallBoundary(bool closed, Body&& body, Out*... outs) noexcept {
  if (closed) return RO_E_CLOSED;
  if (((outs == nullptr) || ...)) return E_POINTER;
  ((*outs = Out{}), ...);
  try {
    if constexpr (std::is_same_v<std::invoke_result_t<Body>, void>) {
      body();
      return S_OK;
    } else {
      return static_cast<HRESULT>(body());
    }
  } catch (...) {
    return HResultFromCurrentException();
  }
}

}  // namespace korvane::com

using korvane::com::CallBoundary;
