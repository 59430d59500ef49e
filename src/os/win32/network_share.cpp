#include "os/network_share.h"

#include <windows.h>
#include <winnetwk.h>

#include <vector>

#include "os/volumes.h"

namespace os {
namespace {

// "\\server\share" of "\\server\share\dir\..."; empty without a share name.
std::wstring ShareOfUncPath(const std::wstring& path) {
  const auto server_end = path.find(L'\\', 2);
  if (server_end == std::wstring::npos || server_end + 1 == path.size()) return {};
  return path.substr(0, path.find(L'\\', server_end + 1));
}

// The share a mapped drive ("Z:") stands for, also while it is disconnected.
std::wstring ShareOfDrive(const std::wstring& drive) {
  std::vector<wchar_t> remote(MAX_PATH + 1);
  DWORD size = static_cast<DWORD>(remote.size());
  DWORD code = ::WNetGetConnectionW(drive.c_str(), remote.data(), &size);
  if (code == ERROR_MORE_DATA) {
    remote.resize(size);
    code = ::WNetGetConnectionW(drive.c_str(), remote.data(), &size);
  }
  if (code != NO_ERROR && code != ERROR_CONNECTION_UNAVAIL) return {};
  return remote.data();
}

}  // namespace

DWORD ConnectNetworkShare(const std::wstring& path, const std::wstring& user,
                          const std::wstring& password) {
  std::wstring local;
  std::wstring remote;
  if (IsUncPath(path)) {
    remote = ShareOfUncPath(path);
  } else if (path.size() >= 2 && path[1] == L':') {
    local = path.substr(0, 2);
    remote = ShareOfDrive(local);
  }
  if (remote.empty()) return ERROR_BAD_NETPATH;
  NETRESOURCEW resource{};
  resource.dwType = RESOURCETYPE_DISK;
  resource.lpLocalName = local.empty() ? nullptr : local.data();
  resource.lpRemoteName = remote.data();
  const DWORD code = ::WNetAddConnection2W(&resource, password.c_str(), user.c_str(), 0);
  // The drive is connected already: what the caller wanted.
  return code == ERROR_ALREADY_ASSIGNED ? ERROR_SUCCESS : code;
}

}  // namespace os
