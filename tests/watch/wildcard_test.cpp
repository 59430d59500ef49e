#include "watch/wildcard.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Wildcard, StarsAndQuestionMarksMatchTheWholeName) {
  EXPECT_TRUE(PathMatchSpec(L"report.txt", L"*.txt"));
  EXPECT_FALSE(PathMatchSpec(L"report.txt.bak", L"*.txt"));
  EXPECT_TRUE(PathMatchSpec(L"report.txt", L"*"));
  EXPECT_TRUE(PathMatchSpec(L"", L"*"));
  EXPECT_FALSE(PathMatchSpec(L"", L"?"));
  EXPECT_TRUE(PathMatchSpec(L"a.b", L"?.?"));
  EXPECT_FALSE(PathMatchSpec(L"ab.b", L"?.?"));
  EXPECT_TRUE(PathMatchSpec(L"abc", L"a*c"));
  EXPECT_TRUE(PathMatchSpec(L"ac", L"a*c"));
  EXPECT_TRUE(PathMatchSpec(L"abcbc", L"*bc"));  // the first "bc" must not end the try
  EXPECT_TRUE(PathMatchSpec(L"mississippi", L"m*iss*ppi"));
  EXPECT_FALSE(PathMatchSpec(L"mississippi", L"m*iss*ppx"));
  EXPECT_TRUE(PathMatchSpec(L"x", L"**?**"));
  EXPECT_FALSE(PathMatchSpec(L"abc", L"ab"));
  EXPECT_FALSE(PathMatchSpec(L"ab", L"abc"));
  // A dot is an ordinary character: "*.*" wants one.
  EXPECT_FALSE(PathMatchSpec(L"README", L"*.*"));
  EXPECT_TRUE(PathMatchSpec(L".bashrc", L"*.*"));
}

TEST(Wildcard, LetterCaseIsIgnoredBeyondAscii) {
  EXPECT_TRUE(PathMatchSpec(L"PHOTO.JPG", L"*.jpg"));
  EXPECT_TRUE(PathMatchSpec(L"\u00C4RGER.txt", L"\u00E4rger.*"));       // Ä / ä
  EXPECT_TRUE(PathMatchSpec(L"\u0416\u0423\u041A", L"\u0436?\u043A"));  // ЖУК / ж?к
  EXPECT_FALSE(PathMatchSpec(L"a.txt", L"b.txt"));
  EXPECT_TRUE(EqualsIgnoreCase(L"/Data/\u00C9t\u00E9", L"/data/\u00E9T\u00C9"));
  EXPECT_FALSE(EqualsIgnoreCase(L"/data", L"/data/"));
}

TEST(Wildcard, ManyStarsOnALongNameDoNotBacktrackExponentially) {
  // A backtracking matcher would not finish before the test's time-out.
  const std::wstring name(5000, L'a');
  EXPECT_FALSE(PathMatchSpec(name, L"*a*a*a*a*a*a*a*a*b"));
  EXPECT_TRUE(PathMatchSpec(name + L"b", L"*a*a*a*a*a*a*a*a*b"));
}

}  // namespace
