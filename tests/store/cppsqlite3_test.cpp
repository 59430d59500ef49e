// The SQLite layer: owned error text, move-only handles, failed steps, close with a live query.
#include "store/cppsqlite3.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "test_support.h"

namespace {

using ::testing::ThrowsMessage;
using Error = CppSQLite3Exception;

const std::string kNotOpen = "CPPSQLITE_ERROR[1000]: Database not open";
const std::string kNoStatement = "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer";
// abs() of the smallest integer fails at run time, on the row that reaches it.
const char* const kFailsOnRow =
    "SELECT CASE WHEN id = ?1 THEN abs(-9223372036854775808) ELSE id END "
    "FROM t ORDER BY id";

class SqliteLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.open(path_.c_str());
    db_.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT UNIQUE)");
    db_.execute("INSERT INTO t (name) VALUES ('one'), ('two')");
  }

  testing_support::TempDir dir_;
  std::string path_ = dir_.str() + "/layer.db";
  CppSQLite3Database db_;
};

TEST(SqliteExceptionTest, MessageNamesThePrimaryCodeAndCopiesOwnTheirText) {
  EXPECT_STREQ(CppSQLite3Exception(266, "disk I/O error").errorMessage(),
               "UNKNOWN_ERROR[266]: disk I/O error");
  auto* original = new CppSQLite3Exception(5, "database is locked");
  CppSQLite3Exception copy(*original);
  CppSQLite3Exception assigned(0, nullptr);
  assigned = *original;
  delete original;
  EXPECT_STREQ(copy.errorMessage(), "SQLITE_BUSY[5]: database is locked");
  EXPECT_STREQ(assigned.what(), "SQLITE_BUSY[5]: database is locked");
}

TEST_F(SqliteLayerTest, MovedHandlesLeaveTheSourceEmpty) {
  CppSQLite3Query source = db_.query("SELECT name FROM t ORDER BY id");
  CppSQLite3Query target(std::move(source));
  EXPECT_STREQ(target.fieldText(0), "one");
  EXPECT_THAT([&] { source.next(); }, ThrowsMessage<Error>(kNoStatement));
  // Assigning over a query finalizes its statement: the connection can close.
  target = db_.query("SELECT 1");
  target = CppSQLite3Query();

  CppSQLite3Statement insert = db_.prepare("INSERT INTO t (name) VALUES (?)");
  CppSQLite3Statement moved_insert(std::move(insert));
  moved_insert.bindText(1, "three");
  EXPECT_EQ(moved_insert.execute(), 1);
  EXPECT_THROW(insert.execute(), Error);
  moved_insert.finish();

  CppSQLite3Database moved(std::move(db_));
  EXPECT_THAT([&] { db_.isAutoCommit(); }, ThrowsMessage<Error>(kNotOpen));
  EXPECT_EQ(moved.queryScalar("SELECT count(*) FROM t"), 3);
  EXPECT_NO_THROW(moved.close());
}

TEST_F(SqliteLayerTest, StatementRunsAgainAfterAFailedStep) {
  CppSQLite3Statement insert = db_.prepare("INSERT INTO t (name) VALUES (:name)");
  insert.bindText(":name", "one");
  EXPECT_THAT([&] { insert.execute(); },
              ThrowsMessage<Error>("SQLITE_CONSTRAINT[19]: UNIQUE constraint failed: t.name"));
  insert.reset();
  insert.bindText(":name", "three");
  EXPECT_EQ(insert.execute(), 1);
  insert.finish();
  EXPECT_THAT([&] { insert.execute(); }, ThrowsMessage<Error>(kNoStatement));

  // A query borrowing the statement fails mid-step; the statement stays usable.
  CppSQLite3Statement select = db_.prepare(kFailsOnRow);
  select.bindInt(1, 2);
  {
    CppSQLite3Query q = select.query();
    EXPECT_EQ(q.intField(0), 1);
    EXPECT_THAT([&] { q.next(); }, ThrowsMessage<Error>("SQLITE_ERROR[1]: integer overflow"));
    EXPECT_TRUE(q.atEnd());
  }
  select.bindInt(1, 0);
  {
    CppSQLite3Query q = select.query();
    q.next();
    EXPECT_EQ(q.intField(0), 2);
  }
  select.finish();
  // A query that owns its statement finalizes it when a step fails.
  CppSQLite3Query owner = db_.query(
      "SELECT CASE WHEN id = 2 THEN abs(-9223372036854775808) ELSE id END FROM t ORDER BY id");
  EXPECT_THROW(owner.next(), Error);
  EXPECT_NO_THROW(db_.close());
}

TEST_F(SqliteLayerTest, CloseWithLiveQueryThrowsButDoesNotLeakTheConnection) {
  CppSQLite3Query live = db_.query("SELECT name FROM t");
  EXPECT_THAT([&] { db_.close(); },
              ThrowsMessage<Error>("CPPSQLITE_ERROR[1000]: Unable to close database"));
  EXPECT_THAT([&] { db_.execute("SELECT 1"); }, ThrowsMessage<Error>(kNotOpen));
  EXPECT_STREQ(live.fieldText(0), "one");
  live.finish();
  db_.open(path_.c_str());
  EXPECT_EQ(db_.queryScalar("SELECT count(*) FROM t"), 2);
}

}  // namespace
