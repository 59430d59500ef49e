#include "store/sync_log_recorder.h"

#include <set>
#include <vector>

#include "os/system_info.h"
#include "os/text.h"
#include "platform/diag_log.h"
#include "store/database_lock.h"
#include "store/record_database.h"

namespace {

struct HistoryColumn {
  const char* name;
  const char* type;
};

constexpr HistoryColumn kColumns[] = {
    {"lDateTime", "TEXT"},
    {"lTaskName", "TEXT"},
    {"lFromFile", "TEXT"},
    {"lToFile", "TEXT"},
    {"lChangedFile", "TEXT"},
    {"lNewFile", "TEXT"},
    {"lSourceDirChanged", "INTEGER"},
    {"lAction", "INTEGER"},
    {"lOperation", "TEXT"},
    {"lErrorNO", "INTEGER"},
    {"lLineNO", "INTEGER"},
    {"lInfo", "TEXT"},
};

std::string InsertStatement() {
  std::string names = "InternalUsed";
  std::string params = "1";
  for (const HistoryColumn& c : kColumns) {
    names += std::string(",") + c.name;
    params += ",?";
  }
  return "INSERT INTO SyncLog (" + names + ") VALUES (" + params + ")";
}

}  // namespace

// The writer thread's connection and its one prepared insert.
class SyncLogRecorder::Writer {
 public:
  explicit Writer(const std::string& path) : m_Records(os::FromUtf8(path)) {}

  // Creates the table and the history columns that are missing, once.
  bool Prepare() {
    if (m_bPrepared) return true;
    if (m_Records.isClosed() || m_Records.getTable(L"SyncLog").isMissing()) return false;
    CppSQLite3Database& db = m_Records.connection();
    try {
      db.execute("PRAGMA synchronous=NORMAL");
      std::set<std::string> present;
      for (CppSQLite3Query q = db.query("PRAGMA table_info(SyncLog)"); !q.atEnd(); q.next()) {
        present.insert(q.textField("name"));
      }
      for (const HistoryColumn& c : kColumns) {
        if (present.count(c.name) == 0) {
          db.execute(
              ("ALTER TABLE SyncLog ADD COLUMN " + std::string(c.name) + " " + c.type).c_str());
        }
      }
      m_Insert = db.prepare(InsertStatement().c_str());
      m_bPrepared = true;
    } catch (const CppSQLite3Exception& e) {
      DebugTrace("[Strandel]WriteSyncLog cannot prepare the history table: %s", e.errorMessage());
    }
    return m_bPrepared;
  }

  // One transaction for the whole group.
  bool Write(const std::vector<Queued>& group) {
    CppSQLite3Database& db = m_Records.connection();
    try {
      db.execute("BEGIN IMMEDIATE");
      for (const Queued& q : group) {
        const SyncLogEntry& e = q.entry;
        int i = 0;
        m_Insert.bindText(++i, q.time.c_str());
        for (const std::wstring* text :
             {&e.strTaskName, &e.strFromFile, &e.strToFile, &e.strChangedFile, &e.strNewFile}) {
          m_Insert.bindText(++i, os::ToUtf8(*text).c_str());
        }
        m_Insert.bindInt(++i, e.bSourceSide);
        m_Insert.bindInt(++i, e.nAction);
        m_Insert.bindText(++i, os::ToUtf8(e.strOperation).c_str());
        m_Insert.bindInt(++i, e.nErrorNo);
        m_Insert.bindInt(++i, e.nLineNo);
        m_Insert.bindText(++i, os::ToUtf8(e.strInfo).c_str());
        m_Insert.execute();
        m_Insert.reset();
      }
      db.execute("COMMIT");
      return true;
    } catch (const CppSQLite3Exception& e) {
      DebugTrace("[Strandel]WriteSyncLog lost %zu entries: %s", group.size(), e.errorMessage());
      try {
        m_Insert.reset();
        db.execute("ROLLBACK");
      } catch (const CppSQLite3Exception&) {
        // No transaction was open: nothing to undo.
      }
      return false;
    }
  }

 private:
  CRecordDatabase m_Records;
  CppSQLite3Statement m_Insert;
  bool m_bPrepared = false;
};

SyncLogRecorder::SyncLogRecorder(std::string db_path, os::NamedMutex& lock)
    : m_strDbPath(std::move(db_path)), m_Lock(lock), m_Thread([this] { Run(); }) {}

SyncLogRecorder::~SyncLogRecorder() {
  {
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_bStop = true;
  }
  m_Changed.notify_all();
  m_Thread.join();
}

void SyncLogRecorder::Record(SyncLogEntry entry) {
  std::string time = os::UtcTimestampNow();
  {
    std::lock_guard<std::mutex> guard(m_Mutex);
    ++m_nRecorded;
    if (m_Queue.size() >= kMaxQueued) {
      ++m_nDropped;
      ++m_nDone;
      return;
    }
    m_Queue.push_back(Queued{std::move(time), std::move(entry)});
    if (!Due()) return;
  }
  m_Changed.notify_all();
}

bool SyncLogRecorder::Due() const {
  if (m_bStop) return true;
  if (m_Queue.empty()) return false;
  return m_nBatches == 0 || m_nFlushing > 0 || m_Queue.size() >= kBatchRows;
}

void SyncLogRecorder::Flush() {
  std::unique_lock<std::mutex> lock(m_Mutex);
  const uint64_t target = m_nRecorded;
  ++m_nFlushing;
  m_Changed.notify_all();
  m_Changed.wait(lock, [&] { return m_nDone >= target; });
  --m_nFlushing;
}

void SyncLogRecorder::BeginBatch() {
  std::lock_guard<std::mutex> guard(m_Mutex);
  ++m_nBatches;
}

void SyncLogRecorder::EndBatch() {
  {
    std::lock_guard<std::mutex> guard(m_Mutex);
    if (--m_nBatches > 0) return;
  }
  Flush();
}

uint64_t SyncLogRecorder::Dropped() const {
  std::lock_guard<std::mutex> guard(m_Mutex);
  return m_nDropped;
}

void SyncLogRecorder::Run() {
  std::unique_ptr<Writer> writer;
  std::vector<Queued> group;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_Mutex);
      m_Changed.wait(lock, [&] { return Due(); });
      if (m_Queue.empty()) return;  // stopping, and everything is written
      group.assign(std::make_move_iterator(m_Queue.begin()),
                   std::make_move_iterator(m_Queue.end()));
      m_Queue.clear();
    }
    bool written = false;
    {
      CDatabaseLock db_lock(m_Lock);
      if (!writer) writer = std::make_unique<Writer>(m_strDbPath);
      if (writer->Prepare()) {
        written = writer->Write(group);
      } else {
        writer.reset();  // try a fresh connection with the next group
      }
    }
    {
      std::lock_guard<std::mutex> guard(m_Mutex);
      m_nDone += group.size();
      if (!written) m_nDropped += group.size();
    }
    m_Changed.notify_all();
    group.clear();
  }
}
