#include "os/text.h"

#include <locale>
#include <stdexcept>

namespace os {
namespace {

// The C.UTF-8 locale object folds beyond ASCII without touching the process's
// global locale; where it is missing, the classic locale still folds ASCII.
const std::ctype<wchar_t>& CaseFacet() {
  static const std::locale locale = [] {
    try {
      return std::locale("C.UTF-8");
    } catch (const std::runtime_error&) {
      return std::locale::classic();
    }
  }();
  return std::use_facet<std::ctype<wchar_t>>(locale);
}

constexpr wchar_t kEscapeBase = 0xDC00;

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence at s (0 when it is not one). Overlong
// forms, surrogates and values past U+10FFFF are invalid: they must escape
// byte by byte so that the original bytes come back.
std::size_t ValidSequence(const unsigned char* s, std::size_t left, char32_t* cp) {
  const unsigned char b0 = s[0];
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  std::size_t len;
  char32_t value;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, value = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, value = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, value = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (left < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    if (!IsContinuation(s[i])) return 0;
    value = (value << 6) | (s[i] & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *cp = value;
  return len;
}

// Encodes one code point into out (room for 4 bytes); returns the byte count.
// U+DC80..U+DCFF give back the single raw byte they stand for.
std::size_t EncodeUtf8(wchar_t ch, char* out) {
  const auto cp = static_cast<char32_t>(ch);
  if (cp >= 0xDC80 && cp <= 0xDCFF) {
    out[0] = static_cast<char>(cp - kEscapeBase);
    return 1;
  }
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  if (cp <= 0x10FFFF) {
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
  }
  out[0] = '?';  // not a code point; only a corrupt wchar_t can get here
  return 1;
}

}  // namespace

std::wstring FromUtf8(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  while (i < bytes.size()) {
    char32_t cp;
    const std::size_t len = ValidSequence(s + i, bytes.size() - i, &cp);
    if (len == 0) {
      out.push_back(static_cast<wchar_t>(kEscapeBase + s[i]));
      ++i;
    } else {
      out.push_back(static_cast<wchar_t>(cp));
      i += len;
    }
  }
  return out;
}


std::string ToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  char buf[4];
  for (wchar_t ch : text) out.append(buf, EncodeUtf8(ch, buf));
  return out;
}

wchar_t LowerCase(wchar_t ch) { return CaseFacet().tolower(ch); }

}  // namespace os
