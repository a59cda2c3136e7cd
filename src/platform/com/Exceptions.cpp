#include "platform/com/Exceptions.h"

#include "platform/com/Guid.h"

#include <cstdio>
#include <new>

namespace Platform {

namespace {
std::string DefaultMessage(HRESULT hr) {
  char text[32];
  std::snprintf(text, sizeof text, "HRESULT 0x%08X", static_cast<unsigned>(hr));
  return text;
}
}  // namespace

Exception::Exception(HRESULT hr, std::string message)
    : hr_(hr), message_(message.empty() ? DefaultMessage(hr) : DefaultMessage(hr) + ": " + message) {}

}  // namespace Platform

void ThrowHResult(HRESULT hr, std::string message) {
  using namespace Platform;
  switch (static_cast<uint32_t>(hr)) {
    case 0x8000000Bu: throw OutOfBoundsException(std::move(message));
    case 0x8000000Cu: throw ChangedStateException(std::move(message));
    case 0x80000013u: throw ObjectDisposedException(std::move(message));
    case 0x80004001u: throw NotImplementedException(std::move(message));
    case 0x80004002u: throw InvalidCastException(std::move(message));
    case 0x80004003u: throw NullReferenceException(std::move(message));
    case 0x80004004u: throw OperationCanceledException(std::move(message));
    case 0x80004005u: throw FailureException(std::move(message));
    case 0x80010108u: throw DisconnectedException(std::move(message));
    case 0x8001010Eu: throw WrongThreadException(std::move(message));
    case 0x80040154u: throw ClassNotRegisteredException(std::move(message));
    case 0x80070005u: throw AccessDeniedException(std::move(message));
    case 0x8007000Eu: throw OutOfMemoryException(std::move(message));
    case 0x80070057u: throw InvalidArgumentException(std::move(message));
    default: throw COMException(hr, std::move(message));
  }
}

HRESULT HResultFromException(std::exception_ptr error) noexcept {
  if (!error) return S_OK;
  try {
    std::rethrow_exception(error);
  } catch (const Platform::Exception& e) {
    return e.HResult();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT HResultFromCurrentException() noexcept { return HResultFromException(std::current_exception()); }
