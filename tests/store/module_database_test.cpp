// Strandel.db's task table, the task's host form, and files in its place that are no database.
#include "store/module_database.h"

#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "os/text.h"
#include "sql_rows.h"
#include "store/cppsqlite3.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using testing_support::ReadFile;
using testing_support::TempDir;

constexpr uid_t kNobody = 65534;

WatchTask Task(const std::wstring& name, DWORD index) {
  WatchTask task;
  task.dwTaskIndex = index;
  task.strWatchTaskName = name;
  task.strSourceDir = L"/home/" + name;
  return task;
}

class TaskStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(db_.Open(&reason_)) << reason_; }
  std::vector<std::string> Query(const std::string& sql) { return Rows(db_.FilePath(), sql); }

  TempDir dir_;
  ModuleDatabase db_{dir_.wstr() + L"/"};
  std::string reason_;
};

TEST_F(TaskStoreTest, FreshStoreHoldsNoTaskAndEveryFileIsOwnerOnly) {
  EXPECT_EQ(db_.CountTasks(), 0u);
  EXPECT_THAT(db_.LoadTasks(), IsEmpty());
  // The file holds share passwords: it, its lock and its journals are the owner's alone.
  WatchTask task = Task(L"share", 1);
  task.strShareUserPassword = L"hunter2";
  db_.AddTask(task);
  ASSERT_TRUE(fs::exists(db_.FilePath() + ".lock"));
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    struct stat st {};
    ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << entry.path();
  }
}

TEST_F(TaskStoreTest, AwkwardTextAndEveryFieldSurviveCloseAndReopenExactly) {
  const std::string raw_bytes = "/srv/caf\xc3\xa9/\xff\xfe-latin1-\xe9/x\x80";
  WatchTask odd = Task(L"it's \"quoted\"; DROP TABLE WATCH_TASK_LIST; --", 0xFFFFFFFFu);
  odd.strSourceDir = os::FromUtf8(raw_bytes);
  odd.strDestDir = std::wstring(4096, L'\u00e9');
  odd.strIncludeFilter = L"*.txt;*.doc|'%s%n%d'";
  odd.strExcludeFilter = L"\u0424\u043e\u0442\u043e \u5199\u771f";
  odd.strShareUserName = L"DOMAIN\\ann";
  odd.strShareUserPassword = L"p@ss'w;rd\"\t\n";
  // A distinct value in each number column, so that no two can be mixed up
  // unseen; every 32-bit value is a valid strategy, and the index is unsigned.
  BOOL WatchTask::*const flags[] = {&WatchTask::bSyncNow,        &WatchTask::bBidirectional,
                                    &WatchTask::bSetInclude,     &WatchTask::bSetExclude,
                                    &WatchTask::bNotWatchSubDir, &WatchTask::bFailReport,
                                    &WatchTask::bEnableTimer,    &WatchTask::bSupportUsb};
  for (BOOL n = 0; n < 8; ++n) odd.*flags[n] = n + 2;
  odd.enAddStrategy = static_cast<AddStrategy>(-7);
  odd.enDelStrategy = static_cast<DelStrategy>(2147483647);
  odd.enRenameStrategy = RenameIgnore;
  odd.dwSynctime = 0x80000000u;
  const std::vector<WatchTask> tasks = {odd, WatchTask()};  // and empty text everywhere
  for (const WatchTask& task : tasks) db_.AddTask(task);
  db_.Close();
  EXPECT_FALSE(db_.IsOpen());

  ModuleDatabase reopened(dir_.wstr() + L"/");
  ASSERT_TRUE(reopened.Open(&reason_)) << reason_;
  EXPECT_EQ(reopened.LoadTasks(), tasks);
  WatchTask read;
  ASSERT_TRUE(reopened.ReadTask(0, &read));
  EXPECT_EQ(read, odd);
  // Handed to the host and back, a task keeps every field; the host's timer
  // id is left alone, and the index it hands in is never taken.
  for (const WatchTask& task : tasks) {
    WatchTaskInfo info{};
    info.nTimerId = 0xABCD;
    ASSERT_TRUE(FillWatchTaskInfo(task, &info));
    EXPECT_EQ(info.dwTaskIndex, task.dwTaskIndex);
    EXPECT_EQ(info.nTimerId, 0xABCDu);
    ASSERT_NE(info.strSourceDir, nullptr);  // empty text is an empty string, not null
    EXPECT_EQ(SysStringLen(info.strShareUserPassword), task.strShareUserPassword.size());
    WatchTask back = WatchTaskFromInfo(info);
    EXPECT_EQ(back.dwTaskIndex, 0u);
    back.dwTaskIndex = task.dwTaskIndex;
    EXPECT_EQ(back, task);
    for (BSTR s : {info.strWatchTaskName, info.strSourceDir, info.strDestDir, info.strIncludeFilter,
                   info.strExcludeFilter, info.strShareUserName, info.strShareUserPassword}) {
      SysFreeString(s);
    }
  }
  EXPECT_EQ(WatchTaskFromInfo(WatchTaskInfo{}), WatchTask());  // null text reads as empty
  // The bytes on disk are the path's own bytes, so the directory can be found again.
  EXPECT_THAT(Query("SELECT SOURCEDIRNAME FROM WATCH_TASK_LIST WHERE TASKINDEX = -1"),
              ElementsAre(raw_bytes));
}

TEST_F(TaskStoreTest, RewriteChangesTheFirstRowWithTheIndexOrAppends) {
  db_.AddTask(Task(L"other", 4));
  db_.AddTask(Task(L"first", 5));
  db_.AddTask(Task(L"second", 5));
  WatchTask reset = Task(L"reset", 5);
  reset.strShareUserPassword = L"new secret";
  reset.bEnableTimer = TRUE;
  db_.RewriteTask(reset);
  db_.RewriteTask(Task(L"seven", 7));
  EXPECT_EQ(db_.LoadTasks(), (std::vector<WatchTask>{Task(L"other", 4), reset, Task(L"second", 5),
                                                     Task(L"seven", 7)}));
  EXPECT_THAT(Query("SELECT SN FROM WATCH_TASK_LIST"), ElementsAre("1", "2", "3", "4"));
}

TEST_F(TaskStoreTest, ReadsOutsideTheTableFailAndDeleteMatchesTheNameExactlyOnce) {
  db_.AddTask(Task(L"Docs", 1));
  db_.AddTask(Task(L"Photos", 2));
  db_.AddTask(Task(L"Docs", 3));
  // A failed read leaves the task alone and adds no row, not even for a moment.
  WatchTask task = Task(L"untouched", 77);
  for (int32_t position : {-1, 3, INT32_MIN}) EXPECT_FALSE(db_.ReadTask(position, &task));
  EXPECT_EQ(task, Task(L"untouched", 77));
  EXPECT_THAT(Query("SELECT seq FROM sqlite_sequence WHERE name='WATCH_TASK_LIST'"),
              ElementsAre("3"));

  const std::vector<std::string> before = Query("SELECT * FROM WATCH_TASK_LIST");
  for (const wchar_t* near_miss : {L"docs", L"Docs ", L"Doc", L""}) {
    EXPECT_EQ(db_.DeleteTask(near_miss), ModuleDatabase::DeleteResult::kNoRow);
    EXPECT_EQ(Query("SELECT * FROM WATCH_TASK_LIST"), before) << os::ToUtf8(near_miss);
  }
  EXPECT_EQ(db_.DeleteTask(L"Docs"), ModuleDatabase::DeleteResult::kDeleted);
  EXPECT_EQ(db_.LoadTasks(), (std::vector<WatchTask>{Task(L"Photos", 2), Task(L"Docs", 3)}));
}

TEST_F(TaskStoreTest, SerialsBeyondThirtyTwoBitsNameTheirOwnRow) {
  db_.AddTask(Task(L"small", 1));
  db_.AddTask(Task(L"large", 2));
  // A hand-edited file: the second row's serial shares its low 32 bits with the first's.
  Execute(db_.FilePath(), "UPDATE WATCH_TASK_LIST SET SN=4294967297 WHERE SN=2");
  EXPECT_EQ(db_.LoadTasks(), (std::vector<WatchTask>{Task(L"small", 1), Task(L"large", 2)}));
  EXPECT_EQ(db_.DeleteTask(L"large"), ModuleDatabase::DeleteResult::kDeleted);
  EXPECT_EQ(db_.LoadTasks(), (std::vector<WatchTask>{Task(L"small", 1)}));
}

TEST_F(TaskStoreTest, AFailedWriteNamesTheColumnButNeverItsValue) {
  db_.AddTask(Task(L"share", 1));
  Execute(db_.FilePath(),
          "CREATE TRIGGER refuse BEFORE UPDATE OF SHAREUSERPASSWORD ON WATCH_TASK_LIST "
          "BEGIN SELECT RAISE(ABORT, 'refused for the test'); END");
  WatchTask task = Task(L"share", 1);
  task.strShareUserName = L"alice";
  task.strShareUserPassword = L"pa55-for-the-share";
  testing_support::TraceCapture trace;
  db_.RewriteTask(task);
  EXPECT_TRUE(trace.Contains("SetValue(SHAREUSERPASSWORD) failed"));
  for (const std::string& line : trace.Lines()) {
    EXPECT_EQ(line.find("pa55-for-the-share"), std::string::npos) << line;
  }
}

TEST_F(TaskStoreTest, AddWaitsForAnotherConnectionsWriteTransaction) {
  db_.AddTask(Task(L"first", 1));
  Execute(db_.FilePath(), "CREATE TABLE Notes (text TEXT)");
  std::promise<void> begun;
  std::thread other([&] {
    CppSQLite3Database raw;
    raw.open(db_.FilePath().c_str());
    raw.execute("BEGIN IMMEDIATE");
    raw.execute("INSERT INTO Notes VALUES ('written by another program')");
    begun.set_value();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    raw.execute("COMMIT");
  });
  begun.get_future().wait();
  db_.AddTask(Task(L"second", 2));
  // Visible as soon as the add is back: the add waited for the commit.
  EXPECT_THAT(Query("SELECT text FROM Notes"), ElementsAre("written by another program"));
  other.join();
  EXPECT_EQ(db_.LoadTasks(), (std::vector<WatchTask>{Task(L"first", 1), Task(L"second", 2)}));
}

// Files at the database's place that are not a usable database.
class RefusedFileTest : public ::testing::Test {
 protected:
  std::string FilePath() const { return dir_.str() + "/Strandel.db"; }

  // Open must fail, name the file and a cause, and leave the file as it was;
  // the procedures on the refused store change nothing either.
  void ExpectRefused(const ::testing::Matcher<const std::string&>& says_why) {
    const bool is_file = fs::is_regular_file(FilePath());
    const std::string before = is_file ? ReadFile(FilePath()) : std::string();
    ModuleDatabase db(dir_.wstr() + L"/");
    std::string reason;
    EXPECT_FALSE(db.Open(&reason));
    EXPECT_FALSE(db.IsOpen());
    EXPECT_THAT(reason, StartsWith(FilePath() + ": "));
    EXPECT_THAT(reason, says_why);
    EXPECT_FALSE(db.AddTask(Task(L"x", 1)));
    EXPECT_FALSE(db.RewriteTask(Task(L"x", 1)));
    EXPECT_EQ(db.DeleteTask(L"x"), ModuleDatabase::DeleteResult::kFailed);
    EXPECT_EQ(db.CountTasks(), 0u);
    WatchTask task;
    EXPECT_FALSE(db.ReadTask(0, &task));
    if (is_file) {
      EXPECT_EQ(ReadFile(FilePath()), before);
    }
  }

  // The same refusal met by an unprivileged user, in a child process that
  // drops root for good: 0 when refused as expected.
  int RefusedAsUnprivilegedUser() {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::geteuid() == 0 &&
          (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
        ::_exit(10);
      }
      ModuleDatabase db(dir_.wstr() + L"/");
      std::string reason;
      if (db.Open(&reason) || reason.rfind(FilePath() + ": ", 0) != 0 ||
          reason.size() <= FilePath().size() + 2) {
        ::_exit(11);
      }
      db.AddTask(Task(L"x", 1));
      ::_exit(db.CountTasks() == 0 && db.LoadTasks().empty() ? 0 : 12);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  TempDir dir_;
  std::string reason_;
};

TEST_F(RefusedFileTest, TruncatedDatabase) {
  ModuleDatabase db(dir_.wstr() + L"/");
  ASSERT_TRUE(db.Open(&reason_)) << reason_;
  for (DWORD i = 0; i < 40; ++i) db.AddTask(Task(std::wstring(300, L'a' + i % 26), i));
  db.Close();  // the last connection folds the log back into the file
  const std::string whole = ReadFile(FilePath());
  ASSERT_GT(whole.size(), 3 * 4096u);
  for (size_t size : {size_t{64}, size_t{4096}, whole.size() / 2, whole.size() - 4096}) {
    SCOPED_TRACE("truncated to " + std::to_string(size) + " of " + std::to_string(whole.size()));
    std::ofstream(FilePath(), std::ios::binary | std::ios::trunc) << whole.substr(0, size);
    ExpectRefused(AnyOf(HasSubstr("malformed"), HasSubstr("not a database")));
  }
}

TEST_F(RefusedFileTest, DirectoryInItsPlace) {
  fs::create_directory(FilePath());
  std::ofstream(FilePath() + "/inside.txt") << "mine";
  // What is wrong with the file, not merely that no connection came of it.
  ExpectRefused(AnyOf(HasSubstr("director"), HasSubstr("unable to open")));
  EXPECT_EQ(ReadFile(FilePath() + "/inside.txt"), "mine");
}

TEST_F(RefusedFileTest, MissingDataDirectoryIsNotCreated) {
  const std::string missing = dir_.str() + "/gone/";
  ModuleDatabase db(os::FromUtf8(missing));
  std::string reason;
  EXPECT_FALSE(db.Open(&reason));
  EXPECT_THAT(reason, StartsWith(missing + "Strandel.db: "));
  EXPECT_GT(reason.size(), missing.size() + 13);
  EXPECT_FALSE(fs::exists(missing));
}

TEST_F(RefusedFileTest, FileOrDataDirectoryTheUserCannotWrite) {
  {
    ModuleDatabase db(dir_.wstr() + L"/");
    ASSERT_TRUE(db.Open(&reason_)) << reason_;
    db.AddTask(Task(L"someone's", 1));
  }
  const std::string before = ReadFile(FilePath());
  fs::permissions(dir_.path(), fs::perms::all);  // the directory itself is open to all
  fs::permissions(FilePath(), fs::perms::none);
  EXPECT_EQ(RefusedAsUnprivilegedUser(), 0);

  // Now the file is the user's to write, and only its directory is read-only.
  fs::permissions(FilePath(), fs::perms::owner_read | fs::perms::owner_write);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(FilePath().c_str(), kNobody, kNobody), 0);
  }
  fs::remove(FilePath() + ".lock");
  fs::permissions(dir_.path(), fs::perms::owner_read | fs::perms::owner_exec |
                                   fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
  EXPECT_EQ(RefusedAsUnprivilegedUser(), 0);
  EXPECT_EQ(ReadFile(FilePath()), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

}  // namespace
