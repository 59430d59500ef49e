// The sync history: retention and its purge, and the recorder's queue, groups, stamps and text.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "os/named_mutex.h"
#include "os/text.h"
#include "sql_rows.h"
#include "store/module_database.h"
#include "store/sync_log_recorder.h"
#include "store/sync_log_retention.h"
#include "test_support.h"

#ifdef _WIN32
// The C runtime of Windows names these differently.
static int setenv(const char* name, const char* value, int) { return _putenv_s(name, value); }
static int unsetenv(const char* name) { return _putenv_s(name, ""); }
#endif

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr long kDay = 24 * 60 * 60;

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
  void Sql(const std::string& sql) { Execute(db_.FilePath(), sql); }
  // Writes one entry per info text through the recorder, in order, then
  // moves each the given number of seconds into the past.
  void RecordEntries(const std::vector<std::pair<std::string, long>>& entries) {
    {
      SyncLogRecorder recorder(db_.FilePath(), db_.Lock());
      for (const auto& [info, age] : entries) recorder.Record(Entry(os::FromUtf8(info)));
      recorder.Flush();
      EXPECT_EQ(recorder.Dropped(), 0u);
    }
    for (const auto& [info, age] : entries) {
      Sql("UPDATE SyncLog SET lDateTime = datetime('now', '-" + std::to_string(age) +
          " seconds') WHERE lInfo = '" + info + "'");
    }
  }
  void Set(const std::string& name, long value) {
    Sql("UPDATE SyncConfig SET lConfigValue = " + std::to_string(value) + " WHERE lConfigName = '" +
        name + "'");
  }
  std::vector<std::string> Settings() {
    return Query("SELECT lConfigName, lConfigValue, typeof(lConfigValue) FROM SyncConfig");
  }
  std::vector<std::string> Infos() { return Query("SELECT lInfo FROM SyncLog ORDER BY SN"); }

  testing_support::TempDir dir_;
  ModuleDatabase db_{dir_.wstr() + L"/"};
};

TEST_F(SyncLogTest, DefaultsAreStoredOnceAndKeepAYearOfHistory) {
  RecordEntries({{"older than a year", 366 * kDay}, {"almost a year", 364 * kDay}, {"fresh", 0}});
  RunSyncLogRetention(db_);
  RunSyncLogRetention(db_);
  EXPECT_THAT(Settings(),
              ElementsAre("logreservedays|365|integer", "logreservenum|100000|integer"));
  EXPECT_THAT(Infos(), ElementsAre("almost a year", "fresh"));
}

TEST_F(SyncLogTest, StoredNamesMatchWhateverTheirCase) {
  Sql("CREATE TABLE SyncConfig (SN INTEGER PRIMARY KEY AUTOINCREMENT, InternalUsed INTEGER, "
      "lConfigName TEXT, lConfigValue INTEGER)");
  Sql("INSERT INTO SyncConfig (InternalUsed, lConfigName, lConfigValue) VALUES "
      "(1, 'LogReserveDays', 1), (1, 'unrelated', 7), (1, 'LOGRESERVENUM', 100000)");
  RecordEntries({{"two days old", 2 * kDay}, {"fresh", 0}});

  RunSyncLogRetention(db_);
  EXPECT_THAT(Settings(), ElementsAre("LogReserveDays|1|integer", "unrelated|7|integer",
                                      "LOGRESERVENUM|100000|integer"));
  // One day is in force: a year would have kept both.
  EXPECT_THAT(Infos(), ElementsAre("fresh"));
}

class OutOfRangeDaysTest : public SyncLogTest, public ::testing::WithParamInterface<int> {};

TEST_P(OutOfRangeDaysTest, LeaveTheYearInForceAndStayAsStored) {
  RunSyncLogRetention(db_);
  Set("logreservedays", GetParam());
  RecordEntries({{"370 days", 370 * kDay},
                 {"a year and a half day", 365 * kDay + kDay / 2},
                 {"100 days", 100 * kDay},
                 {"fresh", 0}});

  RunSyncLogRetention(db_);
  EXPECT_THAT(Infos(), ElementsAre("100 days", "fresh"));
  EXPECT_THAT(Settings(), ElementsAre("logreservedays|" + std::to_string(GetParam()) + "|integer",
                                      "logreservenum|100000|integer"));
}

INSTANTIATE_TEST_SUITE_P(Days, OutOfRangeDaysTest, ::testing::Values(0, 400, -1, 366));

class OutOfRangeCountTest : public SyncLogTest, public ::testing::WithParamInterface<int> {};

TEST_P(OutOfRangeCountTest, LeavesTheDefaultInForceAndStaysAsStored) {
  RunSyncLogRetention(db_);
  Set("logreservenum", GetParam());
  RecordEntries({{"newest", 0}});
  // 100001 older entries, a minute apart: with the recorder's, two more than
  // the default keeps, and one more than a stored 100001 would.
  Sql("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100001) "
      "INSERT INTO SyncLog (InternalUsed, lDateTime, lInfo) "
      "SELECT 1, datetime('now', '-' || i || ' minutes'), 'bulk ' || i FROM n");

  RunSyncLogRetention(db_);
  EXPECT_THAT(Query("SELECT count(*) FROM SyncLog"), ElementsAre("100000"));
  EXPECT_THAT(Query("SELECT lInfo FROM SyncLog WHERE lInfo IN ('newest', 'bulk 99999', "
                    "'bulk 100000', 'bulk 100001') ORDER BY SN"),
              ElementsAre("newest", "bulk 99999"));
  EXPECT_THAT(Settings(), ElementsAre("logreservedays|365|integer",
                                      "logreservenum|" + std::to_string(GetParam()) + "|integer"));
}

// A negative LIMIT would keep everything.
INSTANTIATE_TEST_SUITE_P(Counts, OutOfRangeCountTest, ::testing::Values(-5, 100001));

TEST_F(SyncLogTest, CountLimitKeepsTheNewestByTimeNotBySerialAndZeroKeepsNone) {
  RunSyncLogRetention(db_);  // makes SyncLog with SN and InternalUsed only
  Set("logreservenum", 2);
  // Each recorder finds the table it needs, the second one already complete.
  RecordEntries({{"a", 60}, {"b", 3 * 3600}});
  RecordEntries({{"c", 2 * 3600}, {"d", 4 * 3600}});
  RunSyncLogRetention(db_);
  EXPECT_THAT(Infos(), ElementsAre("a", "c"));

  Set("logreservenum", 0);
  RunSyncLogRetention(db_);
  EXPECT_THAT(Infos(), IsEmpty());
}

TEST_F(SyncLogTest, RecorderWritesEveryEntryInOrderVerbatimWithAUtcStamp) {
  SyncLogEntry entry;
  entry.strTaskName = L"Fotos \u5199\u771f";
  entry.strFromFile = L"/home/ann/Fotos/caf\u00e9.jpg";
  entry.strToFile = L"/mnt/usb/Fotos/caf\u00e9.jpg";
#ifdef _WIN32
  // A Windows name may hold a lone surrogate: it is kept in its three-byte form.
  entry.strChangedFile = L"Fotos/raw-\xD800.jpg";
  const std::string raw_hex = "466F746F732F7261772DEDA0802E6A7067";
#else
  // A Linux name may hold bytes that are not UTF-8: they are kept as they are.
  entry.strChangedFile = os::FromUtf8("Fotos/raw-\xff\xfe.jpg");
  const std::string raw_hex = "466F746F732F7261772DFFFE2E6A7067";
#endif
  entry.strNewFile = L"Fotos/it's; DROP TABLE SyncLog.jpg";
  entry.nAction = 4;
  entry.bSourceSide = TRUE;
  entry.strOperation = L"RenameFile";
  entry.nErrorNo = -2147483647;
  entry.strInfo = L"Cannot access:%s";
  // Far from UTC while recording, so that a local time stamp would stand out.
  const char* zone = std::getenv("TZ");
  const std::string saved = zone != nullptr ? zone : "";
  ::setenv("TZ", "XST-05:45", 1);
  ::tzset();
  {
    SyncLogRecorder recorder(db_.FilePath(), db_.Lock());
    recorder.Record(entry);
    for (int i = 1; i < 480; ++i) recorder.Record(Entry(L"%s %n %% #" + std::to_wstring(i), i));
    recorder.Flush();
    EXPECT_EQ(recorder.Dropped(), 0u);
    // What is still queued when the recorder ends is written too.
    for (int i = 480; i < 500; ++i) recorder.Record(Entry(L"queued", i));
  }
  zone != nullptr ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
  ::tzset();

  EXPECT_THAT(Query("SELECT lTaskName, lFromFile, lToFile, hex(lChangedFile), lNewFile, "
                    "lSourceDirChanged, lAction, lOperation, lErrorNO, lInfo, InternalUsed "
                    "FROM SyncLog WHERE SN = 1"),
              ElementsAre("Fotos \u5199\u771f|/home/ann/Fotos/caf\u00e9.jpg|"
                          "/mnt/usb/Fotos/caf\u00e9.jpg|" +
                          raw_hex +
                          "|Fotos/it's; DROP TABLE SyncLog.jpg|1|4|RenameFile|-2147483647|"
                          "Cannot access:%s|1"));
  // Table order is the order of recording.
  EXPECT_THAT(Query("SELECT count(*), sum(lLineNO != SN - 1) FROM SyncLog"), ElementsAre("500|0"));
  // UTC, as SQLite's datetime() gives it.
  EXPECT_THAT(Query("SELECT count(*) FROM SyncLog WHERE lDateTime BETWEEN "
                    "datetime('now', '-120 seconds') AND datetime('now')"),
              ElementsAre("500"));
}

TEST_F(SyncLogTest, ABatchKeepsEveryEntryInOrderAndHasThemStoredWhenItEnds) {
  RunSyncLogRetention(db_);
  SyncLogRecorder recorder(db_.FilePath(), db_.Lock());
  const int total = static_cast<int>(SyncLogRecorder::kBatchRows) * 2 + 7;
  recorder.BeginBatch();
  recorder.BeginBatch();  // nested: only the outer end stores the rest
  recorder.Record(Entry(L"first", 0));
  // A flush asked for in the middle of a batch does not wait for its end.
  std::future<void> flushed = std::async(std::launch::async, [&] { recorder.Flush(); });
  ASSERT_EQ(flushed.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_THAT(Query("SELECT count(*) FROM SyncLog"), ElementsAre("1"));
  for (int i = 1; i < total; ++i) recorder.Record(Entry(L"batched", i));
  recorder.EndBatch();
  recorder.EndBatch();
  // Stored by the time the batch has ended, in the order of recording.
  EXPECT_THAT(Query("SELECT count(*), sum(lLineNO != SN - 1) FROM SyncLog"),
              ElementsAre(std::to_string(total) + "|0"));
  EXPECT_EQ(recorder.Dropped(), 0u);
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

TEST(SyncLogRecorderTest, UnopenableDatabaseCountsTheLostEntriesAndKeepsTrying) {
  testing_support::TempDir dir;
  const std::string missing = dir.str() + "/gone";
  os::NamedMutex lock(missing + "/Strandel.db.lock");
  SyncLogRecorder recorder(missing + "/Strandel.db", lock);
  for (int i = 0; i < 3; ++i) recorder.Record(Entry(L"lost", i));
  recorder.Flush();
  EXPECT_EQ(recorder.Dropped(), 3u);
  recorder.Record(Entry(L"lost too"));
  recorder.Flush();
  EXPECT_EQ(recorder.Dropped(), 4u);
  EXPECT_FALSE(std::filesystem::exists(missing));
}

}  // namespace
