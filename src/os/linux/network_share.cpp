#include "os/network_share.h"

namespace os {

DWORD ConnectNetworkShare(const std::wstring&, const std::wstring&, const std::wstring&) {
  return ERROR_NOT_SUPPORTED;
}

}  // namespace os
