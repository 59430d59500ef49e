#include "store/cppsqlite3.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// Runs f, which must throw; returns the exception's message and code.
template <typename F>
std::pair<std::string, int> Thrown(F&& f) {
  try {
    f();
  } catch (const CppSQLite3Exception& e) {
    return {e.errorMessage(), e.errorCode()};
  }
  ADD_FAILURE() << "no CppSQLite3Exception";
  return {"", 0};
}

class SqliteLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.open(path_.c_str());
    db_.execute(
        "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT UNIQUE, n INTEGER, x REAL, b BLOB)");
    db_.execute("INSERT INTO t (name, n, x) VALUES ('one', 1, 1.5), ('two', NULL, NULL)");
  }

  testing_support::TempDir dir_;
  std::string path_ = dir_.str() + "/layer.db";
  CppSQLite3Database db_;
};

TEST(SqliteExceptionTest, FormatsCodeNameCodeAndDetail) {
  EXPECT_STREQ(CppSQLite3Exception(5, "database is locked").errorMessage(),
               "SQLITE_BUSY[5]: database is locked");
  EXPECT_STREQ(CppSQLite3Exception(266, "disk I/O error").errorMessage(),
               "UNKNOWN_ERROR[266]: disk I/O error");
  EXPECT_STREQ(CppSQLite3Exception(CPPSQLITE_ERROR, nullptr).errorMessage(),
               "CPPSQLITE_ERROR[1000]: ");

  auto* original = new CppSQLite3Exception(101, "finished");
  CppSQLite3Exception copy(*original);
  CppSQLite3Exception assigned(0, "x");
  assigned = *original;
  delete original;
  EXPECT_STREQ(copy.errorMessage(), "SQLITE_DONE[101]: finished");
  EXPECT_STREQ(assigned.what(), "SQLITE_DONE[101]: finished");
  EXPECT_EQ(assigned.errorCode(), 101);
}

TEST(SqliteDatabaseTest, ClosedConnectionRefusesEveryUse) {
  CppSQLite3Database db;
  const std::string not_open = "CPPSQLITE_ERROR[1000]: Database not open";
  EXPECT_EQ(Thrown([&] { db.execute("SELECT 1"); }).first, not_open);
  EXPECT_EQ(Thrown([&] { db.query("SELECT 1"); }).first, not_open);
  EXPECT_EQ(Thrown([&] { db.prepare("SELECT 1"); }).first, not_open);
  EXPECT_EQ(Thrown([&] { db.isAutoCommit(); }).first, not_open);
  EXPECT_EQ(Thrown([&] { db.lastInsertRowId(); }).first, not_open);
  EXPECT_NO_THROW(db.close());
}

TEST(SqliteDatabaseTest, FailedOpenReportsCantOpenAndLeavesNothingOpen) {
  testing_support::TempDir dir;
  CppSQLite3Database db;
  auto [message, code] = Thrown([&] { db.open((dir.str() + "/missing/x.db").c_str()); });
  EXPECT_EQ(code, 14);
  EXPECT_EQ(message, "SQLITE_CANTOPEN[14]: unable to open database file");
  EXPECT_EQ(Thrown([&] { db.isAutoCommit(); }).first, "CPPSQLITE_ERROR[1000]: Database not open");
}

TEST_F(SqliteLayerTest, ExecuteAndScalarQueries) {
  EXPECT_EQ(db_.execute("UPDATE t SET n = n + 1"), 2);
  EXPECT_EQ(db_.lastInsertRowId(), 2);
  EXPECT_EQ(Thrown([&] { db_.execute("DELETE FROM nope"); }).first,
            "SQLITE_ERROR[1]: no such table: nope");
  EXPECT_EQ(db_.queryScalar("SELECT n FROM t WHERE name='one'"), 2);
  EXPECT_EQ(db_.queryScalar("SELECT n FROM t WHERE name='two'", -7), -7);
  EXPECT_EQ(Thrown([&] { db_.queryScalar("SELECT n FROM t WHERE 0"); }).first,
            "CPPSQLITE_ERROR[1000]: Invalid scalar query");

  EXPECT_TRUE(db_.hasTable("t"));
  EXPECT_FALSE(db_.hasTable("T"));  // the stored name, compared exactly
  EXPECT_FALSE(db_.hasTable("absent"));
  EXPECT_FALSE(db_.hasTable("it's"));
  EXPECT_TRUE(db_.isAutoCommit());
  db_.execute("BEGIN");
  EXPECT_FALSE(db_.isAutoCommit());
  db_.execute("COMMIT");
}

TEST_F(SqliteLayerTest, QueryWalksRowsAndReadsTypedFields) {
  CppSQLite3Query q = db_.query("SELECT name, n, x, b FROM t ORDER BY id");
  ASSERT_FALSE(q.atEnd());
  EXPECT_EQ(q.fieldCount(), 4);
  EXPECT_EQ(q.fieldIndex("x"), 2);
  EXPECT_STREQ(q.fieldName(1), "n");
  EXPECT_STREQ(q.fieldDeclType(2), "REAL");
  EXPECT_EQ(q.fieldType(0), 3);
  EXPECT_STREQ(q.fieldText("name"), "one");
  EXPECT_EQ(q.intField("n", -1), 1);
  EXPECT_DOUBLE_EQ(q.doubleField(2), 1.5);

  q.next();
  ASSERT_FALSE(q.atEnd());
  EXPECT_TRUE(q.isNull("n"));
  EXPECT_EQ(q.intField("n", 42), 42);
  EXPECT_EQ(q.int64Field(1, -5), -5);
  EXPECT_DOUBLE_EQ(q.doubleField("x", 9.0), 9.0);
  EXPECT_STREQ(q.textField("x", "none"), "none");

  EXPECT_EQ(Thrown([&] { q.fieldIndex("NAME"); }).first,
            "CPPSQLITE_ERROR[1000]: Invalid field name requested");
  EXPECT_EQ(Thrown([&] { q.fieldIndex(nullptr); }).second, CPPSQLITE_ERROR);
  EXPECT_EQ(Thrown([&] { q.fieldType(4); }).first,
            "CPPSQLITE_ERROR[1000]: Invalid field index requested");
  EXPECT_EQ(Thrown([&] { q.intField(-1); }).second, CPPSQLITE_ERROR);

  q.next();
  EXPECT_TRUE(q.atEnd());
}

TEST_F(SqliteLayerTest, MovedQueryLeavesSourceWithoutStatement) {
  CppSQLite3Query source = db_.query("SELECT name FROM t ORDER BY id");
  CppSQLite3Query target(std::move(source));
  EXPECT_STREQ(target.fieldText(0), "one");
  const std::string null_vm = "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer";
  EXPECT_EQ(Thrown([&] { source.fieldCount(); }).first, null_vm);
  EXPECT_EQ(Thrown([&] { source.next(); }).first, null_vm);

  // Assigning over a query finalizes its statement: nothing keeps the
  // connection from closing afterwards.
  target = db_.query("SELECT 1");
  target = CppSQLite3Query();
  EXPECT_NO_THROW(db_.close());
}

TEST_F(SqliteLayerTest, StepFailuresThrowAndReleaseTheStatement) {
  // abs() of the smallest integer fails at run time, on the row that reaches it.
  const char* overflow_on_second_row =
      "SELECT CASE WHEN id = 2 THEN abs(-9223372036854775808) ELSE id END FROM t ORDER BY id";
  EXPECT_EQ(Thrown([&] { db_.query("SELECT abs(-9223372036854775808)"); }).first,
            "SQLITE_ERROR[1]: integer overflow");
  CppSQLite3Query q = db_.query(overflow_on_second_row);
  EXPECT_EQ(q.intField(0), 1);
  EXPECT_EQ(Thrown([&] { q.next(); }).first, "SQLITE_ERROR[1]: integer overflow");
  EXPECT_TRUE(q.atEnd());
  EXPECT_EQ(Thrown([&] { q.fieldCount(); }).second, CPPSQLITE_ERROR);
  EXPECT_NO_THROW(db_.close());
}

TEST_F(SqliteLayerTest, StatementBindsRunsAgainAndReportsBadParameters) {
  CppSQLite3Statement insert =
      db_.prepare("INSERT INTO t (name, n, x, b) VALUES (:name, :n, ?3, ?4)");
  const unsigned char blob[] = {0x00, 0xFF, 0x00};
  insert.bindText(":name", "three");
  insert.bindInt(":n", 3);
  insert.bindDouble(3, 0.25);
  insert.bindBlob(4, blob, 3);
  EXPECT_EQ(insert.execute(), 1);
  insert.bindText(1, "four");
  insert.bindNull(":n");
  EXPECT_EQ(insert.execute(), 1);
  insert.bindText(1, "four");
  EXPECT_EQ(Thrown([&] { insert.execute(); }).second, 19);  // UNIQUE name
  EXPECT_EQ(Thrown([&] { insert.parameterIndex(":nope"); }).first,
            "CPPSQLITE_ERROR[1000]: Parameter ':nope' is not valid for this statement");
  EXPECT_EQ(Thrown([&] { insert.bindInt(9, 1); }).first,
            "SQLITE_RANGE[25]: Error binding int param");
  insert.finish();
  EXPECT_EQ(Thrown([&] { insert.execute(); }).first,
            "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer");

  CppSQLite3Query q = db_.query("SELECT b, x, n FROM t WHERE name='three'");
  int length = 0;
  const unsigned char* data = q.blobField("b", length);
  ASSERT_EQ(length, 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), 3), std::string("\0\xFF\0", 3));
  EXPECT_DOUBLE_EQ(q.doubleField("x"), 0.25);
  EXPECT_EQ(db_.queryScalar("SELECT count(*) FROM t WHERE name='four' AND n IS NULL"), 1);
}

TEST_F(SqliteLayerTest, BorrowedQueryFailureLeavesStatementReusable) {
  CppSQLite3Statement select = db_.prepare(
      "SELECT CASE WHEN id = ?1 THEN abs(-9223372036854775808) ELSE id END FROM t ORDER BY id");
  select.bindInt(1, 2);
  {
    CppSQLite3Query q = select.query();
    EXPECT_EQ(Thrown([&] { q.next(); }).second, 1);
  }
  // The statement still owns a live handle: it can run again and finalize once.
  select.bindInt(1, 0);
  {
    CppSQLite3Query q = select.query();
    q.next();
    EXPECT_EQ(q.intField(0), 2);
  }
  select.reset();
  select.finish();
  EXPECT_NO_THROW(db_.close());
}

TEST_F(SqliteLayerTest, CloseWithLiveQueryThrowsButDoesNotLeakTheConnection) {
  CppSQLite3Query live = db_.query("SELECT name FROM t");
  EXPECT_EQ(Thrown([&] { db_.close(); }).first, "CPPSQLITE_ERROR[1000]: Unable to close database");
  EXPECT_EQ(Thrown([&] { db_.execute("SELECT 1"); }).second, CPPSQLITE_ERROR);
  EXPECT_STREQ(live.fieldText(0), "one");
  live.finish();
  db_.open(path_.c_str());
  EXPECT_EQ(db_.queryScalar("SELECT count(*) FROM t"), 2);
}

TEST_F(SqliteLayerTest, BusyTimeoutBoundsTheWaitForAnotherConnection) {
  CppSQLite3Database other;
  other.open(path_.c_str());
  other.execute("BEGIN EXCLUSIVE");
  db_.setBusyTimeout(50);
  EXPECT_EQ(Thrown([&] { db_.execute("INSERT INTO t (name) VALUES ('x')"); }).first,
            "SQLITE_BUSY[5]: database is locked");
  other.execute("COMMIT");
  EXPECT_EQ(db_.execute("INSERT INTO t (name) VALUES ('x')"), 1);

  // A moved connection has one owner; the source is closed.
  CppSQLite3Database moved(std::move(other));
  EXPECT_EQ(Thrown([&] { other.isAutoCommit(); }).second, CPPSQLITE_ERROR);
  EXPECT_EQ(moved.queryScalar("SELECT count(*) FROM t"), 3);
}

}  // namespace
