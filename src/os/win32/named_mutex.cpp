#include "os/named_mutex.h"

#include <windows.h>

#include <atomic>
#include <map>
#include <mutex>

#include "os/last_error.h"
#include "os/text.h"
#include "os/win32/long_path.h"
#include "os/win32/private_security.h"

// Windows: a named kernel mutex excludes the threads of this process and the
// processes of this logon session (re-entrant for its owner, as the header
// promises); a byte-range lock on the lock file, held while the mutex is held
// at the outermost level, excludes processes of other sessions too (a service
// in session 0 and a host run by a user), as flock does on Linux.
namespace os {

struct NamedMutex::Shared {
  ~Shared() {
    if (mutex != nullptr) ::CloseHandle(mutex);
  }
  std::string path;
  std::wstring system_path;
  HANDLE mutex = nullptr;  // null when it could not be made
  DWORD create_error = ERROR_SUCCESS;
  std::atomic<DWORD> owner{0};  // thread id of the holder, 0 when free
  // Touched by the holder only.
  int depth = 0;
  HANDLE file = INVALID_HANDLE_VALUE;  // the locked lock file while depth > 0
};

namespace {

std::mutex g_registry_mutex;
std::map<std::wstring, std::weak_ptr<NamedMutex::Shared>>& Registry() {
  static auto* registry = new std::map<std::wstring, std::weak_ptr<NamedMutex::Shared>>;
  return *registry;
}

// Kernel object names may not hold '\', and the file system ignores case:
// the name is a hash of the normalised, lower-cased path.
std::wstring MutexName(const std::wstring& system_path) {
  std::wstring lower = system_path;
  if (!lower.empty()) ::CharLowerBuffW(lower.data(), static_cast<DWORD>(lower.size()));
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (wchar_t c : lower) {
    hash = (hash ^ static_cast<uint16_t>(c)) * 1099511628211ull;
  }
  std::wstring name = L"Local\\strandel-";
  for (int shift = 60; shift >= 0; shift -= 4) name += L"0123456789abcdef"[(hash >> shift) & 0xF];
  return name;
}

HANDLE OpenLockFile(const std::wstring& system_path, DWORD disposition,
                    SECURITY_ATTRIBUTES* security) {
  // A link at the path is locked itself, never followed.
  return ::CreateFileW(system_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, security,
                       disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

HANDLE LockFile(const std::wstring& system_path) {
  HANDLE file = OpenLockFile(system_path, OPEN_EXISTING, nullptr);
  if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
    // Made private (the Windows form of mode 0600), so that no other user can
    // open it and stall us.
    OwnerOnlySecurity security;
    if (security.get() == nullptr) return INVALID_HANDLE_VALUE;
    file = OpenLockFile(system_path, OPEN_ALWAYS, security.get());
  }
  if (file == INVALID_HANDLE_VALUE) return file;
  OVERLAPPED at{};
  if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &at)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

}  // namespace

NamedMutex::NamedMutex(const std::string& lock_path) {
  const std::wstring system_path = SystemPath(FromUtf8(lock_path));
  const std::wstring name = MutexName(system_path);
  std::lock_guard<std::mutex> guard(g_registry_mutex);
  auto& slot = Registry()[name];
  shared_ = slot.lock();
  if (!shared_) {
    shared_ = std::make_shared<Shared>();
    shared_->path = lock_path;
    shared_->system_path = system_path;
    shared_->mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
    if (shared_->mutex == nullptr) shared_->create_error = ::GetLastError();
    slot = shared_;
  }
}

NamedMutex::~NamedMutex() {
  std::lock_guard<std::mutex> guard(g_registry_mutex);
  const std::wstring name = MutexName(shared_->system_path);
  shared_.reset();
  auto it = Registry().find(name);
  if (it != Registry().end() && it->second.expired()) Registry().erase(it);
}

const std::string& NamedMutex::path() const { return shared_->path; }

bool NamedMutex::Lock() {
  Shared& s = *shared_;
  if (s.mutex == nullptr) {
    SetLastError(s.create_error);
    return false;
  }
  // An abandoned mutex (its holder ended without releasing) is ours now.
  const DWORD wait = ::WaitForSingleObject(s.mutex, INFINITE);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return false;
  if (wait == WAIT_ABANDONED) {
    // A thread of this process may have ended holding it: its levels are void.
    if (s.file != INVALID_HANDLE_VALUE) ::CloseHandle(s.file);
    s.file = INVALID_HANDLE_VALUE;
    s.depth = 0;
  }
  s.owner.store(::GetCurrentThreadId(), std::memory_order_relaxed);
  if (++s.depth > 1) return s.file != INVALID_HANDLE_VALUE;
  s.file = LockFile(s.system_path);
  return s.file != INVALID_HANDLE_VALUE;
}

void NamedMutex::Unlock() {
  Shared& s = *shared_;
  if (s.mutex == nullptr || s.owner.load(std::memory_order_relaxed) != ::GetCurrentThreadId()) {
    return;
  }
  if (--s.depth == 0) {
    if (s.file != INVALID_HANDLE_VALUE) {
      OVERLAPPED at{};
      ::UnlockFileEx(s.file, 0, MAXDWORD, MAXDWORD, &at);
      ::CloseHandle(s.file);
      s.file = INVALID_HANDLE_VALUE;
    }
    s.owner.store(0, std::memory_order_relaxed);
  }
  ::ReleaseMutex(s.mutex);
}

}  // namespace os
