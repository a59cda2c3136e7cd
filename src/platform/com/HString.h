// Runtime strings. HSTRING is an immutable, reference-counted UTF-8 string; the null HSTRING
// is the empty string. Platform::String is the value-type wrapper the component uses.
#pragma once

#include "platform/com/Hresult.h"

#include <cstdint>
#include <string>
#include <string_view>

struct HSTRING__;
using HSTRING = HSTRING__*;

// `length` counts bytes. Fails with E_INVALIDARG for a null `text` with a non-zero length and
// E_POINTER for a null `out`.
HRESULT WindowsCreateString(const char* text, uint32_t length, HSTRING* out);
HRESULT WindowsDuplicateString(HSTRING string, HSTRING* out);
HRESULT WindowsDeleteString(HSTRING string);
// Never null: the empty string for a null HSTRING. `length` (optional) receives the byte count.
const char* WindowsGetStringRawBuffer(HSTRING string, uint32_t* length);
uint32_t WindowsGetStringLen(HSTRING string);
namespace Platform {

class String {
 public:
  String() = default;
  String(std::string_view text);
  String(const char* text) : String(std::string_view(text == nullptr ? "" : text)) {}
  String(const std::string& text) : String(std::string_view(text)) {}
  String(const String& other);
  String(String&& other) noexcept;
  String& operator=(String other) noexcept;
  ~String();

  // Takes over `handle` without adding a reference.
  static String Attach(HSTRING handle);
  // A new HSTRING reference for an out-parameter; the caller owns it.
  HSTRING Detach();
  HSTRING Get() const { return handle_; }

  std::string_view View() const;
  std::string Str() const { return std::string(View()); }
  const char* Data() const;
  uint32_t Length() const;
  bool IsEmpty() const { return Length() == 0; }

  friend String operator+(const String& a, std::string_view b);
  friend bool operator==(const String& a, const String& b) { return a.View() == b.View(); }

 private:
  HSTRING handle_ = nullptr;
};

}  // namespace Platform
