#include <gtest/gtest.h>

#include "entry/addin_app.h"

namespace {

TEST(DataDirectory, SeparatorIsAppendedOnlyWhenMissing) {
  EXPECT_EQ(NormalizeDataDirectory(nullptr), L"");
  EXPECT_EQ(NormalizeDataDirectory(L""), L"");
  EXPECT_EQ(NormalizeDataDirectory(L"/var/lib/strandel"), L"/var/lib/strandel/");
  EXPECT_EQ(NormalizeDataDirectory(L"/var/lib/strandel/"), L"/var/lib/strandel/");
  EXPECT_EQ(NormalizeDataDirectory(L"C:\\data\\"), L"C:\\data\\");
  EXPECT_EQ(NormalizeDataDirectory(L"relative"), L"relative/");
}

}  // namespace
