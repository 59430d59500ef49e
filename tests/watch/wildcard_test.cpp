// The wildcard matcher behind the task filters.
#include "watch/wildcard.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Wildcard, MatchesTheWholeNameIgnoringCase) {
  struct Case {
    const wchar_t* name;
    const wchar_t* pattern;
    bool matches;
  };
  const Case cases[] = {
      {L"report.txt", L"*.txt", true},
      {L"report.txt.bak", L"*.txt", false},
      {L"", L"*", true},
      {L"ab.b", L"?.?", false},
      {L"ac", L"a*c", true},
      {L"abcbc", L"*bc", true},  // the first "bc" must not end the try
      {L"mississippi", L"m*iss*ppi", true},
      {L"x", L"**?**", true},
      {L"abc", L"ab", false},
      {L"ab", L"abc", false},
      {L"README", L"*.*", false},  // a dot is an ordinary character
      {L"PHOTO.JPG", L"*.jpg", true},
      {L"\u0416\u0423\u041A", L"\u0436?\u043A", true},  // ЖУК / ж?к
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PathMatchSpec(c.name, c.pattern), c.matches) << c.name << " ~ " << c.pattern;
  }
}

TEST(Wildcard, ManyStarsOnALongNameDoNotBacktrackExponentially) {
  // A backtracking matcher would not finish before the test's time-out.
  const std::wstring name(5000, L'a');
  EXPECT_FALSE(PathMatchSpec(name, L"*a*a*a*a*a*a*a*a*b"));
  EXPECT_TRUE(PathMatchSpec(name + L"b", L"*a*a*a*a*a*a*a*a*b"));
}

}  // namespace
