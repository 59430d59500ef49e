#include "os/win32/long_path.h"

#include <vector>

namespace os {

std::wstring SystemPath(const std::wstring& path) {
  std::wstring p = path;
  for (wchar_t& ch : p) {
    if (ch == L'/') ch = L'\\';
  }
  if (p.rfind(L"\\\\?\\", 0) == 0) return p;  // already in that form

  std::wstring prefix;
  std::size_t rest = 0;
  const bool unc = p.rfind(L"\\\\", 0) == 0;
  if (unc) {
    prefix = L"\\\\?\\UNC\\";
    rest = 2;
  } else if (p.size() >= 2 && p[1] == L':') {
    prefix = L"\\\\?\\" + p.substr(0, 2) + L"\\";
    rest = 2;
  } else {
    return p;  // relative: the system resolves it against the working directory
  }

  std::vector<std::wstring> levels;
  std::size_t i = rest;
  while (i <= p.size()) {
    std::size_t j = p.find(L'\\', i);
    if (j == std::wstring::npos) j = p.size();
    std::wstring level = p.substr(i, j - i);
    if (level == L"..") {
      // Never above the drive, or above the server and share of a UNC path.
      if (levels.size() > (unc ? 2u : 0u)) levels.pop_back();
    } else if (!level.empty() && level != L".") {
      levels.push_back(std::move(level));
    }
    i = j + 1;
  }
  std::wstring out = prefix;
  for (std::size_t k = 0; k < levels.size(); ++k) {
    if (k) out += L'\\';
    out += levels[k];
  }
  return out;
}

}  // namespace os
