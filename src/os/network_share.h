// Connecting a network share with credentials through the system's network
// provider, which takes them as arguments: they never appear in a command
// line or an environment that other processes could read.
//
// Windows: WNetAddConnection2W. A network path connects its "\\server\share"
// without a drive letter; a path on a mapped drive reconnects that drive to
// the share it was mapped to. The connection belongs to the logon session of
// the calling thread's token, so a caller impersonating a user connects it
// for that user.
// Linux has no such provider: a share is a mount, brought in by a program
// (platform/share_connection.h says which), and the call answers
// ERROR_NOT_SUPPORTED.
#pragma once

#include <string>

#include "os/last_error.h"

namespace os {

// ERROR_SUCCESS once connected (also when it already was); ERROR_BAD_NETPATH
// when path is on no share; else the provider's code.
DWORD ConnectNetworkShare(const std::wstring& path, const std::wstring& user,
                          const std::wstring& password);

}  // namespace os
