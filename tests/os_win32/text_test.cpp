// UTF-8 and the UTF-16 of Windows names, both ways.
#include "os/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Win32Text, NamesSurviveTheRoundTripSurrogatesIncluded) {
  const std::string valid = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  // The emoji takes a surrogate pair in UTF-16.
  EXPECT_EQ(os::FromUtf8(valid), std::wstring(L"a\u00E9\u20AC\xD83D\xDE00"));
  EXPECT_EQ(os::ToUtf8(os::FromUtf8(valid)), valid);

  // NTFS accepts a lone surrogate in a name; it must come back as itself.
  const std::wstring lone[] = {std::wstring(L"x\xD800y"), std::wstring(L"\xDC00"),
                               std::wstring(L"end\xDBFF")};
  for (const auto& name : lone) EXPECT_EQ(os::FromUtf8(os::ToUtf8(name)), name);
  EXPECT_EQ(os::ToUtf8(std::wstring(L"\xD800")), "\xED\xA0\x80");

  // Bytes no Windows name produces stand out instead of vanishing.
  EXPECT_EQ(os::FromUtf8("a\xFF" "b"), std::wstring(L"a\xFFFD" L"b"));
  EXPECT_EQ(os::FromUtf8("\xC0\xAF"), std::wstring(L"\xFFFD\xFFFD"));  // overlong "/"
  EXPECT_EQ(os::FromUtf8("cut\xE2\x82"), std::wstring(L"cut\xFFFD\xFFFD"));
  EXPECT_EQ(os::FromUtf8(std::string("nul\0in", 6)), std::wstring(L"nul\0in", 6));
}

}  // namespace
