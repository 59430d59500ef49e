// The check that keeps an operation below a task root (confined_roots.h) from
// following a link: each level between the root and the path's last name is
// opened as itself and must be a plain directory, not a reparse point that
// names another place (a symbolic link or a junction). The levels stay open,
// without delete sharing, while the holder lives, so none can be swapped for
// a link between the check and the operation. A thread's ParentDirectoryCache
// remembers which directory a checked path led to: the next operation in the
// same place opens that one level, and walks again only if it is another.
// Thread-safe: the set of roots has its own lock.
#pragma once

#include <windows.h>

#include <string>

#include "os/win32/unique_fd.h"

namespace os {

// The levels one operation holds, released when it goes.
class ConfinedHold {
 public:
  void Own(UniqueFd levels) { levels_ = std::move(levels); }
  void Release() { levels_.Reset(); }
  // The deepest level held, or null (nothing below a root to check).
  HANDLE directory() const { return levels_.get(); }
  // The path is a registered root itself, used as configured (links and all).
  bool is_root = false;
  // The path lies at or below a registered root.
  bool confined = false;

 private:
  UniqueFd levels_;
};

// ERROR_SUCCESS when path may be acted on; ERROR_CANT_RESOLVE_FILENAME when a
// link or a ".." stands between its root and its last name; otherwise the
// error of opening a level (ERROR_PATH_NOT_FOUND when one is missing or is no
// directory). With include_last the last name is checked and held as a level
// too (a directory about to be listed). A path outside every root passes with
// nothing held.
DWORD ConfinePath(const std::wstring& path, bool include_last, ConfinedHold* hold);

// A reparse point with this tag stands for another name (symbolic link,
// junction), rather than for data that a filter driver supplies.
inline bool IsLinkTag(DWORD tag) { return IsReparseTagNameSurrogate(tag); }

}  // namespace os
