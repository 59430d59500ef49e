#include "store/module_database.h"

#include "os/file_access.h"
#include "os/private_file.h"
#include "os/text.h"
#include "platform/diag_log.h"
#include "store/database_lock.h"

namespace {

constexpr const wchar_t* kName = L"WATCHTASKNAME";
constexpr const wchar_t* kSource = L"SOURCEDIRNAME";
constexpr const wchar_t* kDest = L"DESTDIRNAME";
constexpr const wchar_t* kBidirectional = L"ISBIDIRECTIONAL";
constexpr const wchar_t* kSetInclude = L"ISSETINCLUDE";
constexpr const wchar_t* kInclude = L"INCLUDEFILTER";
constexpr const wchar_t* kSetExclude = L"ISSETEXCLUDE";
constexpr const wchar_t* kExclude = L"EXCLUDEFILTER";
constexpr const wchar_t* kSyncNow = L"ISSYNCNOW";
constexpr const wchar_t* kNotWatchSubDir = L"NOTWATCHSUBDIR";
constexpr const wchar_t* kAddStrategy = L"ADDSTRATEGY";
constexpr const wchar_t* kDelStrategy = L"DELSTRATEGY";
constexpr const wchar_t* kRenameStrategy = L"RENAMESTRATEGY";
constexpr const wchar_t* kEnableTimer = L"ENABLETIMER";
constexpr const wchar_t* kSupportUsb = L"SUPPORTUSB";
constexpr const wchar_t* kSynctime = L"SYNCTIME";
constexpr const wchar_t* kTaskIndex = L"TASKINDEX";
constexpr const wchar_t* kFailReport = L"MFAILREPORT";
constexpr const wchar_t* kShareUser = L"SHAREUSERNAME";
constexpr const wchar_t* kSharePassword = L"SHAREUSERPASSWORD";

WatchTask ReadRow(const CRecord& row) {
  WatchTask task;
  task.strWatchTaskName = row.getText(kName);
  task.strSourceDir = row.getText(kSource);
  task.strDestDir = row.getText(kDest);
  task.bBidirectional = row.getBool(kBidirectional);
  task.bSetInclude = row.getBool(kSetInclude);
  task.strIncludeFilter = row.getText(kInclude);
  task.bSetExclude = row.getBool(kSetExclude);
  task.strExcludeFilter = row.getText(kExclude);
  task.bSyncNow = row.getBool(kSyncNow);
  task.bNotWatchSubDir = row.getBool(kNotWatchSubDir);
  task.bSupportUsb = row.getBool(kSupportUsb);
  task.enAddStrategy = static_cast<AddStrategy>(row.getInteger(kAddStrategy));
  task.enDelStrategy = static_cast<DelStrategy>(row.getInteger(kDelStrategy));
  task.enRenameStrategy = static_cast<RenameStrategy>(row.getInteger(kRenameStrategy));
  task.bEnableTimer = row.getBool(kEnableTimer);
  task.dwSynctime = static_cast<DWORD>(row.getInteger(kSynctime));
  task.dwTaskIndex = static_cast<DWORD>(row.getInteger(kTaskIndex));
  task.bFailReport = row.getBool(kFailReport);
  task.strShareUserName = row.getText(kShareUser);
  task.strShareUserPassword = row.getText(kSharePassword);
  return task;
}

// Where each stored column's value comes from: a text field, or a number.
struct StoredColumn {
  const wchar_t* name;
  std::wstring WatchTask::*text;        // null for an integer column
  int64_t (*number)(const WatchTask&);  // null for a text column
};

constexpr StoredColumn kStoredColumns[] = {
    {kName, &WatchTask::strWatchTaskName, nullptr},
    {kSource, &WatchTask::strSourceDir, nullptr},
    {kDest, &WatchTask::strDestDir, nullptr},
    {kBidirectional, nullptr, [](const WatchTask& t) -> int64_t { return t.bBidirectional; }},
    {kSetInclude, nullptr, [](const WatchTask& t) -> int64_t { return t.bSetInclude; }},
    {kInclude, &WatchTask::strIncludeFilter, nullptr},
    {kSetExclude, nullptr, [](const WatchTask& t) -> int64_t { return t.bSetExclude; }},
    {kExclude, &WatchTask::strExcludeFilter, nullptr},
    {kSyncNow, nullptr, [](const WatchTask& t) -> int64_t { return t.bSyncNow; }},
    {kNotWatchSubDir, nullptr, [](const WatchTask& t) -> int64_t { return t.bNotWatchSubDir; }},
    {kAddStrategy, nullptr, [](const WatchTask& t) -> int64_t { return t.enAddStrategy; }},
    {kDelStrategy, nullptr, [](const WatchTask& t) -> int64_t { return t.enDelStrategy; }},
    {kRenameStrategy, nullptr, [](const WatchTask& t) -> int64_t { return t.enRenameStrategy; }},
    {kEnableTimer, nullptr, [](const WatchTask& t) -> int64_t { return t.bEnableTimer; }},
    {kSupportUsb, nullptr, [](const WatchTask& t) -> int64_t { return t.bSupportUsb; }},
    {kSynctime, nullptr, [](const WatchTask& t) -> int64_t { return t.dwSynctime; }},
    {kTaskIndex, nullptr, [](const WatchTask& t) -> int64_t { return t.dwTaskIndex; }},
    {kFailReport, nullptr, [](const WatchTask& t) -> int64_t { return t.bFailReport; }},
    {kShareUser, &WatchTask::strShareUserName, nullptr},
    {kSharePassword, &WatchTask::strShareUserPassword, nullptr},
};

// Writes the task's columns at position, one statement sequence each, in the
// order given (the first write of a new row appends it). Stops at the first
// write that fails.
bool WriteColumns(CRecordDatabase& db, int32_t position, const WatchTask& task,
                  std::initializer_list<const wchar_t*> order) {
  for (const wchar_t* name : order) {
    for (const StoredColumn& column : kStoredColumns) {
      if (column.name != name) continue;
      const bool written = column.text != nullptr
                               ? db.setText(kTaskTable, position, name, task.*column.text)
                               : db.setInteger(kTaskTable, position, name,
                                               static_cast<int32_t>(column.number(task)));
      if (!written) return false;
    }
  }
  return true;
}

// The writes of one task as a whole: a row the host was told about is either
// all there or not there at all, never a half-written one that the next start
// would load as a task. Rolled back unless committed.
class TaskWrite {
 public:
  explicit TaskWrite(CRecordDatabase& db) : m_db(db) {
    try {
      m_db.connection().execute("BEGIN IMMEDIATE");
      m_bOpen = true;
    } catch (const CppSQLite3Exception& e) {
      DebugTrace("[Strandel]task write cannot begin: %s", e.errorMessage());
    }
  }
  ~TaskWrite() {
    if (!m_bOpen) return;
    try {
      m_db.connection().execute("ROLLBACK");
    } catch (const CppSQLite3Exception&) {
      // Nothing is left to undo when SQLite has rolled back already.
    }
  }
  TaskWrite(const TaskWrite&) = delete;
  TaskWrite& operator=(const TaskWrite&) = delete;

  bool IsOpen() const { return m_bOpen; }
  // With the writes' outcome: a failed one rolls everything back.
  bool Commit(bool written) {
    if (!m_bOpen || !written) return false;
    try {
      m_db.connection().execute("COMMIT");
      m_bOpen = false;
      return true;
    } catch (const CppSQLite3Exception& e) {
      DebugTrace("[Strandel]task write cannot commit: %s", e.errorMessage());
      return false;
    }
  }

 private:
  CRecordDatabase& m_db;
  bool m_bOpen = false;
};

}  // namespace

ModuleDatabase::ModuleDatabase(const std::wstring& data_dir)
    : m_strDirectory(os::ToUtf8(data_dir)),
      m_strFilePath(m_strDirectory + "Strandel.db"),
      m_Lock(m_strFilePath + ".lock") {}

bool ModuleDatabase::Open(std::string* reason) {
  CDatabaseLock lock(m_Lock);
  m_Records.close();
  const std::string where = m_strDirectory.empty() ? std::string(".") : m_strDirectory;
  if (!os::CanAccess(where, os::Access::kReadWrite)) {
    *reason = m_strFilePath + ": the data directory cannot be written";
    return false;
  }
  // Made here with mode 0600 so that SQLite never creates it with a wider one.
  os::CreatePrivateFileIfMissing(m_strFilePath);
  if (!os::CanAccess(m_strFilePath, os::Access::kReadWrite)) {
    *reason = m_strFilePath + ": the file cannot be read and written";
    return false;
  }
  try {
    // Reading the schema is what finds a file that is not a database; a
    // connection of its own gives SQLite's reason for any refusal.
    CppSQLite3Database check;
    check.open(m_strFilePath.c_str());
    check.queryScalar("SELECT count(*) FROM sqlite_master");
  } catch (const CppSQLite3Exception& e) {
    *reason = m_strFilePath + ": " + e.errorMessage();
    return false;
  }
  CRecordDatabase probe(os::FromUtf8(m_strFilePath));
  m_Records.openFrom(probe);
  try {
    CppSQLite3Database& db = m_Records.connection();
    // Task rows commit one by one and must survive a crash or a power cut;
    // the history recorder groups its own commits.
    db.execute("PRAGMA journal_mode=WAL");
    db.execute("PRAGMA synchronous=FULL");
    return true;
  } catch (const CppSQLite3Exception& e) {
    *reason = m_strFilePath + ": " + e.errorMessage();
  }
  m_Records.close();
  return false;
}

bool ModuleDatabase::IsOpen() {
  CDatabaseLock lock(m_Lock);
  return !m_Records.isClosed();
}

void ModuleDatabase::Close() {
  CDatabaseLock lock(m_Lock);
  m_Records.close();
}

DWORD ModuleDatabase::CountTasks() {
  CDatabaseLock lock(m_Lock);
  if (m_Records.isClosed()) return 0;
  const int32_t count = m_Records.recordCount(kTaskTable);
  return count > 0 ? static_cast<DWORD>(count) : 0;
}

std::vector<WatchTask> ModuleDatabase::LoadTasks() {
  std::vector<WatchTask> tasks;
  CDatabaseLock lock(m_Lock);
  const int32_t count = m_Records.recordCount(kTaskTable);
  if (count <= 0) {
    DebugTrace("[Strandel]StartWatchFileSys failed because of No record!");
    return tasks;
  }
  for (int32_t position = 0; position < count; ++position) {
    tasks.push_back(ReadRow(m_Records.getRecord(kTaskTable, position)));
  }
  return tasks;
}

bool ModuleDatabase::ReadTask(int32_t position, WatchTask* task) {
  CDatabaseLock lock(m_Lock);
  // Checked under the lock: a position at the end would append a blank row.
  if (position < 0 || position >= m_Records.recordCount(kTaskTable)) return false;
  const CRecord row = m_Records.getRecord(kTaskTable, position);
  if (row.isEmpty()) return false;
  *task = ReadRow(row);
  return true;
}

bool ModuleDatabase::AddTask(const WatchTask& t) {
  CDatabaseLock lock(m_Lock);
  if (m_Records.isClosed()) return false;
  TaskWrite write(m_Records);
  if (!write.IsOpen()) return false;
  const int32_t count = m_Records.recordCount(kTaskTable);
  const int32_t position = count < 0 ? 0 : count;
  // The order of a first add is the order the columns are created in.
  const bool written =
      WriteColumns(m_Records, position, t,
                   {kName,        kSource,      kDest,           kBidirectional, kSetInclude,
                    kInclude,     kSetExclude,  kExclude,        kSyncNow,       kNotWatchSubDir,
                    kAddStrategy, kDelStrategy, kRenameStrategy, kEnableTimer,   kSupportUsb,
                    kSynctime,    kTaskIndex,   kFailReport,     kShareUser,     kSharePassword});
  return write.Commit(written);
}

bool ModuleDatabase::RewriteTask(const WatchTask& t) {
  CDatabaseLock lock(m_Lock);
  if (m_Records.isClosed()) return false;
  TaskWrite write(m_Records);
  if (!write.IsOpen()) return false;
  const int32_t count = m_Records.recordCount(kTaskTable);
  int32_t position = 0;
  while (position < count &&
         static_cast<DWORD>(m_Records.getRecord(kTaskTable, position).getInteger(kTaskIndex)) !=
             t.dwTaskIndex) {
    ++position;
  }
  // The timer columns last, as ever; inside one transaction the order no longer shows.
  const bool written =
      WriteColumns(m_Records, position, t,
                   {kName,       kSource,     kDest,          kBidirectional, kSetInclude,
                    kInclude,    kSetExclude, kExclude,       kSyncNow,       kNotWatchSubDir,
                    kSupportUsb, kFailReport, kAddStrategy,   kDelStrategy,   kRenameStrategy,
                    kTaskIndex,  kShareUser,  kSharePassword, kEnableTimer,   kSynctime});
  return write.Commit(written);
}

ModuleDatabase::DeleteResult ModuleDatabase::DeleteTask(const std::wstring& name) {
  CDatabaseLock lock(m_Lock);
  if (m_Records.isClosed()) return DeleteResult::kFailed;
  const int32_t count = m_Records.recordCount(kTaskTable);
  int32_t position = 0;
  while (position < count && m_Records.getText(kTaskTable, position, kName) != name) ++position;
  // Reading at the end would append a blank row only to delete it again.
  if (position == count) return DeleteResult::kNoRow;
  const int64_t serial = m_Records.getRecord(kTaskTable, position).serial();
  if (!m_Records.deleteRecord(kTaskTable, serial)) {
    DebugTrace("[Strandel]DeleteRecord failed!");
    return DeleteResult::kFailed;
  }
  return DeleteResult::kDeleted;
}
