#include "platform/win32/WildcardMatch.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace korvane::win32 {
namespace {

// Decodes UTF-8; a byte that does not start a well-formed sequence stands for itself, mapped
// into the lone-surrogate range that no well-formed sequence decodes to.
std::vector<char32_t> DecodeUtf8(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  for (size_t i = 0; i < size;) {
    const unsigned char lead = bytes[i];
    size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, value = lead & 0x07, minimum = 0x10000;
    }
    bool valid = length != 0 && i + length <= size;
    for (size_t k = 1; valid && k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) valid = false;
      else value = (value << 6) | (bytes[i + k] & 0x3F);
    }
    valid = valid && value >= minimum && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
    if (valid) {
      out.push_back(value);
      i += length;
    } else {
      out.push_back(0xDC00 | lead);
      ++i;
    }
  }
  return out;
}

enum class Kind : uint8_t { kLiteral, kStar, kDosStar, kDosQm, kDosDot };

struct Element {
  Kind kind;
  char32_t literal;
};

std::vector<Element> RewritePattern(const std::vector<char32_t>& pattern) {
  if (pattern == std::vector<char32_t>{U'*', U'.', U'*'}) return {{Kind::kStar, 0}};
  std::vector<Element> out;
  out.reserve(pattern.size());
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char32_t c = pattern[i];
    const char32_t next = i + 1 < pattern.size() ? pattern[i + 1] : 0;
    if (c == U'?') {
      out.push_back({Kind::kDosQm, 0});
    } else if (c == U'*') {
      out.push_back({next == U'.' ? Kind::kDosStar : Kind::kStar, 0});
    } else if (c == U'.' && (next == U'?' || next == U'*' || i + 1 == pattern.size())) {
      out.push_back({Kind::kDosDot, 0});
    } else {
      out.push_back({Kind::kLiteral, c});
    }
  }
  return out;
}

char32_t FoldAscii(char32_t c) { return c >= U'a' && c <= U'z' ? c - (U'a' - U'A') : c; }

// Matches by dynamic programming over (pattern position, name position), one row of name
// positions per pattern element from the last element back, so that runs of stars cost
// O(pattern × name) time, O(name) memory and no recursion whatever the input.
bool Match(const std::vector<Element>& pattern, const std::vector<char32_t>& name, bool caseSensitive) {
  const size_t end = name.size();
  size_t lastDot = SIZE_MAX;
  for (size_t i = 0; i < end; ++i)
    if (name[i] == U'.') lastDot = i;
  auto same = [caseSensitive](char32_t a, char32_t b) {
    return caseSensitive ? a == b : FoldAscii(a) == FoldAscii(b);
  };

  // after[n]: the elements behind the current one match name[n..end).
  std::vector<uint8_t> after(end + 1, 0), here(end + 1, 0);
  after[end] = 1;
  for (size_t p = pattern.size(); p-- > 0;) {
    const Element& e = pattern[p];
    for (size_t n = end + 1; n-- > 0;) {
      const bool more = n < end;
      switch (e.kind) {
        case Kind::kLiteral:
          here[n] = more && same(e.literal, name[n]) && after[n + 1];
          break;
        case Kind::kStar:
          here[n] = after[n] || (more && here[n + 1]);
          break;
        case Kind::kDosStar:
          here[n] = after[n] || (more && n != lastDot && here[n + 1]);
          break;
        case Kind::kDosQm:
          here[n] = (!more || name[n] == U'.') ? after[n] : after[n + 1];
          break;
        case Kind::kDosDot:
          here[n] = !more ? after[n] : (name[n] == U'.' && after[n + 1]);
          break;
      }
    }
    std::swap(after, here);
  }
  return after[0] != 0;
}

}  // namespace

bool MatchFileName(std::string_view pattern, std::string_view name, bool caseSensitive) {
  return Match(RewritePattern(DecodeUtf8(pattern)), DecodeUtf8(name), caseSensitive);
}

}  // namespace korvane::win32
