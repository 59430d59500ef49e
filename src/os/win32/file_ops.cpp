#include "os/file_ops.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "os/file_attributes.h"
#include "os/last_error.h"
#include "os/temp_name.h"
#include "os/file_fault.h"
#include "os/text.h"
#include "os/win32/confined_roots_check.h"
#include "os/win32/long_path.h"
#include "os/win32/unique_handle.h"

namespace os {
namespace {

int Fault(std::string_view operation, const std::wstring& path) {
  return FileFault(operation, ToUtf8(path));
}


// Asks the hook before the call it names; true when it injected a failure,
// which is then the last error.
bool Injected(std::string_view operation, const std::wstring& path,
              ErrnoContext context = ErrnoContext::kGeneric) {
  const int err = Fault(operation, path);
  if (err == 0) return false;
  ErrorFromErrno(err, ToUtf8(path), context);
  return true;
}

// Fails with code, keeping path for the trace.
BOOL FailWith(DWORD code, const std::wstring& path) {
  ErrorFromErrno(0, ToUtf8(path));
  SetLastError(code);
  return FALSE;
}

// Fails with the error the last system call left.
BOOL FailLast(const std::wstring& path) { return FailWith(::GetLastError(), path); }

// A copy reports a name taken meanwhile as a file that exists.
BOOL FailCopy(DWORD code, const std::wstring& path) {
  return FailWith(code == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : code, path);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Opens an entry as itself, a directory included.
constexpr DWORD kAsItself = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

// What the engine learns about an entry, as Windows describes it.
struct Info {
  DWORD attributes = 0;
  DWORD tag = 0;  // the reparse tag, when FILE_ATTRIBUTE_REPARSE_POINT is set
  uint64_t size = 0;
  FILETIME mtime{};
  FILETIME atime{};
  uint64_t device = 0;  // volume serial number
  uint64_t inode = 0;   // file index; 0 where no handle could be opened
};

bool IsLink(const Info& info) {
  return (info.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsLinkTag(info.tag);
}

bool IsRealDirectory(const Info& info) {
  return (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !IsLink(info);
}

bool InfoOfHandle(HANDLE h, Info* out) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(h, &info)) return false;
  out->attributes = info.dwFileAttributes;
  out->size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  out->mtime = info.ftLastWriteTime;
  out->atime = info.ftLastAccessTime;
  out->device = info.dwVolumeSerialNumber;
  out->inode = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  out->tag = 0;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag)) return false;
    out->tag = tag.ReparseTag;
  }
  return true;
}

void InfoOfFindData(const WIN32_FIND_DATAW& data, uint64_t device, Info* out) {
  out->attributes = data.dwFileAttributes;
  out->tag = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? data.dwReserved0 : 0;
  out->size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  out->mtime = data.ftLastWriteTime;
  out->atime = data.ftLastAccessTime;
  out->device = device;
  out->inode = 0;  // a listing carries no file index
}

UniqueHandle OpenAsItself(const std::wstring& system, DWORD access) {
  return UniqueHandle(
      ::CreateFileW(system.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, kAsItself, nullptr));
}

// Describes the entry at system itself. Where no handle can be had (an ACL
// that grants listing only, a file being deleted), the directory's own
// record serves, without a file index.
bool InfoOfPath(const std::wstring& system, Info* out) {
  UniqueHandle h = OpenAsItself(system, FILE_READ_ATTRIBUTES);
  if (h.valid()) return InfoOfHandle(h.get(), out);
  const DWORD err = ::GetLastError();
  if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return false;
  WIN32_FIND_DATAW data;
  HANDLE find =
      ::FindFirstFileExW(system.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    ::SetLastError(err);
    return false;
  }
  ::FindClose(find);
  InfoOfFindData(data, 0, out);
  return true;
}

// FILETIME counts 100 ns from 1601; the header's times count from 1970.
constexpr int64_t kEpochTicks = 116444736000000000LL;
constexpr int64_t kTicksPerSecond = 10'000'000;

void FromFileTime(const FILETIME& ft, int64_t* sec, int64_t* nsec) {
  const int64_t ticks =
      static_cast<int64_t>((uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime) - kEpochTicks;
  int64_t s = ticks / kTicksPerSecond;
  int64_t rest = ticks % kTicksPerSecond;
  if (rest < 0) {
    rest += kTicksPerSecond;
    --s;
  }
  *sec = s;
  *nsec = rest * 100;
}

FILETIME ToFileTime(int64_t sec, int64_t nsec) {
  int64_t ticks = sec * kTicksPerSecond + nsec / 100 + kEpochTicks;
  // Zero would mean "leave as it is" to SetFileTime; 1601 is as early as it gets.
  if (ticks < 1) ticks = 1;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks));
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  return ft;
}

LARGE_INTEGER AsLarge(const FILETIME& ft) {
  LARGE_INTEGER value;
  value.LowPart = ft.dwLowDateTime;
  value.HighPart = static_cast<LONG>(ft.dwHighDateTime);
  return value;
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
  return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

bool SameVersion(const Info& a, const Info& b) {
  return a.size == b.size && SameTime(a.mtime, b.mtime);
}

void Describe(const Info& info, FileStatus* status) {
  const bool link = IsLink(info);
  const bool directory = (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !link;
  status->is_directory = directory;
  status->is_symlink = link;
  status->is_regular = !directory && !link && (info.attributes & FILE_ATTRIBUTE_DEVICE) == 0;
  status->size = directory ? 0 : info.size;
  FromFileTime(info.mtime, &status->mtime_sec, &status->mtime_nsec);
  FromFileTime(info.atime, &status->atime_sec, &status->atime_nsec);
  // A link to a directory is a link: it is copied and removed as one.
  status->attributes = link ? info.attributes & ~FILE_ATTRIBUTE_DIRECTORY : info.attributes;
  status->device = info.device;
  status->inode = info.inode;
  // Windows has no permission bits: the read-only attribute stands for the
  // owner's write bit, and ownership lives in ACLs that the engine does not
  // carry across.
  const bool read_only = (info.attributes & FILE_ATTRIBUTE_READONLY) != 0;
  status->mode = link ? 0777 : directory ? (read_only ? 0555 : 0755) : (read_only ? 0444 : 0644);
  status->uid = 0;
  status->gid = 0;
}

// The directory that holds path, as written (a trailing separator dropped).
std::wstring DirectoryOf(const std::wstring& path) {
  std::wstring p = path;
  while (p.size() > 1 && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
  const auto cut = p.find_last_of(L"\\/");
  return cut == std::wstring::npos ? std::wstring(L".") : p.substr(0, cut);
}

// Checks that path stays below its task root, and gives its long form.
bool Prepare(const std::wstring& path, ConfinedHold* hold, std::wstring* system,
             bool include_last = false) {
  if (const DWORD err = ConfinePath(path, include_last, hold)) {
    FailWith(err, path);
    return false;
  }
  *system = SystemPath(path);
  return true;
}

// The name the system's rename takes: the NT form of a long path.
std::vector<BYTE> RenameInfo(const std::wstring& system_to, bool replace) {
  std::wstring name = system_to;
  if (name.rfind(L"\\\\?\\", 0) == 0) name[1] = L'?';  // "\\?\" -> "\??\"
  const std::size_t bytes = name.size() * sizeof(wchar_t);
  std::vector<BYTE> buffer(offsetof(FILE_RENAME_INFO, FileName) + bytes + sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(info->FileName, name.data(), bytes);
  return buffer;
}

// Removes a temporary that was never named, through the handle it was made
// with, unless the copy got as far as naming it.
class TempGuard {
 public:
  explicit TempGuard(const UniqueHandle& file) : file_(file) {}
  ~TempGuard() {
    if (!armed_ || !file_.valid()) return;
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // a read-only file refuses deletion
    ::SetFileInformationByHandle(file_.get(), FileBasicInfo, &basic, sizeof basic);
    FILE_DISPOSITION_INFO dispose{TRUE};
    ::SetFileInformationByHandle(file_.get(), FileDispositionInfo, &dispose, sizeof dispose);
  }
  TempGuard(const TempGuard&) = delete;
  TempGuard& operator=(const TempGuard&) = delete;
  void Release() { armed_ = false; }

 private:
  const UniqueHandle& file_;
  bool armed_ = true;
};

// How often a source that keeps changing under the copy is read again.
constexpr int kCopyAttempts = 3;

// Attributes a copy carries with its data; the read-only one stands for the
// permission bits.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Another process holds a byte-range lock that excludes readers (how SQLite
// marks a database being written). A file system without locks has none.
bool LockedByOthers(HANDLE h) {
  OVERLAPPED at{};
  if (::LockFileEx(h, LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at)) {
    OVERLAPPED again{};
    ::UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &again);
    return false;
  }
  return ::GetLastError() == ERROR_LOCK_VIOLATION;
}

// Copies from the current offsets to the end of in. ERROR_SUCCESS or the
// failure; *on_source tells whether reading failed.
DWORD CopyData(HANDLE in, HANDLE out, const std::wstring& to, bool* on_source) {
  *on_source = false;
  std::vector<char> buffer(size_t{1} << 20);
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      *on_source = true;
      return ::GetLastError();
    }
    if (got == 0) return ERROR_SUCCESS;
    for (DWORD written = 0; written < got;) {
      if (const int err = Fault("copy-write", to)) {
        return ErrorFromErrno(err, ToUtf8(to), ErrnoContext::kCopy);
      }
      DWORD n = 0;
      if (!::WriteFile(out, buffer.data() + written, got - written, &n, nullptr)) {
        return ::GetLastError();
      }
      written += n;
    }
  }
}

bool Rewind(HANDLE h) {
  LARGE_INTEGER zero{};
  return ::SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) != FALSE;
}

// The reparse data of a link, as FSCTL_GET_REPARSE_POINT gives it.
struct ReparseBuffer {
  DWORD ReparseTag;
  WORD ReparseDataLength;
  WORD Reserved;
  WORD SubstituteNameOffset;
  WORD SubstituteNameLength;
  WORD PrintNameOffset;
  WORD PrintNameLength;
  // Symbolic links carry a ULONG of flags here; junctions start the names.
};
constexpr ULONG kSymlinkRelative = 1;

bool ReadLink(const std::wstring& system, std::vector<BYTE>* data) {
  UniqueHandle h = OpenAsItself(system, FILE_READ_ATTRIBUTES);
  if (!h.valid()) return false;
  data->assign(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, 0);
  DWORD got = 0;
  if (!::DeviceIoControl(h.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, data->data(),
                         static_cast<DWORD>(data->size()), &got, nullptr)) {
    return false;
  }
  data->resize(got);
  return got >= sizeof(ReparseBuffer);
}

// The target text of a symbolic link, and whether it is relative.
bool SymlinkTarget(const std::vector<BYTE>& data, std::wstring* target, bool* relative) {
  const auto* head = reinterpret_cast<const ReparseBuffer*>(data.data());
  const std::size_t names = sizeof(ReparseBuffer) + sizeof(ULONG);
  if (data.size() < names) return false;
  ULONG flags;
  std::memcpy(&flags, data.data() + sizeof(ReparseBuffer), sizeof flags);
  *relative = (flags & kSymlinkRelative) != 0;
  auto text = [&](WORD offset, WORD length) {
    if (names + offset + length > data.size()) return std::wstring();
    std::wstring out(length / sizeof(wchar_t), L'\0');
    std::memcpy(out.data(), data.data() + names + offset, length);
    return out;
  };
  std::wstring print = text(head->PrintNameOffset, head->PrintNameLength);
  std::wstring substitute = text(head->SubstituteNameOffset, head->SubstituteNameLength);
  if (!print.empty()) {
    *target = print;
  } else {
    *target = substitute;
    if (target->rfind(L"\\??\\", 0) == 0) (*target)[1] = L'\\';  // "\??\" -> "\\?\"
  }
  return !target->empty();
}

BOOL CopyLink(const std::wstring& from, const std::wstring& system_from, const std::wstring& to,
              const std::wstring& system_to, const Info& source, bool no_replace) {
  if (Injected("readlink", from, ErrnoContext::kCopy)) return FALSE;
  std::vector<BYTE> data;
  if (!ReadLink(system_from, &data)) return FailLast(from);
  const bool directory = (source.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;

  std::wstring temp;
  for (int attempt = 0;; ++attempt) {
    if (Injected("symlink", to, ErrnoContext::kCopy)) return FALSE;
    temp = SystemPath(TempNameIn(DirectoryOf(to)));
    bool made = false;
    if (source.tag == IO_REPARSE_TAG_SYMLINK) {
      std::wstring target;
      bool relative = false;
      if (!SymlinkTarget(data, &target, &relative)) return FailWith(ERROR_NOT_SUPPORTED, from);
      made = ::CreateSymbolicLinkW(temp.c_str(), target.c_str(),
                                   (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) |
                                       SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != FALSE;
    } else {
      // A junction, or another kind of name: the same reparse data on a fresh
      // entry of the same kind (no privilege is needed for a junction).
      made = directory ? ::CreateDirectoryW(temp.c_str(), nullptr) != FALSE
                       : UniqueHandle(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr,
                                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr))
                             .valid();
      if (made) {
        UniqueHandle h = OpenAsItself(temp, GENERIC_WRITE);
        DWORD unused = 0;
        if (!h.valid() || !::DeviceIoControl(h.get(), FSCTL_SET_REPARSE_POINT, data.data(),
                                             static_cast<DWORD>(data.size()), nullptr, 0,
                                             &unused, nullptr)) {
          const DWORD err = ::GetLastError();
          h.Reset();
          directory ? ::RemoveDirectoryW(temp.c_str()) : ::DeleteFileW(temp.c_str());
          return FailCopy(err, to);
        }
      }
    }
    if (made) break;
    const DWORD err = ::GetLastError();
    if ((err != ERROR_ALREADY_EXISTS && err != ERROR_FILE_EXISTS) || attempt == 8) {
      return FailCopy(err, to);
    }
  }
  auto drop_temp = [&] {
    directory ? ::RemoveDirectoryW(temp.c_str()) : ::DeleteFileW(temp.c_str());
  };
  {
    // Some file systems cannot time a link; the link itself is what matters.
    UniqueHandle h = OpenAsItself(temp, FILE_WRITE_ATTRIBUTES);
    if (h.valid()) ::SetFileTime(h.get(), nullptr, &source.atime, &source.mtime);
  }
  if (Injected("rename", to, ErrnoContext::kCopy)) {
    drop_temp();
    return FALSE;
  }
  if (!::MoveFileExW(temp.c_str(), system_to.c_str(), no_replace ? 0 : MOVEFILE_REPLACE_EXISTING)) {
    const DWORD err = ::GetLastError();
    drop_temp();
    return FailCopy(err, to);
  }
  return TRUE;
}

// Gives the temporary the target's name. A read-only target refuses to be
// replaced on Windows, where a rename elsewhere would not care: it loses the
// attribute for the moment of the rename, and gets it back if that fails.
// One that is open elsewhere gives ERROR_SHARING_VIOLATION.
bool PutInPlace(HANDLE out, const std::wstring& system_to, bool no_replace) {
  std::vector<BYTE> rename = RenameInfo(system_to, !no_replace);
  const auto size = static_cast<DWORD>(rename.size());
  if (::SetFileInformationByHandle(out, FileRenameInfo, rename.data(), size)) return true;
  if (no_replace || ::GetLastError() != ERROR_ACCESS_DENIED) return false;
  const DWORD attributes = ::GetFileAttributesW(system_to.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) {
    // A file another program has open cannot be replaced, even when it shares
    // deletion: the target is in use for now, which the caller waits out.
    ::SetLastError(ERROR_SHARING_VIOLATION);
    return false;
  }
  if (!::SetFileAttributesW(system_to.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return false;
  if (::SetFileInformationByHandle(out, FileRenameInfo, rename.data(), size)) return true;
  const DWORD err = ::GetLastError();
  ::SetFileAttributesW(system_to.c_str(), attributes);
  ::SetLastError(err);
  return false;
}

}  // namespace

bool GetFileStatus(const std::wstring& path, FileStatus* status) {
  ConfinedHold hold;
  std::wstring system;
  if (!Prepare(path, &hold, &system)) return false;
  if (Injected("stat", path)) return false;
  Info info;
  if (!InfoOfPath(system, &info)) {
    FailLast(path);
    return false;
  }
  Describe(info, status);
  return true;
}

bool PathExists(const std::wstring& path) {
  ConfinedHold hold;
  if (ConfinePath(path, false, &hold) != ERROR_SUCCESS) return false;
  // Describes a link as itself, so a dangling one exists too.
  return ::GetFileAttributesW(SystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

BOOL CopyFile(const std::wstring& from, const std::wstring& to, BOOL fail_if_exists,
              const std::function<void(const CopiedVersion&)>& announce) {
  const bool no_replace = fail_if_exists != FALSE;
  ConfinedHold from_hold;
  ConfinedHold to_hold;
  std::wstring system_from;
  std::wstring system_to;
  if (!Prepare(from, &from_hold, &system_from) || !Prepare(to, &to_hold, &system_to)) return FALSE;
  if (Injected("stat", from, ErrnoContext::kCopy)) return FALSE;

  Info source;
  if (!InfoOfPath(system_from, &source)) return FailLast(from);
  if (IsLink(source)) return CopyLink(from, system_from, to, system_to, source, no_replace);
  if ((source.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return FailWith(ERROR_ACCESS_DENIED, from);
  }
  if ((source.attributes & FILE_ATTRIBUTE_DEVICE) != 0) return FailWith(ERROR_NOT_SUPPORTED, from);

  // A cheap early answer for a replacement; a copy that must not replace is
  // guarded by its final step alone, as callers have just seen the name free.
  Info target;
  const bool target_found = !no_replace && InfoOfPath(system_to, &target);
  if (target_found && (target.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return FailWith(ERROR_ACCESS_DENIED, to);
  }

  if (Injected("open-source", from, ErrnoContext::kCopy)) return FALSE;
  // Writers may go on sharing the file: a source that changes under the copy
  // is read again. One that denies readers gives ERROR_SHARING_VIOLATION.
  UniqueHandle in(::CreateFileW(system_from.c_str(), GENERIC_READ, kShareAll, nullptr,
                                OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in.valid()) return FailLast(from);
  if (!InfoOfHandle(in.get(), &source)) return FailLast(from);
  if (IsLink(source) || (source.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return FailWith(ERROR_NOT_SUPPORTED, from);  // replaced since it was described
  }
  if (LockedByOthers(in.get())) return FailWith(ERROR_SHARING_VIOLATION, from);

  // The temporary is nobody else's while it is open: no sharing at all.
  UniqueHandle out;
  const std::wstring directory = DirectoryOf(to);
  for (int attempt = 0;; ++attempt) {
    if (Injected("copy-create", to, ErrnoContext::kCopy)) return FALSE;
    const std::wstring temp = SystemPath(TempNameIn(directory));
    out.Reset(::CreateFileW(temp.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (out.valid()) break;
    const DWORD err = ::GetLastError();
    if ((err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS) || attempt == 8) {
      return FailCopy(err, to);
    }
  }
  TempGuard guard(out);

  for (int attempt = 1;; ++attempt) {
    bool on_source = false;
    if (const DWORD err = CopyData(in.get(), out.get(), to, &on_source)) {
      return FailCopy(err, on_source ? from : to);
    }
    // Written to while it was read, the copy may hold a torn mix of both
    // versions under the older one's time: read it again while that helps.
    Info after;
    if (!InfoOfHandle(in.get(), &after)) return FailLast(from);
    const bool whole = SameVersion(after, source);
    after.atime = source.atime;  // the copy's own reading is no access to keep
    source = after;
    if (whole || attempt == kCopyAttempts) break;
    if (!Rewind(in.get()) || !Rewind(out.get()) || !::SetEndOfFile(out.get())) {
      return FailLast(to);
    }
  }

  // Another writer changed the target since the copy began: its version is
  // newer news than this one, and its own change brings it across.
  Info existing;
  const bool replaces = !no_replace && InfoOfPath(system_to, &existing);
  if (!no_replace && (replaces != target_found ||
                      (replaces && (existing.inode != target.inode ||
                                    existing.device != target.device ||
                                    !SameVersion(existing, target))))) {
    return FailWith(ERROR_FILE_EXISTS, to);
  }

  // Times and attributes in one call; set last, so no write moves the time.
  if (Injected("chmod", to, ErrnoContext::kCopy) || Injected("utimens", to, ErrnoContext::kCopy)) {
    return FALSE;
  }
  FILE_BASIC_INFO basic{};
  basic.LastAccessTime = AsLarge(source.atime);
  basic.LastWriteTime = AsLarge(source.mtime);
  const DWORD copied = source.attributes & kCopiedAttributes;
  basic.FileAttributes = copied != 0 ? copied : FILE_ATTRIBUTE_NORMAL;
  if (!::SetFileInformationByHandle(out.get(), FileBasicInfo, &basic, sizeof basic)) {
    return FailLast(to);
  }
  // When a target is replaced, the data must be on disk before the name is,
  // or a crash could leave an empty file where the old version was. A new
  // target has no old version to lose.
  if (replaces) {
    if (Injected("fsync", to, ErrnoContext::kCopy)) return FALSE;
    if (!::FlushFileBuffers(out.get())) return FailLast(to);
  }
  if (announce) {
    // What is announced is what was written, not what the source was
    // described as.
    Info written;
    if (!InfoOfHandle(out.get(), &written)) return FailLast(to);
    CopiedVersion version;
    version.size = written.size;
    FromFileTime(written.mtime, &version.mtime_sec, &version.mtime_nsec);
    announce(version);
  }
  if (Injected("rename", to, ErrnoContext::kCopy)) return FALSE;
  if (!PutInPlace(out.get(), system_to, no_replace)) return FailCopy(::GetLastError(), to);
  guard.Release();
  return TRUE;
}

BOOL MoveFile(const std::wstring& from, const std::wstring& to) {
  ConfinedHold from_hold;
  ConfinedHold to_hold;
  std::wstring system_from;
  std::wstring system_to;
  if (!Prepare(from, &from_hold, &system_from) || !Prepare(to, &to_hold, &system_to)) return FALSE;
  if (Injected("rename", from)) return FALSE;
  // No MOVEFILE_COPY_ALLOWED: across volumes this fails with
  // ERROR_NOT_SAME_DEVICE and the caller copies.
  if (!::MoveFileExW(system_from.c_str(), system_to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    const DWORD err = ::GetLastError();
    // The source missing is likelier news than the target's directory.
    const bool source_there = ::GetFileAttributesW(system_from.c_str()) != INVALID_FILE_ATTRIBUTES;
    return FailWith(err, (err == ERROR_PATH_NOT_FOUND && source_there) ? to : from);
  }
  return TRUE;
}

BOOL DeleteFile(const std::wstring& path) {
  ConfinedHold hold;
  std::wstring system;
  if (!Prepare(path, &hold, &system)) return FALSE;
  if (Injected("unlink", path)) return FALSE;
  const DWORD attributes = ::GetFileAttributesW(system.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FailLast(path);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    Info info;
    if (!InfoOfPath(system, &info)) return FailLast(path);
    if (!IsLink(info)) return FailWith(ERROR_ACCESS_DENIED, path);
    // A link to a directory is removed as a directory entry on Windows.
    return ::RemoveDirectoryW(system.c_str()) ? TRUE : FailLast(path);
  }
  return ::DeleteFileW(system.c_str()) ? TRUE : FailLast(path);
}

BOOL RemoveDirectory(const std::wstring& path) {
  ConfinedHold hold;
  std::wstring system;
  if (!Prepare(path, &hold, &system)) return FALSE;
  if (Injected("rmdir", path)) return FALSE;
  const DWORD attributes = ::GetFileAttributesW(system.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FailLast(path);
  // RemoveDirectoryW would take a link to a directory away too: that is a
  // link, removed by DeleteFile, never here.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    Info info;
    if (InfoOfPath(system, &info) && IsLink(info)) return FailWith(ERROR_DIRECTORY, path);
  }
  return ::RemoveDirectoryW(system.c_str()) ? TRUE : FailLast(path);
}

BOOL SetPlainAttributes(const std::wstring& path) {
  ConfinedHold hold;
  std::wstring system;
  if (!Prepare(path, &hold, &system)) return FALSE;
  if (Injected("stat", path)) return FALSE;
  const DWORD attributes = ::GetFileAttributesW(system.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FailLast(path);
  if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) return TRUE;
  if (Injected("chmod", path)) return FALSE;
  // SetFileAttributesW acts on a link itself.
  if (!::SetFileAttributesW(system.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    return FailLast(path);
  }
  return TRUE;
}

BOOL SetLastWriteTime(const std::wstring& path, int64_t sec, int64_t nsec) {
  ConfinedHold hold;
  std::wstring system;
  if (!Prepare(path, &hold, &system)) return FALSE;
  if (Injected("utimens", path)) return FALSE;
  UniqueHandle h = OpenAsItself(system, FILE_WRITE_ATTRIBUTES);
  if (!h.valid()) return FailLast(path);
  const FILETIME mtime = ToFileTime(sec, nsec);
  if (!::SetFileTime(h.get(), nullptr, nullptr, &mtime)) return FailLast(path);
  return TRUE;
}

// Windows keeps ownership and access in ACLs, which the engine does not
// carry across; what stands for the permission bits is the read-only
// attribute, and that is what is given to the other side.
BOOL CopyOwnerAndMode(const std::wstring& from, const std::wstring& to) {
  ConfinedHold from_hold;
  ConfinedHold to_hold;
  std::wstring system_from;
  std::wstring system_to;
  if (!Prepare(from, &from_hold, &system_from) || !Prepare(to, &to_hold, &system_to)) return FALSE;
  Info source;
  if (!InfoOfPath(system_from, &source)) return FailLast(from);
  Info target;
  if (!InfoOfPath(system_to, &target)) return FailLast(to);
  // Entries of different kinds are a change of contents, not of permissions.
  if (IsLink(source) || IsLink(target) ||
      IsRealDirectory(source) != IsRealDirectory(target)) {
    return TRUE;
  }
  const DWORD wanted = source.attributes & FILE_ATTRIBUTE_READONLY;
  // Nothing is written when nothing differs: the other side's watch would
  // take the touch for a change and send it back.
  if ((target.attributes & FILE_ATTRIBUTE_READONLY) == wanted) return TRUE;
  if (Injected("chmod", to)) return FALSE;
  const DWORD attributes = (target.attributes & ~FILE_ATTRIBUTE_READONLY) | wanted;
  if (!::SetFileAttributesW(system_to.c_str(), attributes)) return FailLast(to);
  return TRUE;
}

struct DirectoryListing::State {
  HANDLE find = INVALID_HANDLE_VALUE;
  std::wstring path;
  WIN32_FIND_DATAW data{};
  bool pending = false;  // data holds an entry Next has not given yet
  bool have_last = false;
  uint64_t device = 0;
  ~State() {
    if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
  }
};

DirectoryListing::DirectoryListing() = default;
DirectoryListing::~DirectoryListing() = default;

bool DirectoryListing::Open(const std::wstring& dir) {
  state_.reset();
  auto state = std::make_unique<State>();
  state->path = dir;
  if (Injected("opendir", dir)) return false;
  ConfinedHold hold;
  std::wstring system;
  if (!Prepare(dir, &hold, &system, true)) return false;
  // The directory is listed as itself: a link there is not followed, except
  // for a task root, which is used as configured.
  UniqueHandle handle(::CreateFileW(
      system.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
      hold.is_root ? FILE_FLAG_BACKUP_SEMANTICS : kAsItself, nullptr));
  Info info;
  if (!handle.valid() || !InfoOfHandle(handle.get(), &info)) {
    FailLast(dir);
    return false;
  }
  if (IsLink(info)) {
    FailWith(ERROR_CANT_RESOLVE_FILENAME, dir);
    return false;
  }
  if ((info.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    FailWith(ERROR_DIRECTORY, dir);
    return false;
  }
  state->device = info.device;
  std::wstring pattern = system;
  if (pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  state->find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &state->data,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (state->find == INVALID_HANDLE_VALUE) {
    // An empty volume root has not even "." to give.
    if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
      FailLast(dir);
      return false;
    }
  } else {
    state->pending = true;
  }
  state_ = std::move(state);
  return true;
}

bool DirectoryListing::Next(std::wstring* name, bool* is_directory) {
  if (!state_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  State& s = *state_;
  for (;;) {
    if (!s.pending) {
      if (s.find == INVALID_HANDLE_VALUE || !::FindNextFileW(s.find, &s.data)) {
        const DWORD err = s.find == INVALID_HANDLE_VALUE ? ERROR_NO_MORE_FILES : ::GetLastError();
        s.have_last = false;
        if (err == ERROR_NO_MORE_FILES) {
          SetLastError(ERROR_SUCCESS);
        } else {
          FailWith(err, s.path);
        }
        return false;
      }
    }
    s.pending = false;
    const std::wstring_view entry(s.data.cFileName);
    if (entry == L"." || entry == L"..") continue;
    Info info;
    InfoOfFindData(s.data, s.device, &info);
    s.have_last = true;
    *name = std::wstring(entry);
    *is_directory = IsRealDirectory(info);
    return true;
  }
}

bool DirectoryListing::DescribeLast(FileStatus* status) {
  if (!state_ || !state_->have_last) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const State& s = *state_;
  if (HasFileFault()) {
    std::wstring path = s.path;
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
    if (Injected("stat", path + s.data.cFileName)) return false;
  }
  // The listing's own record: size, times and attributes as the directory
  // gave them. It has no file index, so inode is 0 here.
  Info info;
  InfoOfFindData(s.data, s.device, &info);
  Describe(info, status);
  return true;
}

bool IsSameFile(const std::wstring& a, const std::wstring& b) {
  ConfinedHold hold_a;
  ConfinedHold hold_b;
  if (ConfinePath(a, false, &hold_a) != ERROR_SUCCESS ||
      ConfinePath(b, false, &hold_b) != ERROR_SUCCESS) {
    return false;
  }
  UniqueHandle ha = OpenAsItself(SystemPath(a), FILE_READ_ATTRIBUTES);
  UniqueHandle hb = OpenAsItself(SystemPath(b), FILE_READ_ATTRIBUTES);
  Info ia;
  Info ib;
  return ha.valid() && hb.valid() && InfoOfHandle(ha.get(), &ia) &&
         InfoOfHandle(hb.get(), &ib) && ia.device == ib.device && ia.inode == ib.inode;
}

namespace {

// An open regular file or the reparse data of a link, described as itself.
struct Opened {
  Info info;
  UniqueHandle file;
  std::vector<BYTE> link;
};

bool OpenForComparison(const std::wstring& path, Opened* out) {
  ConfinedHold hold;
  if (ConfinePath(path, false, &hold) != ERROR_SUCCESS) return false;
  const std::wstring system = SystemPath(path);
  if (!InfoOfPath(system, &out->info)) return false;
  if (IsLink(out->info)) return ReadLink(system, &out->link);
  if ((out->info.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return false;
  }
  out->file.Reset(::CreateFileW(system.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                                nullptr));
  return out->file.valid();
}

// Reads until buffer is full or the file ends; the count read, or -1.
long long ReadFull(HANDLE h, std::vector<char>* buffer) {
  std::size_t done = 0;
  while (done < buffer->size()) {
    DWORD got = 0;
    if (!::ReadFile(h, buffer->data() + done, static_cast<DWORD>(buffer->size() - done), &got,
                    nullptr)) {
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<long long>(done);
}

}  // namespace

bool HaveSameContents(const std::wstring& a, const std::wstring& b) {
  Opened fa;
  Opened fb;
  if (!OpenForComparison(a, &fa) || !OpenForComparison(b, &fb)) return false;
  if (IsLink(fa.info) || IsLink(fb.info)) return IsLink(fa.info) && IsLink(fb.info) && fa.link == fb.link;
  if (fa.info.size != fb.info.size) return false;
  std::vector<char> ba(1 << 16);
  std::vector<char> bb(1 << 16);
  for (;;) {
    const long long na = ReadFull(fa.file.get(), &ba);
    const long long nb = ReadFull(fb.file.get(), &bb);
    if (na < 0 || nb < 0 || na != nb) return false;
    if (std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(na)) != 0) return false;
    if (na < static_cast<long long>(ba.size())) return true;
  }
}

int64_t TimeResolutionNsOfType(std::string_view fs_type) {
  constexpr int64_t kSecond = 1'000'000'000;
  std::string type(fs_type);
  for (char& ch : type) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  // The names GetVolumeInformationW gives, and those of Linux mounts.
  if (type == "FAT" || type == "FAT12" || type == "FAT16" || type == "FAT32" || type == "VFAT" ||
      type == "MSDOS") {
    return 2 * kSecond;
  }
  // fuseblk is most often ntfs-3g, but exFAT and FAT drivers use it too.
  if (type == "FUSEBLK") return 2 * kSecond;
  if (type == "EXFAT") return 10'000'000;
  if (type == "NTFS" || type == "NTFS3" || type == "REFS") return 100;
  return 1;
}

int64_t TimeResolutionNs(const std::wstring& path) {
  const std::wstring system = SystemPath(path);
  std::vector<wchar_t> volume(system.size() + 2);
  wchar_t fs_name[MAX_PATH + 1] = {};
  // A FILETIME cannot be finer than 100 ns, whatever the file system.
  constexpr int64_t kFinest = 100;
  if (!::GetVolumePathNameW(system.c_str(), volume.data(), static_cast<DWORD>(volume.size())) ||
      !::GetVolumeInformationW(volume.data(), nullptr, 0, nullptr, nullptr, nullptr, fs_name,
                               MAX_PATH + 1)) {
    return kFinest;
  }
  return std::max(kFinest, TimeResolutionNsOfType(ToUtf8(fs_name)));
}


}  // namespace os
