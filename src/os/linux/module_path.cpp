#include "os/module_path.h"

#include <dlfcn.h>

#include "os/text.h"

namespace os {

std::wstring ModuleDirectory() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&ModuleDirectory), &info) == 0 ||
      info.dli_fname == nullptr) {
    return std::wstring();
  }
  const std::string file = info.dli_fname;
  const auto cut = file.rfind('/');
  if (cut == std::string::npos) return std::wstring();
  return FromUtf8(file.substr(0, cut + 1));
}

}  // namespace os
