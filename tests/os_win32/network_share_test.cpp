// Connecting a network share through the network provider, against the real
// WNet calls: what counts as a share, and that the provider's own refusal
// comes back rather than a made-up success.
#include "os/network_share.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

TEST(NetworkShare, PathsOnNoShareAreRefusedBeforeTheProvider) {
  wchar_t windows[MAX_PATH];
  ASSERT_GT(::GetWindowsDirectoryW(windows, MAX_PATH), 0u);
  for (const std::wstring path : {std::wstring(windows), std::wstring(L"\\\\server"),
                                  std::wstring(L"\\\\server\\"), std::wstring(L"relative\\dir")}) {
    EXPECT_EQ(os::ConnectNetworkShare(path, L"user", L"secret"), ERROR_BAD_NETPATH)
        << testing::PrintToString(path);
  }
}

TEST(NetworkShare, AnUnreachableShareGivesTheProvidersRefusal) {
  const DWORD code =
      os::ConnectNetworkShare(L"\\\\strandel-test.invalid\\share\\dir", L"user", L"secret");
  EXPECT_NE(code, static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_NE(code, static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

}  // namespace
