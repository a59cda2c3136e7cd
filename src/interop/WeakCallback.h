// WeakCallback<Delegate, Interface>(target, &Target::Method): a delegate that calls
// target->Method(args...) as long as `target` is alive, holding it only through a weak
// reference. Once the target is gone, invoking the delegate fails with RPC_E_DISCONNECTED, the
// code that makes an event drop the handler. A call made while the target is alive holds it
// strongly for the length of the call.
//
// `Interface` is an interface of Target that resolving the weak reference asks for; Target must
// derive from it. An exception from the method becomes the delegate call's HRESULT.
#pragma once

#include "platform/com/RuntimeClass.h"
#include "platform/winrt/Callback.h"

namespace korvane {

template <class Delegate, class Interface, class Target, class... Args>
ComPtr<Delegate> WeakCallback(Target* target, void (Target::*method)(Args...)) {
  ComPtr<IWeakReference> weak;
  ThrowIfFailed(target->GetWeakReference(&weak));
  return Callback<Delegate>([weak, method](Args... args) -> HRESULT {
    const ComPtr<Interface> strong = ResolveWeak<Interface>(weak.Get());
    if (!strong) return RPC_E_DISCONNECTED;
    (static_cast<Target*>(strong.Get())->*method)(args...);
    return S_OK;
  });
}

}  // namespace korvane
