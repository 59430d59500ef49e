#include "watch/echo_maps.h"

#include "os/text.h"

std::wstring JoinWatchPath(const std::wstring& directory, const std::wstring& name) {
  if (!directory.empty() && directory.back() == os::kPathSeparator) return directory + name;
  return directory + os::kPathSeparator + name;
}
