// The eight change handlers: each applies one change record (added, modified,
// removed, renamed) seen on one side of a task to the other side. The first
// family (ApplyAdded ...) brings source changes to the destination; the twins
// (...Back) bring destination changes of a two-way task to the source. Every
// handler returns TRUE when the other side is now in step or nothing had to be
// done, FALSE when it failed; failures are written to the sync history first.
//
// Before the engine writes a path it announces it in the echo maps of
// WatchShared, so the watch thread drops the notification the write causes.
//
// Threads: called on the sync worker thread only; the task and record are the
// worker's own copies, with trailing separators already stripped from the
// task's directories. Holds no state of its own between calls.
#pragma once

#include <string>

#include "store/watch_task.h"
#include "sync/file_operations.h"
#include "watch/change_record.h"
#include "watch/watch_shared.h"

class ChangeHandlers {
 public:
  ChangeHandlers(SyncFileOperations& operations, WatchShared& shared)
      : m_Operations(operations), m_Shared(shared) {}

  BOOL ApplyAdded(const WatchTask& task, const ChangeRecord& record);
  BOOL ApplyAddedBack(const WatchTask& task, const ChangeRecord& record);
  // ApplyAdded's answer when the destination holds a different item of that
  // name: the add strategy decides.
  BOOL ApplyAddedExisting(const WatchTask& task, const ChangeRecord& record);

  BOOL ApplyModified(const WatchTask& task, const ChangeRecord& record);
  BOOL ApplyModifiedBack(const WatchTask& task, const ChangeRecord& record);

  BOOL ApplyRemoved(const WatchTask& task, const ChangeRecord& record);
  BOOL ApplyRemovedBack(const WatchTask& task, const ChangeRecord& record);

  BOOL ApplyRenamed(const WatchTask& task, const ChangeRecord& record);
  BOOL ApplyRenamedBack(const WatchTask& task, const ChangeRecord& record);

 private:
  BOOL Added(const WatchTask& task, const ChangeRecord& record, bool back);
  BOOL AddedExisting(const WatchTask& task, const ChangeRecord& record, bool back);
  BOOL Modified(const WatchTask& task, const ChangeRecord& record, bool back);
  BOOL Removed(const WatchTask& task, const ChangeRecord& record, bool back);
  BOOL Renamed(const WatchTask& task, const ChangeRecord& record, bool back);

  // Creates each missing level of relative under the target root, each like
  // its counterpart on the other side and announced in the add map first.
  // Failures are left to the copy that follows.
  void CreateMissingDirectories(const WatchTask& task, bool back, const std::wstring& relative);
  // Deletes one file for good, announced in the delete map; the entry is
  // withdrawn when the delete fails (last error set).
  BOOL DeleteFileAnnounced(const std::wstring& path, const std::wstring& task_name);
  // A rename announced in the rename map (key: to). Never replaces an item
  // already at to, unless both names are the same file (a letter-case rename
  // on a case-insensitive file system). On failure the entry is withdrawn and
  // *error holds the platform code.
  BOOL RenameAnnounced(const std::wstring& from, const std::wstring& to,
                       const std::wstring& task_name, DWORD* error);

  // A record whose name is empty would stand for the task's root itself.
  static bool NamesNothing(const std::wstring& relative);

  SyncFileOperations& m_Operations;
  WatchShared& m_Shared;
};

// Parent part of a relative name ("a/b/c.txt" -> "a/b"; "c.txt" -> "").
std::wstring ParentOfRelative(const std::wstring& relative);
