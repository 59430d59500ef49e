#include "watch/path_rules.h"

#include <new>
#include <set>
#include <utility>

#include "os/text.h"
#include "os/volumes.h"
#include "platform/diag_log.h"
#include "watch/wildcard.h"

namespace {

// A separator in the first character never counts, so "/" has depth 0 and
// the leading separator of an absolute path is not a level.
std::size_t Depth(const std::wstring& path) {
  std::size_t depth = 0;
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (path[i] == os::kPathSeparator) ++depth;
  }
  return depth;
}

std::wstring Cut(const std::wstring& path, std::size_t n) {
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (path[i] == os::kPathSeparator && --n == 0) return path.substr(0, i);
  }
  return path;
}

// Letter case is ignored even though Linux names are case-sensitive: this is
// a loop guard, and refusing a task over "/data/A" and "/data/a" is safe while
// missing a loop on a case-insensitive volume (FAT, SMB) is not.
//
// A trailing separator names the same directory as the path without it, and
// the root contains everything: "/data/" and "/data/sub" overlap, as do "/"
// and "/data", or a task would copy a tree into itself.
bool Overlap(std::wstring a, std::wstring b) {
  for (std::wstring* p : {&a, &b}) {
    while (p->size() > 1 && p->back() == os::kPathSeparator) p->pop_back();
    if (*p == std::wstring(1, os::kPathSeparator)) return true;
  }
  const std::size_t depth_a = Depth(a);
  const std::size_t depth_b = Depth(b);
  if (depth_a > depth_b) a = Cut(a, depth_b + 1);
  if (depth_b > depth_a) b = Cut(b, depth_a + 1);
  return EqualsIgnoreCase(a, b);
}

struct LegalityWalk {
  const std::vector<WatchTask>& tasks;
  DWORD excluded_index;
  // The (destination, excluded position) of every call made so far. A call
  // equal to an earlier one explores nothing that one does not, so it adds
  // TRUE (a FALSE ends the whole walk at once). Without this, two tasks that
  // map a destination back and forth (X -> Y beside X <-> Y) recurse until the
  // stack overflows, and a chain of tasks listed in its own order is walked
  // once per subset of its links.
  std::set<std::pair<std::wstring, int>> visited;
};

BOOL CheckLegal(LegalityWalk& walk, const std::wstring& S, std::wstring D, int excluded_pos) {
  if (!walk.visited.emplace(D, excluded_pos).second) return TRUE;
  DebugTraceW(L"[Strandel]IsLegalSyncPath(%ls %ls) In", S.c_str(), D.c_str());
  if (Overlap(S, D)) return FALSE;

  BOOL legal = TRUE;
  for (std::size_t i = 0; i < walk.tasks.size(); ++i) {
    const WatchTask& task = walk.tasks[i];
    const int position = static_cast<int>(i);
    if (task.dwTaskIndex == walk.excluded_index || position == excluded_pos) continue;
    bool moved = false;
    if (Overlap(D, task.strSourceDir)) {
      D = task.strDestDir;
      moved = true;
    } else if (task.bBidirectional && Overlap(D, task.strDestDir)) {
      D = task.strSourceDir;
      moved = true;
    }
    if (moved && legal) legal = CheckLegal(walk, S, D, position);
  }

  DebugTraceW(L"[Strandel]IsLegalSyncPath(%ls %ls) OUT bRet=%d", S.c_str(), D.c_str(), legal);
  return legal;
}

}  // namespace

// By value, as the task operations call it.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
BOOL IsLegalSyncPath(std::wstring S, std::wstring D,
                     const std::vector<WatchTask>& tasks_in_map_order, DWORD excludedIndex,
                     int excludedPos) {
  LegalityWalk walk{tasks_in_map_order, excludedIndex, {}};
  return CheckLegal(walk, S, std::move(D), excludedPos);
}

int SplitFilterString(std::vector<std::wstring>* list, const std::wstring& text, wchar_t separator,
                      BOOL append) {
  if (!append) list->clear();
  if (text.empty()) return static_cast<int>(list->size());
  try {
    std::vector<std::wstring> pieces;
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = start;
      while (end < text.size() && text[end] != separator && text[end] != L'\0') ++end;
      if (end == start) break;
      pieces.emplace_back(text, start, end - start);
      start = end + 1;
    }
    list->reserve(list->size() + pieces.size());
    for (auto& piece : pieces) list->push_back(std::move(piece));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return static_cast<int>(list->size());
}

BOOL MatchIncludeFilter(const std::wstring& name, const std::vector<std::wstring>& patterns) {
  if (patterns.empty() || patterns.front() == L"*.*") return TRUE;
  for (const auto& pattern : patterns) {
    if (PathMatchSpec(name, pattern)) return TRUE;
  }
  return FALSE;
}

BOOL MatchExcludeFilter(const std::wstring& name, const std::vector<std::wstring>& patterns) {
  for (const auto& pattern : patterns) {
    if (PathMatchSpec(name, pattern)) return TRUE;
  }
  return FALSE;
}

std::wstring GetFileSystem(const std::wstring& path) {
  const auto mount = os::MountOf(path);
  const std::string fs_type = mount ? mount->fs_type : std::string();
  std::wstring name = os::FileSystemNameOfType(fs_type);
  if (!name.empty()) return name;

  name = L"UNKNOW";
  if (!path.empty()) name += path.front();
  const std::wstring found = os::FromUtf8(fs_type);
  const std::wstring volume = mount ? mount->mount_point : std::wstring();
  DebugTraceW(
      L"[Strandel]%d: GetFileSystem failed , unknow filesystem! szFileSystemNameBuffer=%ls "
      L"strDirPathName=%ls strVolume=%ls",
      1419, found.c_str(), path.c_str(), volume.c_str());
  return name;
}

DWORD IsDriveLetterPresent(const std::wstring& path) {
  const std::wstring drive = os::DriveOf(path);
  return !drive.empty() && os::IsDrivePresent(drive) ? 1 : 0;
}
