// Directory change notification on inotify, shaped like the Windows facility
// the engine was designed around: a completion port delivers, one packet at
// a time and in order, completed directory reads and packets posted by other
// threads; a directory handle watches a whole subtree and completes an armed
// read by filling the caller's buffer with FILE_NOTIFY_INFORMATION records
// (names relative to the watched directory, "/" between levels).
//
// What inotify reports is turned into those records (see the .cpp for the
// rules): a new file is "added" once its writer has closed it; renames come as
// an old-name record immediately followed by its new-name record; new and
// moved-in directories are watched and scanned at once; a lost batch
// (queue overflow) completes the armed read with 0 bytes, which the caller
// must treat as "everything may have changed". Names of the module's own
// short-lived files (os/temp_name.h) are never reported, and those that a
// killed module left in a directory it scans are removed (os/temp_files.h).
//
// Threads: a port and its handles belong to one thread (the watch thread),
// except CompletionPort::Post, which any thread may call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "strandel/strandel.h"

// The Windows values, under the names Windows gives them; there they come
// from <windows.h>.
#ifndef _WIN32
inline constexpr DWORD FILE_ACTION_ADDED = 1;
inline constexpr DWORD FILE_ACTION_REMOVED = 2;
inline constexpr DWORD FILE_ACTION_MODIFIED = 3;
inline constexpr DWORD FILE_ACTION_RENAMED_OLD_NAME = 4;
inline constexpr DWORD FILE_ACTION_RENAMED_NEW_NAME = 5;

struct FILE_NOTIFY_INFORMATION {
  DWORD NextEntryOffset;  // bytes to the next record; 0 in the last one
  DWORD Action;
  DWORD FileNameLength;  // in bytes, without a terminator
  wchar_t FileName[1];
};
#endif

namespace os {

class DirectoryHandle;

class CompletionPort {
 public:
  CompletionPort();
  ~CompletionPort();
  CompletionPort(const CompletionPort&) = delete;
  CompletionPort& operator=(const CompletionPort&) = delete;

  // False when the inotify instance or the wake-up descriptor could not be
  // made (the last error says why; EMFILE on inotify means the per-user
  // instance limit).
  bool IsValid() const;

  // Any thread. The packet comes out of Dequeue after the packets before it.
  bool Post(uintptr_t key, DWORD bytes);

  // Waits up to timeout_ms (INFINITE: no limit) for the next packet. True with
  // the packet's key and byte count; false on time-out or failure (last error:
  // WAIT_TIMEOUT or the failure's code).
  bool Dequeue(DWORD* bytes, uintptr_t* key, DWORD timeout_ms);

  struct Impl;
  Impl* impl() { return impl_.get(); }

 private:
  std::unique_ptr<Impl> impl_;
};

class DirectoryHandle {
 public:
  // Opens an existing directory for watching; null when it is not one or
  // cannot be read (last error set).
  static std::unique_ptr<DirectoryHandle> Open(const std::wstring& path);
  ~DirectoryHandle();  // removes the watches; a read still armed never completes
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;

  // Watches the subtree in port's inotify instance; completions carry key.
  // False when the directory cannot be watched (the watch limit, ENOSPC,
  // is traced with the limit's name and value and the directory).
  bool Associate(CompletionPort& port, uintptr_t key);

  // Arms one read: the next changes fill buffer (zeroed by the caller) and a
  // packet with the handle's key and the byte count is queued on the port.
  // Changes that come while no read is armed wait for the next one; records
  // that do not fit wait for the next read too.
  bool Read(void* buffer, DWORD length);

  const std::wstring& Path() const;

  // The watch limit refused a watch for the directory or a directory below
  // it at some point since it was opened: part of it is not watched.
  bool WatchLimitReached() const;

  // The watched directory itself was deleted, moved elsewhere or its volume
  // unmounted: an armed read then completes with 0 bytes and nothing more
  // will come. (A 0-byte completion on a handle that is not gone is a lost
  // batch.)
  bool IsGone() const;

  // What the path shows may no longer be what is watched: a volume was
  // mounted on the directory or below it. The tree is watched again as it
  // stands, and the armed read completes as a lost batch, since nothing the
  // volume holds was ever reported. Nothing happens once the handle is gone.
  void Rewatch();

  struct Impl;

 private:
  explicit DirectoryHandle(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace os
