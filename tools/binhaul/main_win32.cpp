// Binhaul.exe: moves one file into the Recycle Bin of the user it runs as.
//
//   Binhaul.exe /path FILE [blank arguments...]
//
// The shell's own file operation does the work, with undo allowed, which is
// what sends an item to the Recycle Bin rather than deleting it. Exit status 0
// when the file is in the bin; otherwise a single line on standard error and
// a non-zero status, so that the caller can delete the file for good instead.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace {

constexpr int kTrashFailed = 1;
constexpr int kBadUsage = 2;

bool IsBlank(std::wstring_view text) {
  return text.find_first_not_of(L" \t\r\n") == std::wstring_view::npos;
}

int Usage() {
  std::fputs("Binhaul: usage: Binhaul.exe /path FILE\n", stderr);
  return kBadUsage;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3 || std::wstring_view(argv[1]) != L"/path" || argv[2][0] == L'\0') return Usage();
  for (int i = 3; i < argc; ++i) {
    if (!IsBlank(argv[i])) return Usage();
  }
  // The shell takes a list of names, each ended by a NUL, the list by another.
  std::wstring from(argv[2]);
  from.push_back(L'\0');

  SHFILEOPSTRUCTW operation{};
  operation.wFunc = FO_DELETE;
  operation.pFrom = from.c_str();
  operation.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
  const int result = SHFileOperationW(&operation);
  if (result != 0 || operation.fAnyOperationsAborted) {
    std::fprintf(stderr, "Binhaul: cannot move %ls to the Recycle Bin: error %d\n", argv[2],
                 result);
    return kTrashFailed;
  }
  return 0;
}
