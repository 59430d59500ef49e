// Text at the kernel boundary: file names are bytes, the module speaks
// std::wstring (one code point per wchar_t). The conversion is lossless: a
// byte that is not part of valid UTF-8 becomes U+DC80..U+DCFF and turns back
// into the same byte, so any file name survives the round trip.
// Pure functions; safe on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace os {

// Separator between directory levels in every path the module forms.
inline constexpr wchar_t kPathSeparator = L'/';
inline constexpr char kPathSeparatorA = '/';

std::wstring FromUtf8(std::string_view bytes);
std::string ToUtf8(std::wstring_view text);

// Encodes one code point into out (room for 4 bytes); returns the byte count.
// U+DC80..U+DCFF give back the single raw byte they stand for.
std::size_t EncodeUtf8(wchar_t ch, char* out);

}  // namespace os
