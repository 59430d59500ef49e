#include "os/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, ValidUtf8BecomesCodePoints) {
  const std::string bytes = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  EXPECT_EQ(os::FromUtf8(bytes), std::wstring(L"a\u00E9\u20AC\U0001F600"));
  EXPECT_EQ(os::ToUtf8(os::FromUtf8(bytes)), bytes);
}

TEST(Text, InvalidBytesRoundTripExactly) {
  const std::string cases[] = {
      std::string("\xFF\xFE name", 7),      // bytes that never occur in UTF-8
      std::string("trunc\xE2\x82", 7),      // sequence cut short at the end
      std::string("\xC0\xAF", 2),           // overlong "/" must not become a separator
      std::string("\xED\xA0\x80", 3),       // an encoded surrogate
      std::string("\xF4\x90\x80\x80", 4),   // past U+10FFFF
      std::string("\x80\x80 mid \xC3", 8),  // stray continuation bytes
      std::string("nul\0inside", 10),
  };
  for (const auto& bytes : cases) {
    const std::wstring text = os::FromUtf8(bytes);
    EXPECT_EQ(os::ToUtf8(text), bytes);
  }
  // The overlong slash stays two escaped characters, never a '/'.
  EXPECT_EQ(os::FromUtf8(std::string("\xC0\xAF", 2)), std::wstring(L"\xDCC0\xDCAF"));
}

TEST(Text, EveryByteValueSurvives) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(os::ToUtf8(os::FromUtf8(all)), all);
}

}  // namespace
