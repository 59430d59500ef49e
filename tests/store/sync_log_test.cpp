#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "os/named_mutex.h"
#include "os/text.h"
#include "sql_rows.h"
#include "store/cppsqlite3.h"
#include "store/module_database.h"
#include "store/sync_log_recorder.h"
#include "store/sync_log_retention.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using testing_support::TempDir;

SyncLogEntry Entry(const std::wstring& info, int32_t line = 0) {
  SyncLogEntry entry;
  entry.strTaskName = L"Docs";
  entry.strOperation = L"SyncFinish";
  entry.nLineNo = line;
  entry.strInfo = info;
  return entry;
}

class SyncLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    ASSERT_TRUE(db_.Open(&reason)) << reason;
  }

  std::vector<std::string> Query(const std::string& sql) { return Rows(db_.FilePath(), sql); }
  void Execute(const std::string& sql) {
    CppSQLite3Database raw;
    raw.open(db_.FilePath().c_str());
    raw.execute(sql.c_str());
  }

  // Writes one entry per info text through the recorder, in order.
  void RecordEntries(const std::vector<std::wstring>& infos) {
    SyncLogRecorder recorder(db_.FilePath(), db_.Lock());
    for (const std::wstring& info : infos) recorder.Record(Entry(info));
    recorder.Flush();
    EXPECT_EQ(recorder.Dropped(), 0u);
  }
  // Moves the entry with this info text the given number of seconds into the past.
  void Age(const std::string& info, long seconds) {
    Execute("UPDATE SyncLog SET lDateTime = datetime('now', '-" + std::to_string(seconds) +
            " seconds') WHERE lInfo = '" + info + "'");
  }
  std::vector<std::string> Settings() {
    return Query("SELECT lConfigName, lConfigValue, typeof(lConfigValue) FROM SyncConfig");
  }
  std::vector<std::string> RemainingInfos() {
    return Query("SELECT lInfo FROM SyncLog ORDER BY SN");
  }

  static constexpr long kDay = 24 * 60 * 60;

  TempDir dir_;
  ModuleDatabase db_{dir_.wstr() + L"/"};
};

TEST_F(SyncLogTest, FreshDatabaseGetsTheDefaultsOnceAndABareHistoryTable) {
  RunSyncLogRetention(db_);
  EXPECT_THAT(Query("SELECT name || ':' || type FROM pragma_table_info('SyncConfig')"),
              ElementsAre("SN:INTEGER", "InternalUsed:INTEGER", "lConfigName:TEXT",
                          "lConfigValue:INTEGER"));
  EXPECT_THAT(Settings(),
              ElementsAre("logreservedays|365|integer", "logreservenum|100000|integer"));
  EXPECT_THAT(Query("SELECT name FROM pragma_table_info('SyncLog')"),
              ElementsAre("SN", "InternalUsed"));

  RunSyncLogRetention(db_);
  EXPECT_THAT(Settings(),
              ElementsAre("logreservedays|365|integer", "logreservenum|100000|integer"));
}

TEST_F(SyncLogTest, ClosedStoreIsLeftAlone) {
  db_.Close();
  RunSyncLogRetention(db_);
  EXPECT_THAT(Query("SELECT name FROM sqlite_master"), IsEmpty());
}

TEST_F(SyncLogTest, StoredNamesMatchWhateverTheirCase) {
  Execute(
      "CREATE TABLE SyncConfig (SN INTEGER PRIMARY KEY AUTOINCREMENT, InternalUsed INTEGER, "
      "lConfigName TEXT, lConfigValue INTEGER)");
  Execute(
      "INSERT INTO SyncConfig (InternalUsed, lConfigName, lConfigValue) VALUES "
      "(1, 'LogReserveDays', 1), (1, 'unrelated', 7), (1, 'LOGRESERVENUM', 100000)");
  RecordEntries({L"two days old", L"fresh"});
  Age("two days old", 2 * kDay);

  RunSyncLogRetention(db_);
  EXPECT_THAT(Settings(), ElementsAre("LogReserveDays|1|integer", "unrelated|7|integer",
                                      "LOGRESERVENUM|100000|integer"));
  // One day is in force: a year would have kept both.
  EXPECT_THAT(RemainingInfos(), ElementsAre("fresh"));
}

TEST_F(SyncLogTest, DefaultKeepsAYearOfHistory) {
  RecordEntries({L"older than a year", L"almost a year", L"fresh"});
  Age("older than a year", 366 * kDay);
  Age("almost a year", 364 * kDay);
  RunSyncLogRetention(db_);
  EXPECT_THAT(RemainingInfos(), ElementsAre("almost a year", "fresh"));
}

class OutOfRangeDaysTest : public SyncLogTest, public ::testing::WithParamInterface<int> {};

TEST_P(OutOfRangeDaysTest, LeaveTheYearInForceAndStayAsStored) {
  RunSyncLogRetention(db_);
  Execute("UPDATE SyncConfig SET lConfigValue = " + std::to_string(GetParam()) +
          " WHERE lConfigName = 'logreservedays'");
  RecordEntries({L"370 days", L"a year and a half day", L"100 days", L"fresh"});
  Age("370 days", 370 * kDay);
  Age("a year and a half day", 365 * kDay + kDay / 2);
  Age("100 days", 100 * kDay);

  RunSyncLogRetention(db_);
  EXPECT_THAT(RemainingInfos(), ElementsAre("100 days", "fresh"));
  EXPECT_THAT(Settings(), ElementsAre("logreservedays|" + std::to_string(GetParam()) + "|integer",
                                      "logreservenum|100000|integer"));
}

INSTANTIATE_TEST_SUITE_P(Days, OutOfRangeDaysTest, ::testing::Values(0, 400, -1, 366));

TEST_F(SyncLogTest, NegativeCountLeavesTheDefaultInForceAndStaysAsStored) {
  RunSyncLogRetention(db_);
  Execute("UPDATE SyncConfig SET lConfigValue = -5 WHERE lConfigName = 'logreservenum'");
  RecordEntries({L"a", L"b"});
  RunSyncLogRetention(db_);
  EXPECT_THAT(RemainingInfos(), ElementsAre("a", "b"));
  EXPECT_THAT(Settings(), ElementsAre("logreservedays|365|integer", "logreservenum|-5|integer"));
}

TEST_F(SyncLogTest, CountAboveTheMaximumLeavesTheDefaultInForce) {
  RunSyncLogRetention(db_);
  Execute("UPDATE SyncConfig SET lConfigValue = 100001 WHERE lConfigName = 'logreservenum'");
  RecordEntries({L"newest"});
  // 100001 older entries, a minute apart: with the recorder's, one too many
  // even for the stored limit.
  Execute(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100001) "
      "INSERT INTO SyncLog (InternalUsed, lDateTime, lInfo) "
      "SELECT 1, datetime('now', '-' || i || ' minutes'), 'bulk ' || i FROM n");

  RunSyncLogRetention(db_);
  EXPECT_THAT(Query("SELECT count(*) FROM SyncLog"), ElementsAre("100000"));
  EXPECT_THAT(Query("SELECT lInfo FROM SyncLog WHERE lInfo NOT LIKE 'bulk %'"),
              ElementsAre("newest"));
  EXPECT_THAT(Query("SELECT lInfo FROM SyncLog WHERE lInfo IN ('bulk 99999', 'bulk 100000', "
                    "'bulk 100001') ORDER BY SN"),
              ElementsAre("bulk 99999"));
  EXPECT_THAT(Settings(),
              ElementsAre("logreservedays|365|integer", "logreservenum|100001|integer"));
}

TEST_F(SyncLogTest, CountLimitKeepsTheNewestByTimeNotBySerial) {
  RunSyncLogRetention(db_);
  Execute("UPDATE SyncConfig SET lConfigValue = 2 WHERE lConfigName = 'logreservenum'");
  RecordEntries({L"a", L"b", L"c", L"d"});
  Age("a", 60);
  Age("b", 3 * 3600);
  Age("c", 2 * 3600);
  Age("d", 4 * 3600);
  RunSyncLogRetention(db_);
  EXPECT_THAT(RemainingInfos(), ElementsAre("a", "c"));
}

TEST_F(SyncLogTest, CountLimitZeroPurgesEverything) {
  RunSyncLogRetention(db_);
  Execute("UPDATE SyncConfig SET lConfigValue = 0 WHERE lConfigName = 'logreservenum'");
  RecordEntries({L"a", L"b", L"c"});
  RunSyncLogRetention(db_);
  EXPECT_THAT(RemainingInfos(), IsEmpty());
  EXPECT_THAT(Settings(), ElementsAre("logreservedays|365|integer", "logreservenum|0|integer"));
}

// Puts TZ back when the test is done.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    had_ = std::getenv("TZ") != nullptr;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (had_) {
      ::setenv("TZ", saved_.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

TEST_F(SyncLogTest, RecorderFillsEveryColumnFromTheEntry) {
  // Far from UTC, so that a local time stamp would stand out.
  ScopedTimeZone zone("XST-05:45");
  SyncLogEntry entry;
  entry.strTaskName = L"Fotos \u5199\u771f";
  entry.strFromFile = L"/home/ann/Fotos/caf\u00e9.jpg";
  entry.strToFile = L"/mnt/usb/Fotos/caf\u00e9.jpg";
  entry.strChangedFile = os::FromUtf8("Fotos/raw-\xff\xfe.jpg");
  entry.strNewFile = L"Fotos/it's; DROP TABLE SyncLog.jpg";
  entry.nAction = 4;
  entry.bSourceSide = TRUE;
  entry.strOperation = L"RenameFile";
  entry.nErrorNo = -2147483647;
  entry.nLineNo = 2210;
  entry.strInfo = L"Cannot access:%s";
  SyncLogEntry other = Entry(L" ", 7);
  other.nErrorNo = 0;
  {
    SyncLogRecorder recorder(db_.FilePath(), db_.Lock());
    recorder.Record(entry);
    recorder.Record(other);
    recorder.Flush();
    EXPECT_EQ(recorder.Dropped(), 0u);
  }
  EXPECT_THAT(Query("SELECT lTaskName, lFromFile, lToFile, hex(lChangedFile), lNewFile, "
                    "lSourceDirChanged, lAction, lOperation, lErrorNO, lLineNO, lInfo, "
                    "InternalUsed FROM SyncLog ORDER BY SN"),
              ElementsAre("Fotos \u5199\u771f|/home/ann/Fotos/caf\u00e9.jpg|"
                          "/mnt/usb/Fotos/caf\u00e9.jpg|466F746F732F7261772DFFFE2E6A7067|"
                          "Fotos/it's; DROP TABLE SyncLog.jpg|1|4|RenameFile|-2147483647|2210|"
                          "Cannot access:%s|1",
                          "Docs|||||0|0|SyncFinish|0|7| |1"));
  const std::vector<std::string> stamps = Query("SELECT lDateTime FROM SyncLog");
  for (const std::string& stamp : stamps) {
    EXPECT_THAT(stamp, MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"));
  }
  // UTC, as SQLite's datetime() gives it.
  EXPECT_THAT(Query("SELECT count(*) FROM SyncLog WHERE lDateTime BETWEEN "
                    "datetime('now', '-120 seconds') AND datetime('now')"),
              ElementsAre("2"));
}

TEST_F(SyncLogTest, RecorderWritesOneRowPerEntryInOrderAndTextVerbatim) {
  constexpr int kEntries = 500;
  {
    SyncLogRecorder recorder(db_.FilePath(), db_.Lock());
    for (int i = 0; i < kEntries; ++i) {
      recorder.Record(Entry(L"%s %d %n %ls %% #" + std::to_wstring(i), i));
    }
    recorder.Flush();
    EXPECT_EQ(recorder.Dropped(), 0u);
  }
  EXPECT_THAT(Query("SELECT count(*), count(DISTINCT lLineNO), min(lLineNO), max(lLineNO) "
                    "FROM SyncLog"),
              ElementsAre("500|500|0|499"));
  // Table order is the order of recording.
  EXPECT_THAT(Query("SELECT count(*) FROM SyncLog a JOIN SyncLog b ON a.SN < b.SN "
                    "WHERE a.lLineNO > b.lLineNO"),
              ElementsAre("0"));
  EXPECT_THAT(Query("SELECT lInfo FROM SyncLog WHERE lLineNO IN (0, 499) ORDER BY SN"),
              ElementsAre("%s %d %n %ls %% #0", "%s %d %n %ls %% #499"));
}

TEST_F(SyncLogTest, RecorderAddsTheHistoryColumnsOnceToABareTable) {
  RunSyncLogRetention(db_);
  ASSERT_THAT(Query("SELECT name FROM pragma_table_info('SyncLog')"),
              ElementsAre("SN", "InternalUsed"));
  for (const wchar_t* info : {L"first recorder", L"second recorder"}) {
    SyncLogRecorder recorder(db_.FilePath(), db_.Lock());
    recorder.Record(Entry(info));
    recorder.Flush();
    EXPECT_EQ(recorder.Dropped(), 0u) << os::ToUtf8(info);
  }
  EXPECT_THAT(Query("SELECT name || ':' || type FROM pragma_table_info('SyncLog')"),
              ElementsAre("SN:INTEGER", "InternalUsed:INTEGER", "lDateTime:TEXT", "lTaskName:TEXT",
                          "lFromFile:TEXT", "lToFile:TEXT", "lChangedFile:TEXT", "lNewFile:TEXT",
                          "lSourceDirChanged:INTEGER", "lAction:INTEGER", "lOperation:TEXT",
                          "lErrorNO:INTEGER", "lLineNO:INTEGER", "lInfo:TEXT"));
  EXPECT_THAT(RemainingInfos(), ElementsAre("first recorder", "second recorder"));
}

TEST_F(SyncLogTest, RecorderWritesWhatIsQueuedWhenItEnds) {
  {
    SyncLogRecorder recorder(db_.FilePath(), db_.Lock());
    for (int i = 0; i < 20; ++i) recorder.Record(Entry(L"queued", i));
  }
  EXPECT_THAT(Query("SELECT count(*) FROM SyncLog WHERE lInfo = 'queued'"), ElementsAre("20"));
}

TEST_F(SyncLogTest, RecordDoesNotWaitForTheDatabaseLock) {
  RunSyncLogRetention(db_);  // the table exists, so it can be counted while locked
  SyncLogRecorder recorder(db_.FilePath(), db_.Lock());

  std::promise<void> held;
  std::promise<void> release;
  std::future<void> released = release.get_future();
  bool holder_gave_up = false;
  std::thread holder([&] {
    db_.Lock().Lock();
    held.set_value();
    // Gives up after a while so that a Record that blocks fails the test
    // instead of hanging it.
    holder_gave_up = released.wait_for(std::chrono::seconds(20)) == std::future_status::timeout;
    db_.Lock().Unlock();
  });
  held.get_future().wait();

  for (int i = 0; i < 100; ++i) recorder.Record(Entry(L"while locked", i));
  std::future<void> flushed = std::async(std::launch::async, [&] { recorder.Flush(); });
  // Nothing may be written, nor the entries given up, while another holds the lock.
  EXPECT_EQ(flushed.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  EXPECT_THAT(Query("SELECT count(*) FROM SyncLog"), ElementsAre("0"));

  release.set_value();
  holder.join();
  EXPECT_FALSE(holder_gave_up);
  ASSERT_EQ(flushed.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(recorder.Dropped(), 0u);
  EXPECT_THAT(Query("SELECT count(*) FROM SyncLog WHERE lInfo = 'while locked'"),
              ElementsAre("100"));
}

TEST(SyncLogRecorderTest, UnopenableDatabaseCountsTheLostEntries) {
  TempDir dir;
  const std::string missing = dir.str() + "/gone";
  const std::string path = missing + "/Strandel.db";
  os::NamedMutex lock(path + ".lock");
  SyncLogRecorder recorder(path, lock);
  for (int i = 0; i < 3; ++i) recorder.Record(Entry(L"lost", i));
  recorder.Flush();
  EXPECT_EQ(recorder.Dropped(), 3u);
  // It keeps trying, and keeps counting.
  recorder.Record(Entry(L"lost too"));
  recorder.Flush();
  EXPECT_EQ(recorder.Dropped(), 4u);
  EXPECT_FALSE(fs::exists(missing));
}

}  // namespace
