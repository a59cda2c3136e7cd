#include "platform/com/HString.h"

#include <atomic>
#include <cstring>
#include <new>
#include <utility>

struct HSTRING__ {
  std::atomic<uint32_t> refs{1};
  uint32_t length = 0;
  char text[1];  // length + 1 bytes, NUL-terminated
};

HRESULT WindowsCreateString(const char* text, uint32_t length, HSTRING* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (text == nullptr && length != 0) return E_INVALIDARG;
  if (length == 0) return S_OK;
  void* memory = ::operator new(sizeof(HSTRING__) + length, std::nothrow);
  if (memory == nullptr) return E_OUTOFMEMORY;
  auto* s = new (memory) HSTRING__;
  s->length = length;
  std::memcpy(s->text, text, length);
  s->text[length] = '\0';
  *out = s;
  return S_OK;
}

HRESULT WindowsDuplicateString(HSTRING string, HSTRING* out) {
  if (out == nullptr) return E_POINTER;
  if (string != nullptr) string->refs.fetch_add(1, std::memory_order_relaxed);
  *out = string;
  return S_OK;
}

HRESULT WindowsDeleteString(HSTRING string) {
  if (string != nullptr && string->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    string->~HSTRING__();
    ::operator delete(string);
  }
  return S_OK;
}

const char* WindowsGetStringRawBuffer(HSTRING string, uint32_t* length) {
  if (length != nullptr) *length = string == nullptr ? 0 : string->length;
  return string == nullptr ? "" : string->text;
}

uint32_t WindowsGetStringLen(HSTRING string) { return string == nullptr ? 0 : string->length; }

namespace Platform {

String::String(std::string_view text) {
  if (FAILED(WindowsCreateString(text.data(), static_cast<uint32_t>(text.size()), &handle_)))
    throw std::bad_alloc();
}

String::String(const String& other) { WindowsDuplicateString(other.handle_, &handle_); }

String::String(String&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

String& String::operator=(String other) noexcept {
  std::swap(handle_, other.handle_);
  return *this;
}

String::~String() { WindowsDeleteString(handle_); }

String String::Attach(HSTRING handle) {
  String s;
  s.handle_ = handle;
  return s;
}

HSTRING String::Detach() { return std::exchange(handle_, nullptr); }

std::string_view String::View() const {
  uint32_t length = 0;
  const char* data = WindowsGetStringRawBuffer(handle_, &length);
  return std::string_view(data, length);
}

const char* String::Data() const { return WindowsGetStringRawBuffer(handle_, nullptr); }

uint32_t String::Length() const { return WindowsGetStringLen(handle_); }

String operator+(const String& a, std::string_view b) {
  std::string joined(a.View());
  joined.append(b);
  return String(joined);
}

}  // namespace Platform
