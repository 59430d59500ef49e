// File primitives in the Windows shape the engine calls: copy, move, delete,
// directory removal, plain attributes, modification times and listings.
// Results follow the Windows convention: TRUE on success, FALSE with the
// calling thread's last error set (os::GetLastError, os::LastFailedPath).
//
// Links are never followed: a link is described, copied, timed and deleted as
// itself, and a listing reports a link to a directory as a non-directory.
// Below a task root no link on the way is followed either (a path through one
// fails with ERROR_CANT_RESOLVE_FILENAME), and paths of any length work.
// Special files (FIFOs, sockets, devices) are never opened.
//
// Thread-safe. The fault hook is process-wide; it may be set or removed while
// other threads are inside these functions (a call already asking it keeps
// the hook it found), so it must stay callable until every such call is done.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "strandel/strandel.h"

namespace os {

struct FileStatus {
  bool is_directory;
  bool is_symlink;
  bool is_regular;
  uint64_t size;
  int64_t mtime_sec;
  int64_t mtime_nsec;
  int64_t atime_sec;
  int64_t atime_nsec;
  DWORD attributes;  // FILE_ATTRIBUTE_* as GetFileAttributes gives them
  uint64_t device;
  uint64_t inode;
  uint32_t mode;  // permission bits, set-id and sticky included
  uint32_t uid;
  uint32_t gid;
};

// Describes what is at path; a link is described as itself. False (last error
// set) when nothing is there.
bool GetFileStatus(const std::wstring& path, FileStatus* status);

// Anything at path, a dangling link included.
bool PathExists(const std::wstring& path);

// Copies a regular file or a link (as a link) without ever leaving a partial
// target: the data goes into a temporary file in the target's directory that
// then takes the target's name. With fail_if_exists a target that exists, or
// appears during the copy, is never replaced (ERROR_FILE_EXISTS). A source that
// another process holds under an exclusive or write advisory lock gives
// ERROR_SHARING_VIOLATION; a special file gives ERROR_NOT_SUPPORTED; a
// directory gives ERROR_ACCESS_DENIED. Permission bits (never set-user-id) and
// access and modification times are kept; a root module also keeps the owner
// and group, and where it cannot, the copy is the owner's alone.
// A target that changes while the copy is made (another writer on that side)
// is not replaced either (ERROR_FILE_EXISTS); a source that changes meanwhile
// is copied again. announce, when given, is told the size and modification
// time of the copy just before it takes the target's name (never for a link),
// so that whoever watches the target knows the copy's own notification.
struct CopiedVersion {
  uint64_t size = 0;
  int64_t mtime_sec = 0;
  int64_t mtime_nsec = 0;
  bool operator==(const CopiedVersion&) const = default;
};
BOOL CopyFile(const std::wstring& from, const std::wstring& to, BOOL fail_if_exists,
              const std::function<void(const CopiedVersion&)>& announce = {});

// Renames, replacing an existing file at to. Across file systems it fails with
// ERROR_NOT_SAME_DEVICE; the caller copies and deletes instead.
BOOL MoveFile(const std::wstring& from, const std::wstring& to);

// Removes a file or a link; never a directory.
BOOL DeleteFile(const std::wstring& path);

// Removes an empty directory.
BOOL RemoveDirectory(const std::wstring& path);

// The plain attribute set: gives the owner write bit back.
BOOL SetPlainAttributes(const std::wstring& path);

// Gives to the owner, group (as root) and permission bits of from, when they
// differ: a change of mode alone reaches the other side without a copy.
BOOL CopyOwnerAndMode(const std::wstring& from, const std::wstring& to);

// Sets the modification time of path itself (a link is not followed); the
// access time is left as it is.
BOOL SetLastWriteTime(const std::wstring& path, int64_t sec, int64_t nsec);

// The entries of one directory, "." and ".." left out, in the order the file
// system gives them. One owner thread.
class DirectoryListing {
 public:
  DirectoryListing();
  ~DirectoryListing();
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;

  // False (last error set) when dir cannot be listed. Opening again closes the
  // previous listing.
  bool Open(const std::wstring& dir);
  // False at the end of the listing or on a read error (then the last error is
  // set; at the plain end it is ERROR_SUCCESS). is_directory is true only for a
  // real directory, never for a link to one.
  bool Next(std::wstring* name, bool* is_directory);
  // Describes the entry Next gave last, found in the listed directory itself
  // (no path is resolved again); false (last error set) when it has gone.
  bool DescribeLast(FileStatus* status);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Both paths name the same file (same device and inode), each described as
// itself. False when either is missing.
bool IsSameFile(const std::wstring& a, const std::wstring& b);

// Both hold the same bytes (regular files), or both are links to the same
// text. Reads both files whole; for the rare case where size and time cannot
// tell two versions apart.
bool HaveSameContents(const std::wstring& a, const std::wstring& b);

// How finely the file system holding path stores modification times, in
// nanoseconds: 2 s for FAT and for fuseblk (which may be FAT), 10 ms for exFAT,
// 100 ns for NTFS, 1 ns for the rest.
int64_t TimeResolutionNs(const std::wstring& path);
// The same for a file-system type as /proc/self/mountinfo names it.
int64_t TimeResolutionNsOfType(std::string_view fs_type);

// Tests only. When set, each primitive asks hook(operation, path) before the
// system call it names and, if the answer is a non-zero errno, fails as that
// call would have. Operations: "stat", "open-source", "copy-create",
// "copy-write", "fsync", "link", "rename", "unlink", "rmdir", "chmod",
// "utimens", "opendir", "readlink", "symlink". An empty hook removes it.
void SetFileFaultForTest(
    std::function<int(std::string_view operation, const std::string& path)> hook);

}  // namespace os
