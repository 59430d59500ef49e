// The module's database file, Strandel.db in the data directory, with its lock
// and the task table "WATCH_TASK_LIST": opening (with the checks that keep a
// user's unrelated or damaged file untouched) and the task procedures.
//
// Threads: every procedure takes the database lock itself (it is re-entrant,
// so a caller may hold it around several). Open and Close belong to the
// controller thread; the procedures may be called from any thread once open.
#pragma once

#include <string>
#include <vector>

#include "os/named_mutex.h"
#include "store/record_database.h"
#include "store/watch_task.h"

inline constexpr const wchar_t* kTaskTable = L"WATCH_TASK_LIST";

class ModuleDatabase {
 public:
  // data_dir ends with a separator, or is empty for the current directory.
  explicit ModuleDatabase(const std::wstring& data_dir);
  ModuleDatabase(const ModuleDatabase&) = delete;
  ModuleDatabase& operator=(const ModuleDatabase&) = delete;

  // Opens data_dir + "Strandel.db", creating it (mode 0600) when absent. A
  // file that is not a usable database stays as it is and the store stays
  // closed; *reason then says why (the file's path is in the text).
  bool Open(std::string* reason);
  bool IsOpen();
  void Close();

  os::NamedMutex& Lock() { return m_Lock; }
  CRecordDatabase& Records() { return m_Records; }
  // UTF-8 path of the database file.
  const std::string& FilePath() const { return m_strFilePath; }

  // The task procedures. Count is 0 while the store is closed.
  DWORD CountTasks();
  // Every row in table order; empty (with a trace) when there is none.
  std::vector<WatchTask> LoadTasks();
  // The row at position; false when position is outside the table.
  bool ReadTask(int32_t position, WatchTask* task);
  // Each writes the whole row or nothing; false when the store refused a
  // write (closed, full, locked, read-only) and nothing was changed.
  bool AddTask(const WatchTask& task);
  // Rewrites the first row carrying task.dwTaskIndex, or appends one.
  bool RewriteTask(const WatchTask& task);
  // Deletes the first row named exactly name (letter case counts). kFailed
  // also when the store is closed.
  enum class DeleteResult { kDeleted, kNoRow, kFailed };
  DeleteResult DeleteTask(const std::wstring& name);

 private:
  const std::string m_strDirectory;  // UTF-8
  const std::string m_strFilePath;   // UTF-8
  os::NamedMutex m_Lock;
  CRecordDatabase m_Records;
};
