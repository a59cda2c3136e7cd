// Events: registration tokens and the event source that keeps handlers and raises them.
// Handlers are usually made with Callback (Callback.h).
//
//   struct PositionHasChanged : IUnknown {            // a delegate interface
//     static constexpr GUID kIid{...};
//     using BaseInterface = IUnknown;
//     virtual HRESULT Invoke(int64_t position) = 0;
//   };
//   EventSource<PositionHasChanged> positionChanged;
//   EventRegistrationToken token;
//   positionChanged.Add(Callback<PositionHasChanged>([](int64_t p) { ...; return S_OK; }).Get(), &token);
//   HRESULT hr = positionChanged.InvokeAll(position);
//   positionChanged.Remove(token);
//
// Any interface with exactly one `HRESULT Invoke(...)` works as a delegate;
// korvane::winrt::IEventHandler<Args...> is a ready-made one for handlers that need no
// published id of their own.
#pragma once

#include "platform/com/ComPtr.h"
#include "platform/com/Exceptions.h"
#include "platform/winrt/Callback.h"
#include "platform/winrt/TypeIid.h"

#include <cstdint>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

struct EventRegistrationToken {
  int64_t value;
};

namespace korvane::winrt {

// A generic delegate interface. Each instantiation has its own interface id, derived from its
// argument types (TypeIid.h).
template <class... Args>
struct IEventHandler : IUnknown {
  static constexpr GUID kIid = TypeIid<IEventHandler>();
  using BaseInterface = IUnknown;

  virtual HRESULT Invoke(Args... args) = 0;
};

// True for the HRESULTs that mean "the handler's owner is gone": an event drops a handler that
// fails with one of them and goes on raising the others.
constexpr bool IsDisconnectedHandlerError(HRESULT hr) {
  return hr == RPC_S_SERVER_UNAVAILABLE_HR || hr == RPC_E_DISCONNECTED || hr == JSCRIPT_E_CANTEXECUTE;
}

}  // namespace korvane::winrt

namespace Microsoft::WRL {

// EventSource<Delegate>: the handlers of one event, each with its registration token.
//
// Contract:
// - Thread-safe: Add, Remove and InvokeAll may be called from any thread at any time,
//   including from inside a handler during a raise (the raise works on a snapshot of the
//   handlers taken when it starts; a handler added during a raise is first called by the next
//   raise, a handler removed during a raise may still be called by that raise).
// - No lock is held while a handler runs.
// - InvokeAll calls the handlers in registration order. A handler failing with a
//   disconnection code (IsDisconnectedHandlerError) is removed and the others still run; any
//   other failure ends the raise and is returned. S_OK otherwise (success codes other than
//   S_OK from handlers are ignored).
// - Tokens are unique within one source; removing an unknown or already removed token does
//   nothing.
template <class Delegate>
class EventSource {
 public:
  EventSource() = default;
  EventSource(const EventSource&) = delete;
  EventSource& operator=(const EventSource&) = delete;

  // E_INVALIDARG for a null handler, E_POINTER for a null token.
  HRESULT Add(Delegate* handler, EventRegistrationToken* token) {
    if (token == nullptr) return E_POINTER;
    if (handler == nullptr) return E_INVALIDARG;
    try {
      std::lock_guard lock(mutex_);
      token->value = nextToken_;
      handlers_.push_back({nextToken_, ComPtr<Delegate>(handler)});
      ++nextToken_;
      return S_OK;
    } catch (...) {
      return HResultFromCurrentException();
    }
  }

  HRESULT Remove(EventRegistrationToken token) {
    ComPtr<Delegate> removed;  // released after the lock, its destructor may call anything
    {
      std::lock_guard lock(mutex_);
      for (auto it = handlers_.begin(); it != handlers_.end(); ++it) {
        if (it->token == token.value) {
          removed = std::move(it->handler);
          handlers_.erase(it);
          break;
        }
      }
    }
    return S_OK;
  }

  template <class... Args>
  HRESULT InvokeAll(const Args&... args) {
    std::vector<Entry> snapshot;
    try {
      std::lock_guard lock(mutex_);
      snapshot = handlers_;
    } catch (...) {
      return HResultFromCurrentException();
    }
    for (Entry& entry : snapshot) {
      HRESULT hr = entry.handler->Invoke(args...);
      if (SUCCEEDED(hr)) continue;
      if (korvane::winrt::IsDisconnectedHandlerError(hr)) {
        Remove(EventRegistrationToken{entry.token});
        continue;
      }
      return hr;
    }
    return S_OK;
  }

  // Number of handlers registered now.
  std::size_t GetSize() const {
    std::lock_guard lock(mutex_);
    return handlers_.size();
  }

  // Removes every handler.
  void Clear() {
    std::vector<Entry> removed;
    std::lock_guard lock(mutex_);
    removed.swap(handlers_);
  }

 private:
  struct Entry {
    int64_t token;
    ComPtr<Delegate> handler;
  };

  mutable std::mutex mutex_;
  // -- guarded by mutex_
  std::vector<Entry> handlers_;  // in registration order
  int64_t nextToken_ = 1;
};

}  // namespace Microsoft::WRL

using Microsoft::WRL::EventSource;
