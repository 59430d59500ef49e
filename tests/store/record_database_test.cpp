// The record store: rows by position and serial, stale records, a store with no file.
#include "store/record_database.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

class RecordStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Opened the way the controller opens Strandel.db at start-up.
    CRecordDatabase temporary(dir_.wstr() + L"/Strandel.db");
    store_.openFrom(temporary);
    ASSERT_FALSE(store_.isClosed());
  }

  testing_support::TempDir dir_;
  CRecordDatabase store_;
};

TEST_F(RecordStoreTest, PositionsPastTheEndAppendAndSerialsAreNeverReused) {
  CRecord first = store_.getRecord(L"T", 0);
  ASSERT_FALSE(first.isEmpty());
  EXPECT_EQ(first.serial(), 1);
  EXPECT_EQ(first.getInteger(L"InternalUsed"), 1);
  EXPECT_EQ(store_.getRecord(L"T", store_.recordCount(L"T")).serial(), 2);
  EXPECT_EQ(store_.getRecord(L"T", 1).serial(), 2);  // count - 1: the last row

  EXPECT_TRUE(store_.deleteRecord(L"T", 2));
  EXPECT_FALSE(store_.deleteRecord(L"T", 2));
  EXPECT_FALSE(store_.deleteRecord(L"T", 77));
  EXPECT_EQ(store_.getRecord(L"T", 1).serial(), 3);

  // A read outside the table must not grow it.
  EXPECT_EQ(store_.getText(L"T", 2, L"InternalUsed"), L"");
  EXPECT_EQ(store_.getText(L"T", -1, L"InternalUsed"), L"");
  EXPECT_EQ(store_.recordCount(L"T"), 2);
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
}

TEST(RecordStoreClosedTest, ASourceNeverGivenAPathLeavesTheStoreClosed) {
  // Opening an empty name would give a private temporary database that looks open.
  CRecordDatabase never_opened;
  CRecordDatabase store;
  store.openFrom(never_opened);
  EXPECT_TRUE(store.isClosed());
  EXPECT_TRUE(store.getTable(L"T").isMissing());
  EXPECT_FALSE(store.setText(L"T", 0, L"S", L"x"));
}

}  // namespace
