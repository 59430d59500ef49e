#include "store/record_database.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <variant>

#include "os/text.h"
#include "test_support.h"

namespace {

class RecordStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Opened the way the controller opens Strandel.db at start-up.
    CRecordDatabase temporary(dir_.wstr() + L"/Strandel.db");
    store_.openFrom(temporary);
    ASSERT_FALSE(store_.isClosed());
    raw_.open((dir_.str() + "/Strandel.db").c_str());
  }

  std::string Sql(const std::string& sql, const char* null_value = "NULL") {
    CppSQLite3Query q = raw_.query(sql.c_str());
    return q.atEnd() ? "no row" : q.textField(0, null_value);
  }

  testing_support::TempDir dir_;
  CRecordDatabase store_;
  CppSQLite3Database raw_;  // a second connection, to see what reached the file
};

TEST_F(RecordStoreTest, MissingTableIsCreatedWithSerialAndPlaceholderOnly) {
  EXPECT_EQ(store_.recordCount(L"Tasks"), 0);
  EXPECT_EQ(Sql("SELECT sql FROM sqlite_master WHERE name='Tasks'"),
            "CREATE TABLE Tasks (SN  INTEGER  PRIMARY KEY  AUTOINCREMENT, InternalUsed INTEGER)");
  EXPECT_FALSE(store_.getTable(L"Tasks").isMissing());
}

TEST_F(RecordStoreTest, PositionsPastTheEndAppendAndSerialsAreNeverReused) {
  CRecord first = store_.getRecord(L"T", 0);
  ASSERT_FALSE(first.isEmpty());
  EXPECT_EQ(first.serial(), 1);
  EXPECT_EQ(first.getInteger(L"InternalUsed"), 1);
  EXPECT_EQ(store_.getRecord(L"T", store_.recordCount(L"T")).serial(), 2);
  EXPECT_EQ(store_.getRecord(L"T", 1).serial(), 2);  // count - 1: the last row
  EXPECT_EQ(store_.recordCount(L"T"), 2);

  EXPECT_TRUE(store_.deleteRecord(L"T", 2));
  EXPECT_FALSE(store_.deleteRecord(L"T", 2));
  EXPECT_FALSE(store_.deleteRecord(L"T", 77));
  EXPECT_EQ(store_.getRecord(L"T", 1).serial(), 3);

  // A read past the end must not grow the table.
  EXPECT_EQ(store_.getText(L"T", 2, L"InternalUsed"), L"");
  EXPECT_EQ(store_.getText(L"T", -1, L"InternalUsed"), L"");
  EXPECT_EQ(store_.recordCount(L"T"), 2);
}

TEST_F(RecordStoreTest, SettersAddTypedColumnsAndRefreshTheRecord) {
  ASSERT_TRUE(store_.setText(L"Cfg", 0, L"NAME", L"alpha"));
  ASSERT_TRUE(store_.setText(L"Cfg", 0, L"NAME", L"beta"));  // its ALTER fails; no matter
  ASSERT_TRUE(store_.setInteger(L"Cfg", 1, L"MAXAGE", -5));  // index == count: a new row
  EXPECT_EQ(Sql("SELECT group_concat(name || ':' || type) FROM pragma_table_info('Cfg')"),
            "SN:INTEGER,InternalUsed:INTEGER,NAME:TEXT,MAXAGE:INTEGER");
  EXPECT_EQ(store_.getText(L"Cfg", 0, L"NAME"), L"beta");
  EXPECT_EQ(store_.getText(L"Cfg", 1, L"NAME"), L"");  // NULL
  EXPECT_EQ(store_.getRecord(L"Cfg", 1).getInteger(L"MAXAGE"), -5);

  CRecord record = store_.getRecord(L"Cfg", 0);
  EXPECT_TRUE(record.setInteger(L"MAXAGE", 30));
  EXPECT_TRUE(record.SetValue(L"NAME", L"it's; DROP TABLE Cfg"));
  EXPECT_EQ(record.getInteger(L"MAXAGE"), 30);
  EXPECT_EQ(record.getText(L"NAME"), L"it's; DROP TABLE Cfg");
  EXPECT_EQ(Sql("SELECT NAME FROM Cfg WHERE SN=1"), "it's; DROP TABLE Cfg");
  EXPECT_FALSE(record.setInteger(L"no such column!", 1));
}

TEST_F(RecordStoreTest, WritesToAVanishedRowFailAndChangeNothing) {
  ASSERT_TRUE(store_.setText(L"T", 0, L"NAME", L"kept"));
  CRecord stale = store_.getRecord(L"T", 0);
  CRecord doomed = store_.getRecord(L"T", 0);
  ASSERT_TRUE(doomed.remove());
  EXPECT_FALSE(doomed.remove());
  EXPECT_FALSE(stale.setInteger(L"N", 1));
  EXPECT_FALSE(stale.SetValue(L"NAME", L"new"));
  EXPECT_EQ(stale.getText(L"NAME"), L"kept");
  EXPECT_EQ(store_.recordCount(L"T"), 0);
  EXPECT_TRUE(CRecord(&raw_, "T", 1).isEmpty());

  CRecord moved(std::move(stale));
  EXPECT_TRUE(stale.isEmpty());
  EXPECT_EQ(moved.getText(L"NAME"), L"kept");
}

TEST_F(RecordStoreTest, ValuesKeepTheirStorageTypeAndBooleansReadLeniently) {
  const wchar_t* texts[] = {L"yes", L"TRUE", L"1", L"2", L"no", L""};
  for (const wchar_t* text : texts) {
    ASSERT_TRUE(store_.setText(L"B", store_.recordCount(L"B"), L"FLAG", text));
  }
  ASSERT_TRUE(store_.setInteger(L"B", store_.recordCount(L"B"), L"NUM", 2));
  const BOOL expected[] = {1, 1, 1, 0, 0, 0};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(store_.getRecord(L"B", i).getBool(L"FLAG"), expected[i]) << i;
  }

  CRecord last = store_.getRecord(L"B", 6);
  RecordValue value;
  EXPECT_EQ(last.getBool(L"NUM"), 2);
  ASSERT_EQ(last.getValue(L"NUM", &value), S_OK);
  EXPECT_EQ(std::get<int32_t>(value), 2);
  ASSERT_EQ(last.getValue(L"FLAG", &value), S_OK);  // NULL reads as empty text
  EXPECT_EQ(std::get<std::wstring>(value), L"");
  EXPECT_EQ(last.getValue(L"ABSENT", &value), E_FAIL);
  EXPECT_EQ(last.getBool(L"ABSENT"), 0);
  EXPECT_EQ(last.getInteger(L"FLAG"), 0);
}

TEST_F(RecordStoreTest, TextRoundTripsEveryCodePointAndRawByte) {
  // U+DC80..U+DCFF stand for bytes that are not UTF-8 in a file name.
  const std::wstring text = std::wstring(L"\u00dcber/\u6771\u4eac/\U0001F600/") + L"\xDCFF";
  ASSERT_TRUE(store_.setText(L"T", 0, L"PATH", text));
  EXPECT_EQ(store_.getText(L"T", 0, L"PATH"), text);
  EXPECT_EQ(Sql("SELECT hex(PATH) FROM T"), "C39C6265722FE69DB1E4BAAC2FF09F98802FFF");
}

TEST_F(RecordStoreTest, LongTableNamesAreNeverClipped) {
  const std::wstring table(200, L'L');
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(store_.setInteger(table, i, L"N", i + 100));
  EXPECT_EQ(store_.recordCount(table), 12);
  for (int i = 0; i < 12; ++i) {
    CRecord record = store_.getRecord(table, i);
    EXPECT_EQ(record.serial(), i + 1);
    EXPECT_EQ(record.getInteger(L"N"), i + 100);
  }
}

TEST_F(RecordStoreTest, DeleteWhereRemovesMatchingRowsAndIgnoresBadClauses) {
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(store_.setInteger(L"Log", i, L"AGE", i));
  store_.deleteWhere(L"Log", L"AGE >= 2");
  store_.deleteWhere(L"Log", L"NOPE = 1");
  store_.deleteWhere(L"Absent", L"1");
  EXPECT_EQ(store_.recordCount(L"Log"), 2);
  EXPECT_EQ(store_.getRecord(L"Log", 1).getInteger(L"AGE"), 1);
}

TEST_F(RecordStoreTest, FailuresAreTraced) {
  testing_support::TraceCapture trace;
  EXPECT_FALSE(store_.setText(L"T", 0, L"bad name", L"v"));
  EXPECT_TRUE(trace.Contains("[Strandel]SetValue(bad name v) failed"));
  CRecord orphan(&raw_, "NoSuchTable", 1);
  EXPECT_TRUE(orphan.isEmpty());
  EXPECT_TRUE(trace.Contains("[Strandel] m_pDB->execQuery() failed LINE:748"));
}

TEST(RecordStoreClosedTest, ClosedStoreAnswersNeutrally) {
  testing_support::TempDir dir;
  CRecordDatabase never_opened;
  CRecordDatabase store;
  store.openFrom(never_opened);
  EXPECT_TRUE(store.isClosed());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  CRecordDatabase bad(dir.wstr() + L"/missing/Strandel.db");
  EXPECT_TRUE(bad.isClosed());
  EXPECT_TRUE(bad.getTable(L"T").isMissing());
  EXPECT_EQ(bad.recordCount(L"T"), 0);
  EXPECT_TRUE(bad.getRecord(L"T", 0).isEmpty());
  EXPECT_FALSE(bad.setInteger(L"T", 0, L"N", 1));
  EXPECT_FALSE(bad.setText(L"T", 0, L"S", L"x"));
  EXPECT_EQ(bad.getText(L"T", 0, L"S"), L"");
  EXPECT_FALSE(bad.deleteRecord(L"T", 1));
  bad.deleteWhere(L"T", L"1");
  EXPECT_FALSE(CRecord().remove());
}

}  // namespace
