// Lossless conversion between file-name bytes and the module's wide strings.
#include "os/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, ValidUtf8BecomesCodePointsAndAnyOtherBytesRoundTripExactly) {
  const std::string valid = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  EXPECT_EQ(os::FromUtf8(valid), std::wstring(L"a\u00E9\u20AC\U0001F600"));

  std::string every_byte;
  for (int b = 1; b < 256; ++b) every_byte.push_back(static_cast<char>(b));
  const std::string cases[] = {
      valid,
      every_byte,
      std::string("trunc\xE2\x82", 7),     // sequence cut short at the end
      std::string("\xED\xB2\x80", 3),      // U+DC80 encoded: must not pass for an escape
      std::string("\xF4\x90\x80\x80", 4),  // past U+10FFFF
      std::string("\xC0\xAF", 2),          // overlong "/"
      std::string("nul\0inside", 10),
  };
  for (const auto& bytes : cases) EXPECT_EQ(os::ToUtf8(os::FromUtf8(bytes)), bytes);
  // The overlong slash stays two escaped characters, never a separator.
  EXPECT_EQ(os::FromUtf8(std::string("\xC0\xAF", 2)), std::wstring(L"\xDCC0\xDCAF"));
}

}  // namespace
