// The Windows side of the test helpers: scratch directories under the
// user's temporary folder.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <vector>

#include "test_support.h"

namespace testing_support {

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  wchar_t base[MAX_PATH + 1] = {};
  if (GetTempPathW(MAX_PATH + 1, base) == 0) throw std::runtime_error("GetTempPathW failed");
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::filesystem::path candidate =
        std::filesystem::path(base) / (L"strandel-test-" + std::to_wstring(GetCurrentProcessId()) +
                                       L"-" + std::to_wstring(counter++));
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = candidate;
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw std::runtime_error("CreateDirectoryW failed");
}

// Read as a polling reader should: with every sharing right, so that the
// module can still replace or rename the file meanwhile.
std::string ReadFile(const std::filesystem::path& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string content;
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) content.append(buffer, got);
  CloseHandle(file);
  return content;
}

std::string TreeFingerprint(const std::filesystem::path& dir) {
  std::vector<std::string> lines;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(entry.path().c_str(), GetFileExInfoStandard, &data);
    std::string line = entry.path().string() + " " + std::to_string(data.dwFileAttributes) + " " +
                       std::to_string(data.ftLastWriteTime.dwHighDateTime) + "." +
                       std::to_string(data.ftLastWriteTime.dwLowDateTime);
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) line += " " + ReadFile(entry.path());
    lines.push_back(std::move(line));
  }
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const auto& line : lines) all += line + "\n";
  return all;
}

}  // namespace testing_support
