// A Strandel.db made by the store itself, whose rows another program then
// filled with hostile values (wrong types, NULLs, huge text, negative and
// huge integers, invalid UTF-8, odd serials), read the way a module start and
// the command line read it: the history (`log`), the task store and the
// checks of an add over what it loaded, `list` without a daemon, and the
// history's retention.
#include <sqlite3.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "control/task_rules.h"
#include "fuzz_support.h"
#include "history.h"
#include "store/module_database.h"
#include "store/sync_log_recorder.h"
#include "store/sync_log_retention.h"
#include "store_tasks.h"
#include "task_format.h"

namespace {

const char* const kTables[] = {"WATCH_TASK_LIST", "SyncLog", "SyncConfig"};
const int64_t kEdges[] = {0,
                          1,
                          -1,
                          2,
                          3,
                          std::numeric_limits<int32_t>::min(),
                          std::numeric_limits<int32_t>::max(),
                          int64_t{1} << 31,
                          int64_t{1} << 32,
                          std::numeric_limits<int64_t>::min(),
                          std::numeric_limits<int64_t>::max()};
constexpr std::size_t kHuge = std::size_t{1} << 16;  // past any path, name or database page

struct Template {
  std::filesystem::path dir;
  std::filesystem::path db;
  std::string bytes;                              // the database as the store left it
  std::vector<std::vector<std::string>> columns;  // of each of kTables
};

std::vector<std::string> ColumnsOf(sqlite3* db, const std::string& table) {
  std::vector<std::string> names;
  sqlite3_stmt* info = nullptr;
  sqlite3_prepare_v2(db, ("PRAGMA table_info(" + table + ")").c_str(), -1, &info, nullptr);
  while (sqlite3_step(info) == SQLITE_ROW) {
    names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(info, 1)));
  }
  sqlite3_finalize(info);
  return names;
}

// Every table and column as the module makes them: a task added, a history
// entry written, the retention settings stored.
const Template& MakeTemplate() {
  static const fuzz::ScratchDir scratch;
  static const Template made = [] {
    Template t;
    t.dir = scratch.path();
    t.db = t.dir / "Strandel.db";
    ModuleDatabase database(scratch.wide() + L"/");
    std::string reason;
    if (!database.Open(&reason)) std::abort();
    WatchTask task;
    task.strWatchTaskName = L"docs";
    task.strSourceDir = L"/home/u/docs";
    task.strDestDir = L"/backup/docs";
    task.dwTaskIndex = 20000;
    if (!database.AddTask(task)) std::abort();
    {
      SyncLogRecorder recorder(database.FilePath(), database.Lock());
      recorder.Record(TaskAddedEntry(task));
      recorder.Flush();
    }
    RunSyncLogRetention(database);
    database.Close();
    std::ifstream in(t.db, std::ios::binary);
    t.bytes.assign(std::istreambuf_iterator<char>(in), {});
    sqlite3* db = nullptr;
    sqlite3_open(t.db.c_str(), &db);
    for (const char* table : kTables) t.columns.push_back(ColumnsOf(db, table));
    sqlite3_close(db);
    return t;
  }();
  return made;
}

void BindHostile(FuzzedDataProvider& data, sqlite3_stmt* statement, int at) {
  switch (data.ConsumeIntegralInRange(0, 6)) {
    case 0:
      sqlite3_bind_null(statement, at);
      break;
    case 1:
      sqlite3_bind_int64(statement, at, data.PickValueInArray(kEdges));
      break;
    case 2:
      sqlite3_bind_int64(statement, at, data.ConsumeIntegral<int64_t>());
      break;
    case 3:
      sqlite3_bind_double(statement, at, data.ConsumeFloatingPoint<double>());
      break;
    case 4: {
      // Any bytes, NULs and invalid UTF-8 included.
      const std::string text = data.ConsumeRandomLengthString(256);
      sqlite3_bind_text(statement, at, text.data(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT);
      break;
    }
    case 5: {
      std::string huge = data.ConsumeRandomLengthString(8);
      if (huge.empty()) huge = "/";
      while (huge.size() < kHuge) huge += huge;
      sqlite3_bind_text(statement, at, huge.data(), static_cast<int>(huge.size()),
                        SQLITE_TRANSIENT);
      break;
    }
    case 6: {
      const std::string blob = data.ConsumeRandomLengthString(64);
      sqlite3_bind_blob(statement, at, blob.data(), static_cast<int>(blob.size()),
                        SQLITE_TRANSIENT);
      break;
    }
  }
}

// Inserts rows, or changes one value of a row, as the input says. Statements
// the schema refuses (a serial that is not an integer) change nothing.
void Poison(FuzzedDataProvider& data, const Template& t) {
  sqlite3* db = nullptr;
  if (sqlite3_open(t.db.c_str(), &db) != SQLITE_OK) std::abort();
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (int op = 0; op < 64 && data.remaining_bytes() > 0; ++op) {
    const std::size_t table = data.ConsumeIntegralInRange<std::size_t>(0, std::size(kTables) - 1);
    const std::vector<std::string>& columns = t.columns[table];
    const std::string& column =
        columns[data.ConsumeIntegralInRange<std::size_t>(0, columns.size() - 1)];
    const std::string sql =
        data.ConsumeBool()
            ? "INSERT INTO " + std::string(kTables[table]) + " (" + column + ") VALUES (?1)"
            : "UPDATE " + std::string(kTables[table]) + " SET " + column +
                  " = ?1 WHERE rowid = (SELECT rowid FROM " + kTables[table] +
                  " LIMIT 1 OFFSET ?2)";
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) std::abort();
    BindHostile(data, statement, 1);
    sqlite3_bind_int(statement, 2, data.ConsumeIntegralInRange(0, 3));
    sqlite3_step(statement);
    sqlite3_finalize(statement);
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

host::HistoryQuery ConsumeQuery(FuzzedDataProvider& data) {
  host::HistoryQuery query;
  if (data.ConsumeBool()) query.task = data.ConsumeRandomLengthString(16);
  if (data.ConsumeBool()) query.since_utc = data.ConsumeRandomLengthString(24);
  query.failed_only = data.ConsumeBool();
  query.after_sn = data.PickValueInArray(kEdges);
  query.limit = data.ConsumeIntegralInRange(-1, 3);
  return query;
}

void ReadAsTheModuleAndTheCommandLineDo(const host::HistoryQuery& query, const Template& t) {
  std::string error;
  const std::vector<host::HistoryRow> rows = host::ReadHistory(t.db, query, &error);
  for (const host::HistoryRow& row : rows) host::HistoryLine(row);
  host::HistoryJson(rows);

  host::StoreTasks store(t.dir);
  if (store.Open(&error)) {
    const std::vector<host::TaskRecord> records = store.List();
    host::TaskTable(records);
    host::TasksJson(records);
    for (const host::TaskRecord& record : records) host::TaskDetails(record);
  }

  ModuleDatabase database(os::FromUtf8(t.dir.string() + "/"));
  if (!database.Open(&error)) return;
  WatchTaskMap map;
  TaskIndexCounter indexes;
  LoadTaskMap(database.LoadTasks(), map, indexes);
  WatchTask added;
  added.strWatchTaskName = L"new";
  added.strSourceDir = L"/backup/docs";
  added.strDestDir = L"/home/u/docs/in";
  CheckAddedTask(added, map);
  RunSyncLogRetention(database);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  const Template& t = MakeTemplate();
  FuzzedDataProvider data(bytes, size);
  // The same file every time, rewritten: nothing piles up in the scratch directory.
  for (const char* suffix : {"-wal", "-shm"}) {
    std::filesystem::remove(t.db.string() + suffix);
  }
  std::ofstream(t.db, std::ios::binary | std::ios::trunc) << t.bytes;
  const host::HistoryQuery query = ConsumeQuery(data);
  Poison(data, t);
  ReadAsTheModuleAndTheCommandLineDo(query, t);
  return 0;
}
