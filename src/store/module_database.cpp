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

// One column write: text or integer, in the order a procedure lists them.
struct ColumnWrite {
  const wchar_t* column;
  const std::wstring* text;  // null for an integer column
  int32_t number;
};

ColumnWrite Text(const wchar_t* column, const std::wstring& text) { return {column, &text, 0}; }
ColumnWrite Number(const wchar_t* column, int64_t value) {
  return {column, nullptr, static_cast<int32_t>(value)};
}

void WriteColumns(CRecordDatabase& db, int32_t position,
                  std::initializer_list<ColumnWrite> writes) {
  for (const ColumnWrite& w : writes) {
    if (w.text != nullptr) {
      db.setText(kTaskTable, position, w.column, *w.text);
    } else {
      db.setInteger(kTaskTable, position, w.column, w.number);
    }
  }
}

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

void ModuleDatabase::AddTask(const WatchTask& t) {
  CDatabaseLock lock(m_Lock);
  const int32_t count = m_Records.recordCount(kTaskTable);
  const int32_t position = count < 0 ? 0 : count;
  WriteColumns(m_Records, position,
               {Text(kName, t.strWatchTaskName),
                Text(kSource, t.strSourceDir),
                Text(kDest, t.strDestDir),
                Number(kBidirectional, t.bBidirectional),
                Number(kSetInclude, t.bSetInclude),
                Text(kInclude, t.strIncludeFilter),
                Number(kSetExclude, t.bSetExclude),
                Text(kExclude, t.strExcludeFilter),
                Number(kSyncNow, t.bSyncNow),
                Number(kNotWatchSubDir, t.bNotWatchSubDir),
                Number(kAddStrategy, t.enAddStrategy),
                Number(kDelStrategy, t.enDelStrategy),
                Number(kRenameStrategy, t.enRenameStrategy),
                Number(kEnableTimer, t.bEnableTimer),
                Number(kSupportUsb, t.bSupportUsb),
                Number(kSynctime, t.dwSynctime),
                Number(kTaskIndex, t.dwTaskIndex),
                Number(kFailReport, t.bFailReport),
                Text(kShareUser, t.strShareUserName),
                Text(kSharePassword, t.strShareUserPassword)});
}

void ModuleDatabase::RewriteTask(const WatchTask& t) {
  CDatabaseLock lock(m_Lock);
  const int32_t count = m_Records.recordCount(kTaskTable);
  int32_t position = 0;
  while (position < count &&
         static_cast<DWORD>(m_Records.getRecord(kTaskTable, position).getInteger(kTaskIndex)) !=
             t.dwTaskIndex) {
    ++position;
  }
  WriteColumns(m_Records, position,
               {Text(kName, t.strWatchTaskName),
                Text(kSource, t.strSourceDir),
                Text(kDest, t.strDestDir),
                Number(kBidirectional, t.bBidirectional),
                Number(kSetInclude, t.bSetInclude),
                Text(kInclude, t.strIncludeFilter),
                Number(kSetExclude, t.bSetExclude),
                Text(kExclude, t.strExcludeFilter),
                Number(kSyncNow, t.bSyncNow),
                Number(kNotWatchSubDir, t.bNotWatchSubDir),
                Number(kSupportUsb, t.bSupportUsb),
                Number(kFailReport, t.bFailReport),
                Number(kAddStrategy, t.enAddStrategy),
                Number(kDelStrategy, t.enDelStrategy),
                Number(kRenameStrategy, t.enRenameStrategy),
                Number(kTaskIndex, t.dwTaskIndex),
                Text(kShareUser, t.strShareUserName),
                Text(kSharePassword, t.strShareUserPassword),
                Number(kEnableTimer, t.bEnableTimer),
                Number(kSynctime, t.dwSynctime)});
}

ModuleDatabase::DeleteResult ModuleDatabase::DeleteTask(const std::wstring& name) {
  CDatabaseLock lock(m_Lock);
  const int32_t count = m_Records.recordCount(kTaskTable);
  int32_t position = 0;
  while (position < count && m_Records.getText(kTaskTable, position, kName) != name) ++position;
  const int32_t serial = m_Records.getRecord(kTaskTable, position).serial();
  if (!m_Records.deleteRecord(kTaskTable, serial)) {
    DebugTrace("[Strandel]DeleteRecord failed!");
    return DeleteResult::kFailed;
  }
  return position < count ? DeleteResult::kDeleted : DeleteResult::kNoRow;
}
