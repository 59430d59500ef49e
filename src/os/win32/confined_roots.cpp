#include "os/confined_roots.h"

#include <windows.h>

#include <map>
#include <mutex>
#include <vector>

#include "os/parent_directory_cache.h"
#include "os/text.h"
#include "os/win32/confined_roots_check.h"
#include "os/win32/long_path.h"

namespace os {
namespace {

// Root (long form, upper case, for matching) -> how many tasks use it, and
// the long form as configured. Never destroyed: task maps release their roots
// from static destructors, in whatever order those run.
struct Root {
  std::wstring path;
  int count = 0;
};
struct Roots {
  std::mutex mutex;
  std::map<std::wstring, Root> by_key;  // guarded by mutex
};

Roots& TheRoots() {
  static Roots* const roots = new Roots;
  return *roots;
}

std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

// Names compare without regard to case, as the file systems here do.
std::wstring Key(std::wstring path) {
  if (!path.empty()) {
    ::CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
  }
  return path;
}

// The long form of path with its separators unified but "." and ".." kept:
// they are judged below a root, not resolved away.
std::wstring Lexical(const std::wstring& raw) {
  std::wstring p = raw;
  for (wchar_t& ch : p) {
    if (ch == L'/') ch = L'\\';
  }
  if (p.rfind(L"\\\\?\\", 0) == 0) return p;
  if (p.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + p.substr(2);
  if (p.size() >= 2 && p[1] == L':') return L"\\\\?\\" + p;
  return p;
}

// The root holding path (the longest), and the levels below it.
bool FindRoot(const std::wstring& path, std::wstring* root, std::vector<std::wstring>* levels) {
  const std::wstring lexical = WithoutTrailingSeparators(Lexical(path));
  const std::wstring key = Key(lexical);
  Roots& roots = TheRoots();
  std::lock_guard<std::mutex> lock(roots.mutex);
  const Root* best = nullptr;
  std::size_t best_size = 0;
  for (const auto& [candidate, entry] : roots.by_key) {
    if (key.compare(0, candidate.size(), candidate) != 0) continue;
    if (key.size() > candidate.size() && key[candidate.size()] != L'\\') continue;
    if (best == nullptr || candidate.size() > best_size) {
      best = &entry;
      best_size = candidate.size();
    }
  }
  if (best == nullptr) return false;
  *root = best->path;
  levels->clear();
  std::size_t i = best_size;
  while (i < lexical.size()) {
    std::size_t j = lexical.find(L'\\', i);
    if (j == std::wstring::npos) j = lexical.size();
    if (j > i) levels->push_back(lexical.substr(i, j - i));
    i = j + 1;
  }
  return true;
}

// Opens one level as itself. Held with listing access and without delete
// sharing it cannot be renamed or removed meanwhile (an open for attributes
// alone takes no part in sharing, so it would pin nothing). A level that
// somebody holds open for deletion, or that may not be listed, is still
// checked, but not pinned.
HANDLE OpenLevel(const std::wstring& path, bool follow) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE h = ::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                           nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = ::GetLastError();
    if (err != ERROR_SHARING_VIOLATION && err != ERROR_ACCESS_DENIED) return h;
    h = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, flags, nullptr);
  }
  return h;
}

// ERROR_SUCCESS when the level held by h is a plain directory; tells who it is.
DWORD CheckLevel(HANDLE h, uint64_t* volume, uint64_t* index) {
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (!::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info)) {
    return ::GetLastError();
  }
  if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsLinkTag(info.ReparseTag)) {
    return ERROR_CANT_RESOLVE_FILENAME;
  }
  if ((info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_PATH_NOT_FOUND;
  BY_HANDLE_FILE_INFORMATION id;
  if (!::GetFileInformationByHandle(h, &id)) return ::GetLastError();
  *volume = id.dwVolumeSerialNumber;
  *index = (uint64_t{id.nFileIndexHigh} << 32) | id.nFileIndexLow;
  return ERROR_SUCCESS;
}

DWORD MissingAsPath(DWORD code) { return code == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : code; }

}  // namespace

void AddConfinedRoot(const std::wstring& root) {
  if (root.empty()) return;
  const std::wstring path = WithoutTrailingSeparators(SystemPath(root));
  Roots& roots = TheRoots();
  std::lock_guard<std::mutex> lock(roots.mutex);
  Root& entry = roots.by_key[Key(path)];
  entry.path = path;
  ++entry.count;
}

void RemoveConfinedRoot(const std::wstring& root) {
  if (root.empty()) return;
  const std::wstring key = Key(WithoutTrailingSeparators(SystemPath(root)));
  Roots& roots = TheRoots();
  std::lock_guard<std::mutex> lock(roots.mutex);
  const auto it = roots.by_key.find(key);
  if (it != roots.by_key.end() && --it->second.count <= 0) roots.by_key.erase(it);
}

DWORD ConfinePath(const std::wstring& path, bool include_last, ConfinedHold* hold) {
  hold->Release();
  hold->is_root = false;
  hold->confined = false;
  std::wstring root;
  std::vector<std::wstring> levels;
  if (!FindRoot(path, &root, &levels)) return ERROR_SUCCESS;
  hold->confined = true;
  for (const std::wstring& level : levels) {
    if (level == L"..") return ERROR_CANT_RESOLVE_FILENAME;
  }
  // A "." level names the level it stands in.
  std::erase(levels, std::wstring(L"."));
  hold->is_root = levels.empty();
  // Levels to check: those between the root and the last name, and the last
  // one too when asked.
  std::size_t count = levels.size();
  if (!include_last && count > 0) --count;
  std::wstring directory = root;
  for (std::size_t k = 0; k < count; ++k) directory += L'\\' + levels[k];
  if (levels.empty()) return ERROR_SUCCESS;  // the root as configured

  // Only walks below a root are remembered, under keys of their own.
  std::string key = "c";
  key += ToUtf8(Key(directory));
  ParentDirectoryCache* const cache = ParentDirectoryCache::Current();
  if (cache != nullptr) {
    if (auto kept = cache->Find(key)) {
      // The path still leads to the directory checked before: that one level,
      // held, keeps it there. Anything else is walked again.
      UniqueHandle h(OpenLevel(directory, count == 0));
      uint64_t volume = 0;
      uint64_t index = 0;
      if (h.valid() && CheckLevel(h.get(), &volume, &index) == ERROR_SUCCESS &&
          volume == kept->volume() && index == kept->index()) {
        UniqueFd level;
        level.Descend(h.release());
        level.Identify(volume, index);
        hold->Own(std::move(level));
        return ERROR_SUCCESS;
      }
    }
  }

  UniqueFd held;
  uint64_t volume = 0;
  uint64_t index = 0;
  // The root itself may be a link, as the user configured it.
  HANDLE h = OpenLevel(root, true);
  if (h == INVALID_HANDLE_VALUE) return MissingAsPath(::GetLastError());
  held.Descend(h);
  if (count == 0) {
    // Opened through any link it is, the root describes where it leads.
    if (const DWORD err = CheckLevel(h, &volume, &index)) return err;
    held.Identify(volume, index);
  }
  std::wstring walked = root;
  for (std::size_t k = 0; k < count; ++k) {
    walked += L'\\' + levels[k];
    h = OpenLevel(walked, false);
    if (h == INVALID_HANDLE_VALUE) return MissingAsPath(::GetLastError());
    held.Descend(h);
    if (const DWORD err = CheckLevel(h, &volume, &index)) return err;
    held.Identify(volume, index);
  }
  if (cache != nullptr) cache->Keep(key, UniqueFd::Identity(held.volume(), held.index()));
  hold->Own(std::move(held));
  return ERROR_SUCCESS;
}

}  // namespace os
