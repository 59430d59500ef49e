#include "store/module_database.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
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
using ::testing::SizeIs;
using ::testing::StartsWith;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::TraceCapture;

constexpr uid_t kNobody = 65534;

void Execute(const std::string& db_path, const std::string& sql) {
  CppSQLite3Database raw;
  raw.open(db_path.c_str());
  raw.execute(sql.c_str());
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string Hex(const std::string& bytes) {
  std::string hex;
  for (unsigned char c : bytes) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", c);
    hex += two;
  }
  return hex;
}

mode_t ModeOf(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 07777;  // never a real answer
  return st.st_mode & 07777;
}

WatchTask MakeTask(const std::wstring& name, DWORD index) {
  WatchTask task;
  task.strWatchTaskName = name;
  task.dwTaskIndex = index;
  task.strSourceDir = L"/home/ann/" + name;
  task.strDestDir = L"/mnt/backup/" + name;
  return task;
}

// Runs body in a forked child; its return value is the child's exit status
// (-1 here when the child died of a signal).
int InChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return -2;
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// In a child: becomes the unprivileged user for good (a no-op when the tests
// already run unprivileged).
bool DropPrivileges() {
  if (::geteuid() != 0) return true;
  return ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 &&
         ::geteuid() == kNobody;
}

// Exit statuses of the unprivileged children.
enum ChildResult {
  kChildOk = 0,
  kChildCannotDrop = 10,
  kChildOpened = 11,
  kChildReasonWithoutPath = 12,
  kChildReasonWithoutCause = 13,
  kChildStoreUsable = 14,
};

int CheckRefusedAsUnprivilegedUser(const std::wstring& data_dir, const std::string& file) {
  if (!DropPrivileges()) return kChildCannotDrop;
  ModuleDatabase db(data_dir);
  std::string reason;
  if (db.Open(&reason)) return kChildOpened;
  if (reason.rfind(file + ": ", 0) != 0) return kChildReasonWithoutPath;
  if (reason.size() <= file.size() + 2) return kChildReasonWithoutCause;
  // A refused store must also take the procedures without harm.
  db.AddTask(MakeTask(L"x", 1));
  return db.CountTasks() == 0 && db.LoadTasks().empty() ? kChildOk : kChildStoreUsable;
}

int OpenAsUnprivilegedUser(const std::wstring& data_dir, const std::string& file) {
  const int result = CheckRefusedAsUnprivilegedUser(data_dir, file);
  if (result != kChildOk) std::fprintf(stderr, "unprivileged open: check %d failed\n", result);
  return result;
}

class TaskStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(db_.Open(&reason_)) << reason_; }

  std::vector<std::string> Query(const std::string& sql) { return Rows(db_.FilePath(), sql); }
  std::vector<std::string> Columns() {
    return Query("SELECT name || ':' || type FROM pragma_table_info('WATCH_TASK_LIST')");
  }

  TempDir dir_;
  ModuleDatabase db_{dir_.wstr() + L"/"};
  std::string reason_;
};

TEST_F(TaskStoreTest, FreshFileIsOwnerOnlyAndHoldsNoTask) {
  EXPECT_EQ(db_.FilePath(), dir_.str() + "/Strandel.db");
  EXPECT_EQ(ModeOf(db_.FilePath()), 0600u);
  EXPECT_TRUE(db_.IsOpen());
  EXPECT_EQ(db_.CountTasks(), 0u);

  TraceCapture trace;
  EXPECT_THAT(db_.LoadTasks(), IsEmpty());
  EXPECT_TRUE(trace.Contains("[Strandel]StartWatchFileSys failed because of No record!"));
  EXPECT_THAT(Columns(), ElementsAre("SN:INTEGER", "InternalUsed:INTEGER"));
  EXPECT_THAT(Query("SELECT * FROM WATCH_TASK_LIST"), IsEmpty());
}

TEST_F(TaskStoreTest, EveryFileThatHoldsThePasswordIsOwnerOnly) {
  WatchTask task = MakeTask(L"share", 1);
  task.strShareUserPassword = L"hunter2";
  db_.AddTask(task);
  ASSERT_TRUE(fs::exists(db_.FilePath() + ".lock"));
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    EXPECT_EQ(ModeOf(entry.path()), 0600u) << entry.path();
  }
}

TEST_F(TaskStoreTest, FirstAddCreatesTheTwentyTwoColumnsInOrder) {
  WatchTask task = MakeTask(L"Docs", 3);
  task.bBidirectional = TRUE;
  task.dwSynctime = 60000;
  db_.AddTask(task);

  EXPECT_THAT(
      Columns(),
      ElementsAre("SN:INTEGER", "InternalUsed:INTEGER", "WATCHTASKNAME:TEXT", "SOURCEDIRNAME:TEXT",
                  "DESTDIRNAME:TEXT", "ISBIDIRECTIONAL:INTEGER", "ISSETINCLUDE:INTEGER",
                  "INCLUDEFILTER:TEXT", "ISSETEXCLUDE:INTEGER", "EXCLUDEFILTER:TEXT",
                  "ISSYNCNOW:INTEGER", "NOTWATCHSUBDIR:INTEGER", "ADDSTRATEGY:INTEGER",
                  "DELSTRATEGY:INTEGER", "RENAMESTRATEGY:INTEGER", "ENABLETIMER:INTEGER",
                  "SUPPORTUSB:INTEGER", "SYNCTIME:INTEGER", "TASKINDEX:INTEGER",
                  "MFAILREPORT:INTEGER", "SHAREUSERNAME:TEXT", "SHAREUSERPASSWORD:TEXT"));
  EXPECT_THAT(Query("SELECT SN, InternalUsed, WATCHTASKNAME, ISBIDIRECTIONAL, SYNCTIME, "
                    "TASKINDEX, typeof(SHAREUSERNAME) FROM WATCH_TASK_LIST"),
              ElementsAre("1|1|Docs|1|60000|3|text"));
  EXPECT_EQ(db_.CountTasks(), 1u);
}

TEST_F(TaskStoreTest, AwkwardTextSurvivesCloseAndReopenExactly) {
  const std::string raw_bytes = "/srv/caf\xc3\xa9/\xff\xfe-latin1-\xe9/x\x80";
  std::wstring long_path = L"/";
  while (long_path.size() < 4096) long_path += L"d\u00e9j\u00e0-vu/";
  long_path.resize(4096);

  std::vector<WatchTask> tasks;
  WatchTask quotes = MakeTask(L"it's \"quoted\"; DROP TABLE WATCH_TASK_LIST; --", 1);
  quotes.strIncludeFilter = L"*.txt;*.doc|'%s%n%d'";
  quotes.strExcludeFilter = L"'); DELETE FROM WATCH_TASK_LIST WHERE ('1'='1";
  quotes.strShareUserName = L"DOMAIN\\ann";
  quotes.strShareUserPassword = L"p@ss'w;rd\"\t\n";
  quotes.bBidirectional = quotes.bSetInclude = quotes.bSetExclude = TRUE;
  quotes.enAddStrategy = AddKeepBackup;
  quotes.enDelStrategy = DelToRecycleBin;
  quotes.enRenameStrategy = RenameIgnore;
  quotes.dwSynctime = 3600000;
  tasks.push_back(quotes);

  WatchTask letters = MakeTask(L"\u0424\u043e\u0442\u043e \u5199\u771f \u00c5ngstr\u00f6m", 2);
  letters.strSourceDir = os::FromUtf8(raw_bytes);
  letters.strDestDir = long_path;
  letters.bSyncNow = letters.bNotWatchSubDir = letters.bEnableTimer = TRUE;
  letters.bSupportUsb = letters.bFailReport = TRUE;
  // Every 32-bit value is a valid strategy, and the index is unsigned.
  letters.enAddStrategy = static_cast<AddStrategy>(-7);
  letters.enDelStrategy = static_cast<DelStrategy>(2147483647);
  letters.enRenameStrategy = static_cast<RenameStrategy>(3);
  letters.dwTaskIndex = 0xFFFFFFFFu;
  letters.dwSynctime = 0x80000000u;
  tasks.push_back(letters);

  tasks.push_back(MakeTask(L"", 0));  // empty text everywhere it can be

  for (const WatchTask& task : tasks) db_.AddTask(task);
  db_.Close();
  EXPECT_FALSE(db_.IsOpen());

  ModuleDatabase reopened(dir_.wstr() + L"/");
  ASSERT_TRUE(reopened.Open(&reason_)) << reason_;
  ASSERT_EQ(reopened.CountTasks(), tasks.size());
  EXPECT_EQ(reopened.LoadTasks(), tasks);
  for (size_t i = 0; i < tasks.size(); ++i) {
    WatchTask read;
    ASSERT_TRUE(reopened.ReadTask(static_cast<int32_t>(i), &read));
    EXPECT_EQ(read, tasks[i]) << "position " << i;
  }
  // The bytes on disk are the path's own bytes, so the directory can be found again.
  EXPECT_THAT(Query("SELECT hex(SOURCEDIRNAME) FROM WATCH_TASK_LIST WHERE TASKINDEX = -1"),
              ElementsAre(Hex(raw_bytes)));
  EXPECT_EQ(reopened.CountTasks(), tasks.size());
}

TEST_F(TaskStoreTest, RowsFromAnotherWriterReadWithTextFlagsAndNeutralDefaults) {
  // Another program made the table without several of the columns.
  Execute(db_.FilePath(),
          "CREATE TABLE WATCH_TASK_LIST (SN INTEGER PRIMARY KEY AUTOINCREMENT, InternalUsed "
          "INTEGER, WATCHTASKNAME TEXT, SOURCEDIRNAME TEXT, ISBIDIRECTIONAL INTEGER, ISSETINCLUDE "
          "INTEGER, ISSYNCNOW TEXT, SUPPORTUSB INTEGER, TASKINDEX INTEGER, SYNCTIME INTEGER)");
  Execute(db_.FilePath(),
          "INSERT INTO WATCH_TASK_LIST (InternalUsed, WATCHTASKNAME, SOURCEDIRNAME, "
          "ISBIDIRECTIONAL, ISSETINCLUDE, ISSYNCNOW, SUPPORTUSB, TASKINDEX, SYNCTIME) VALUES "
          "(1, 'texts', '/a', 'True', 'yes', '1', 'YES', '4', '90'),"
          "(1, 'refusals', '/b', 'False', 'no', 'on', 'TRUE ', 5, 0),"
          "(NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)");

  const std::vector<WatchTask> tasks = db_.LoadTasks();
  ASSERT_THAT(tasks, SizeIs(3));
  WatchTask texts = MakeTask(L"texts", 4);
  texts.strSourceDir = L"/a";
  texts.strDestDir = L"";  // no such column
  texts.bBidirectional = texts.bSetInclude = texts.bSyncNow = texts.bSupportUsb = TRUE;
  texts.dwSynctime = 90;
  EXPECT_EQ(tasks[0], texts);

  WatchTask refusals = MakeTask(L"refusals", 5);
  refusals.strSourceDir = L"/b";
  refusals.strDestDir = L"";
  EXPECT_EQ(tasks[1], refusals);

  EXPECT_EQ(tasks[2], WatchTask());
}

TEST_F(TaskStoreTest, RewriteOfAnUnknownIndexAppendsARow) {
  db_.AddTask(MakeTask(L"one", 1));
  db_.AddTask(MakeTask(L"two", 2));
  WatchTask seven = MakeTask(L"seven", 7);
  seven.bEnableTimer = TRUE;
  seven.dwSynctime = 120000;
  db_.RewriteTask(seven);

  EXPECT_EQ(db_.LoadTasks(),
            (std::vector<WatchTask>{MakeTask(L"one", 1), MakeTask(L"two", 2), seven}));
  EXPECT_THAT(Query("SELECT SN FROM WATCH_TASK_LIST"), ElementsAre("1", "2", "3"));
}

TEST_F(TaskStoreTest, RewriteChangesOnlyTheFirstRowWithTheIndexAndKeepsItsSerial) {
  db_.AddTask(MakeTask(L"other", 4));
  db_.AddTask(MakeTask(L"first", 5));
  db_.AddTask(MakeTask(L"second", 5));
  WatchTask reset = MakeTask(L"reset", 5);
  reset.strIncludeFilter = L"*.jpg";
  reset.bSetInclude = reset.bFailReport = TRUE;
  reset.enDelStrategy = DelIgnore;
  reset.strShareUserPassword = L"new secret";
  db_.RewriteTask(reset);

  EXPECT_EQ(db_.LoadTasks(),
            (std::vector<WatchTask>{MakeTask(L"other", 4), reset, MakeTask(L"second", 5)}));
  EXPECT_THAT(Query("SELECT SN, WATCHTASKNAME FROM WATCH_TASK_LIST"),
              ElementsAre("1|other", "2|reset", "3|second"));
}

TEST_F(TaskStoreTest, DeleteMatchesTheNameExactlyAndOnlyOnce) {
  db_.AddTask(MakeTask(L"Docs", 1));
  db_.AddTask(MakeTask(L"Photos", 2));
  db_.AddTask(MakeTask(L"Docs", 3));
  ASSERT_THAT(Query("SELECT seq FROM sqlite_sequence WHERE name='WATCH_TASK_LIST'"),
              ElementsAre("3"));
  const std::vector<std::string> before = Query("SELECT * FROM WATCH_TASK_LIST");

  for (const wchar_t* near_miss : {L"docs", L"DOCS", L"Docs ", L"Doc", L""}) {
    db_.DeleteTask(near_miss);
    EXPECT_EQ(Query("SELECT * FROM WATCH_TASK_LIST"), before) << os::ToUtf8(near_miss);
  }
  // Each miss appended a blank row and removed it again.
  EXPECT_THAT(Query("SELECT seq FROM sqlite_sequence WHERE name='WATCH_TASK_LIST'"),
              ElementsAre("8"));

  db_.DeleteTask(L"Docs");
  EXPECT_THAT(Query("SELECT SN, WATCHTASKNAME, TASKINDEX FROM WATCH_TASK_LIST"),
              ElementsAre("2|Photos|2", "3|Docs|3"));
}

TEST_F(TaskStoreTest, ReadingOutsideTheTableFailsAndAddsNoRow) {
  db_.AddTask(MakeTask(L"only", 9));
  const WatchTask untouched = MakeTask(L"untouched", 77);
  for (int32_t position : {-1, 1, 2, 1000, INT32_MIN}) {
    WatchTask task = untouched;
    EXPECT_FALSE(db_.ReadTask(position, &task)) << position;
    EXPECT_EQ(task, untouched);
  }
  EXPECT_EQ(db_.CountTasks(), 1u);
  EXPECT_THAT(Query("SELECT seq FROM sqlite_sequence WHERE name='WATCH_TASK_LIST'"),
              ElementsAre("1"));

  WatchTask task;
  ASSERT_TRUE(db_.ReadTask(0, &task));
  EXPECT_EQ(task, MakeTask(L"only", 9));
}

TEST_F(TaskStoreTest, ClosedStoreCountsAndReadsNothing) {
  db_.AddTask(MakeTask(L"kept", 1));
  db_.Close();
  EXPECT_FALSE(db_.IsOpen());
  EXPECT_EQ(db_.CountTasks(), 0u);
  EXPECT_THAT(db_.LoadTasks(), IsEmpty());
  WatchTask task;
  EXPECT_FALSE(db_.ReadTask(0, &task));
  db_.AddTask(MakeTask(L"lost", 2));
  db_.RewriteTask(MakeTask(L"lost", 1));
  db_.DeleteTask(L"kept");
  EXPECT_THAT(Query("SELECT WATCHTASKNAME, TASKINDEX FROM WATCH_TASK_LIST"), ElementsAre("kept|1"));
}

// SQLite's per-process lock bookkeeping must not cross a fork, so the parent
// holds no connection while forking.
TEST_F(TaskStoreTest, AddWaitsForAnotherProcessesWriteTransaction) {
  const WatchTask first = MakeTask(L"first", 1);
  db_.AddTask(first);
  Execute(db_.FilePath(), "CREATE TABLE Notes (text TEXT)");
  db_.Close();

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    int status = 0;
    try {
      CppSQLite3Database other;
      other.open(db_.FilePath().c_str());
      other.execute("BEGIN IMMEDIATE");
      other.execute("INSERT INTO Notes VALUES ('written by another program')");
      (void)!::write(ready[1], "x", 1);
      ::usleep(300 * 1000);
      other.execute("COMMIT");
    } catch (const CppSQLite3Exception& e) {
      std::fprintf(stderr, "child: %s\n", e.errorMessage());
      status = 1;
    }
    ::_exit(status);
  }
  ::close(ready[1]);
  char byte = 0;
  const bool child_ready = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);

  const WatchTask second = MakeTask(L"second", 2);
  if (child_ready) {
    ASSERT_TRUE(db_.Open(&reason_)) << reason_;
    db_.AddTask(second);
    // Visible as soon as the add is back: the add waited for the commit.
    EXPECT_THAT(Query("SELECT text FROM Notes"), ElementsAre("written by another program"));
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(child_ready);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(db_.LoadTasks(), (std::vector<WatchTask>{first, second}));
}

// Files at the database's place that are not a usable database.
class RefusedFileTest : public ::testing::Test {
 protected:
  std::string FilePath() const { return dir_.str() + "/Strandel.db"; }

  // Open must fail, name the file and a cause, and leave the file as it was.
  void ExpectRefused(const ::testing::Matcher<const std::string&>& says_why) {
    const bool is_file = fs::is_regular_file(FilePath());
    const std::string before = is_file ? ReadFile(FilePath()) : std::string();
    ModuleDatabase db(dir_.wstr() + L"/");
    std::string reason;
    EXPECT_FALSE(db.Open(&reason));
    EXPECT_FALSE(db.IsOpen());
    EXPECT_THAT(reason, StartsWith(FilePath() + ": "));
    EXPECT_THAT(reason, says_why);
    // The procedures on the refused store change nothing either.
    db.AddTask(MakeTask(L"x", 1));
    db.RewriteTask(MakeTask(L"x", 1));
    db.DeleteTask(L"x");
    EXPECT_EQ(db.CountTasks(), 0u);
    EXPECT_THAT(db.LoadTasks(), IsEmpty());
    if (is_file) {
      EXPECT_EQ(ReadFile(FilePath()), before);
    }
  }

  TempDir dir_;
};

TEST_F(RefusedFileTest, GarbageBytes) {
  std::string garbage = "This is my tax return, not a database.\n";
  for (int i = 0; i < 4000; ++i) garbage += static_cast<char>((i * 7919) % 251);
  WriteBytes(FilePath(), garbage);
  ExpectRefused(HasSubstr("not a database"));
}

TEST_F(RefusedFileTest, TruncatedDatabase) {
  std::string whole;
  {
    TempDir source;
    ModuleDatabase db(source.wstr() + L"/");
    std::string reason;
    ASSERT_TRUE(db.Open(&reason)) << reason;
    for (DWORD i = 0; i < 40; ++i) {
      WatchTask task = MakeTask(L"task " + std::to_wstring(i), i);
      task.strIncludeFilter = std::wstring(300, L'a' + static_cast<wchar_t>(i % 26));
      db.AddTask(task);
    }
    db.Close();  // the last connection folds the log back into the file
    whole = ReadFile(db.FilePath());
  }
  ASSERT_GT(whole.size(), 3 * 4096u);
  for (size_t size :
       {size_t{64}, size_t{1000}, size_t{4096}, whole.size() / 2, whole.size() - 4096}) {
    SCOPED_TRACE("truncated to " + std::to_string(size) + " of " + std::to_string(whole.size()));
    WriteBytes(FilePath(), whole.substr(0, size));
    ExpectRefused(AnyOf(HasSubstr("malformed"), HasSubstr("not a database")));
  }
}

TEST_F(RefusedFileTest, DirectoryInItsPlace) {
  fs::create_directory(FilePath());
  WriteBytes(FilePath() + "/inside.txt", "mine");
  // What is wrong with the file, not merely that no connection came of it.
  ExpectRefused(AnyOf(HasSubstr("director"), HasSubstr("unable to open")));
  EXPECT_TRUE(fs::is_directory(FilePath()));
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

TEST_F(RefusedFileTest, FileTheUserCannotRead) {
  {
    ModuleDatabase db(dir_.wstr() + L"/");
    std::string reason;
    ASSERT_TRUE(db.Open(&reason)) << reason;
    db.AddTask(MakeTask(L"someone else's", 1));
  }
  const std::string before = ReadFile(FilePath());
  fs::permissions(dir_.path(), fs::perms::all);  // the directory itself is open to all
  fs::permissions(FilePath(), fs::perms::none);
  if (::geteuid() != 0) {
    ASSERT_NE(::access(FilePath().c_str(), R_OK), 0);
  }

  EXPECT_EQ(InChild([&] { return OpenAsUnprivilegedUser(dir_.wstr() + L"/", FilePath()); }),
            kChildOk);
  fs::permissions(FilePath(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(ReadFile(FilePath()), before);
}

TEST_F(RefusedFileTest, DataDirectoryTheUserCannotWrite) {
  {
    ModuleDatabase db(dir_.wstr() + L"/");
    std::string reason;
    ASSERT_TRUE(db.Open(&reason)) << reason;
    db.AddTask(MakeTask(L"mine", 1));
  }
  const std::string before = ReadFile(FilePath());
  // The file itself is the user's to write; only its directory is read-only.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(FilePath().c_str(), kNobody, kNobody), 0);
  }
  fs::remove(FilePath() + ".lock");
  fs::permissions(dir_.path(), fs::perms::owner_read | fs::perms::owner_exec |
                                   fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);

  EXPECT_EQ(InChild([&] { return OpenAsUnprivilegedUser(dir_.wstr() + L"/", FilePath()); }),
            kChildOk);
  EXPECT_EQ(ReadFile(FilePath()), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

}  // namespace
