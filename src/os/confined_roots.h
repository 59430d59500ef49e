// The task roots below which no operation follows a symbolic link.
//
// The module often runs as root over folders that other users own, so every
// name under a source or destination root is hostile: a link planted on the
// way must never lead an operation out of the tree. A root itself, as the
// user configured it, may be or contain a link.
//
// Thread-safe: the set of roots has its own lock.
#pragma once

#include <string>

namespace os {

// Roots are counted, so two tasks may share one; the task map adds a task's
// two directories when it stores the task and drops them when it erases it.
void AddConfinedRoot(const std::wstring& root);
void RemoveConfinedRoot(const std::wstring& root);

}  // namespace os
