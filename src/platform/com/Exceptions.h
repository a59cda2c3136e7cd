// The platform exceptions. Every failure inside the component travels as a Platform::Exception
// carrying an HRESULT; the codes with a type of their own are listed below, any other code is a
// COMException. The component's consistency checks throw the code 668 unchanged, which is not a
// failure HRESULT: it still travels as an exception and is returned unchanged at the boundary.
#pragma once

#include "platform/com/Hresult.h"

#include <exception>
#include <string>

namespace Platform {

class Exception : public std::exception {
 public:
  explicit Exception(HRESULT hr, std::string message = {});
  HRESULT HResult() const noexcept { return hr_; }
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  HRESULT hr_;
  std::string message_;
};

#define KORVANE_EXCEPTION_TYPE(Name, Code)                                                  \
  class Name : public Exception {                                                           \
   public:                                                                                  \
    explicit Name(std::string message = {}) : Exception(Code, std::move(message)) {}        \
  };

KORVANE_EXCEPTION_TYPE(OutOfBoundsException, E_BOUNDS)
KORVANE_EXCEPTION_TYPE(ChangedStateException, E_CHANGED_STATE)
KORVANE_EXCEPTION_TYPE(ObjectDisposedException, RO_E_CLOSED)
KORVANE_EXCEPTION_TYPE(NotImplementedException, E_NOTIMPL)
KORVANE_EXCEPTION_TYPE(InvalidCastException, E_NOINTERFACE)
KORVANE_EXCEPTION_TYPE(NullReferenceException, E_POINTER)
KORVANE_EXCEPTION_TYPE(OperationCanceledException, E_ABORT)
KORVANE_EXCEPTION_TYPE(FailureException, E_FAIL)
KORVANE_EXCEPTION_TYPE(DisconnectedException, RPC_E_DISCONNECTED)
KORVANE_EXCEPTION_TYPE(WrongThreadException, RPC_E_WRONG_THREAD)
KORVANE_EXCEPTION_TYPE(ClassNotRegisteredException, REGDB_E_CLASSNOTREG)
KORVANE_EXCEPTION_TYPE(AccessDeniedException, E_ACCESSDENIED)
KORVANE_EXCEPTION_TYPE(OutOfMemoryException, E_OUTOFMEMORY)
KORVANE_EXCEPTION_TYPE(InvalidArgumentException, E_INVALIDARG)
#undef KORVANE_EXCEPTION_TYPE

// Any other code, 668 included.
class COMException : public Exception {
 public:
  explicit COMException(HRESULT hr, std::string message = {}) : Exception(hr, std::move(message)) {}
};

}  // namespace Platform

// Throws the exception type that belongs to `hr` (any code, failure or not).
[[noreturn]] void ThrowHResult(HRESULT hr, std::string message = {});

// Throws for a failure HRESULT; success codes (S_FALSE included) pass.
inline void ThrowIfFailed(HRESULT hr) {
  if (FAILED(hr)) ThrowHResult(hr);
}

// The component's consistency-check failure: 668, with a text naming the bad value.
[[noreturn]] inline void ThrowNotReady(std::string message = {}) {
  ThrowHResult(kNotReady, std::move(message));
}

// The HRESULT an exception of any kind stands for: its own code, E_OUTOFMEMORY for a failed
// allocation, E_FAIL for anything else.
HRESULT HResultFromException(std::exception_ptr error) noexcept;
HRESULT HResultFromCurrentException() noexcept;
