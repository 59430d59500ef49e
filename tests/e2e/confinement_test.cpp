// A root module over folders that another user owns: that user plants links
// in the source and the destination before and during syncs, and nothing
// outside the trees changes. The attacker is a real process running as
// nobody (uid 65534).
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "module_host.h"

namespace {

namespace fs = std::filesystem;
using module_host::DeleteTask;
using module_host::HasContent;
using module_host::Rows;
using module_host::TaskInfo;
using module_host::Write;
using testing_support::PollUntil;
using testing_support::TempDir;
using testing_support::TreeFingerprint;

constexpr uid_t kNobody = 65534;

// Runs script with /bin/sh as nobody; its exit status.
int AsNobody(const std::string& script) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only system calls between fork and exec: the module's threads may hold
    // locks that the child would never see released.
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
      ::_exit(126);
    }
    const char* argv[] = {"/bin/sh", "-ec", script.c_str(), nullptr};
    ::execv("/bin/sh", const_cast<char* const*>(argv));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RowsWithError(const std::string& task, int error) {
  try {
    return static_cast<int>(Rows("SELECT SN FROM SyncLog WHERE lTaskName='" + task +
                                 "' AND lErrorNO=" + std::to_string(error))
                                .size());
  } catch (const std::exception&) {
    return 0;
  }
}

class Confinement : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "the attack needs a root module and a second user";
    fs::permissions(dir_.path(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    // Root's own files, which nobody may reach.
    fs::create_directories(victim_ / "keys");
    Write(victim_ / "keys" / "authorized_keys", "root's key");
    Write(victim_ / "passwd", "root:x:0:0");
    Write(victim_ / "shadow", "root:*");
    fs::permissions(victim_, fs::perms::owner_all);
    for (const fs::path& side : {src_, dst_}) {
      fs::create_directories(side);
      ASSERT_EQ(::chown(side.c_str(), kNobody, kNobody), 0);
    }
    before_ = TreeFingerprint(victim_);
  }

  // The attacker's files arrive and a marker written last still arrives: the
  // worker went on past everything it refused.
  void ExpectWorkerWentOn(const std::string& marker) {
    ASSERT_EQ(AsNobody("echo m > '" + (src_ / marker).string() + "'"), 0);
    EXPECT_TRUE(PollUntil([&] { return HasContent(dst_ / marker, "m\n"); }));
  }

  TempDir dir_;
  fs::path victim_ = dir_.path() / "victim";
  fs::path src_ = dir_.path() / "src";
  fs::path dst_ = dir_.path() / "dst";
  std::string before_;
};

TEST_F(Confinement, ALinkReplacedByADirectoryInTheSourceNeverLeadsOut) {
  TaskInfo info(L"attack-source", src_, dst_);
  info->enDelStrategy = DelIgnore;
  ASSERT_GE(CHostAddTask(module_host::g_module.Monitor(), info.get()), 20000);

  const std::string src = src_.string();
  ASSERT_EQ(AsNobody("ln -s '" + (victim_ / "keys").string() + "' " + src + "/d"), 0);
  ASSERT_TRUE(PollUntil([&] { return fs::is_symlink(dst_ / "d"); }));
  // The copy of the link stays (deletes are ignored); a directory of the same
  // name follows, with a file that would land in the link's target.
  ASSERT_EQ(AsNobody("rm " + src + "/d; mkdir " + src + "/d; echo planted > " + src +
                     "/d/authorized_keys; echo planted > " + src + "/d/other"),
            0);
  ExpectWorkerWentOn("marker-1");
  EXPECT_TRUE(PollUntil([&] { return RowsWithError("attack-source", 1921) > 0; }));
  EXPECT_EQ(TreeFingerprint(victim_), before_);
  EXPECT_EQ(DeleteTask(L"attack-source"), 0);
}

TEST_F(Confinement, ALinkPlantedInTheDestinationNeverLeadsOut) {
  fs::create_directories(src_ / "sub");
  Write(src_ / "sub" / "shadow", "s");
  for (const auto& entry : fs::recursive_directory_iterator(src_)) {
    ASSERT_EQ(::lchown(entry.path().c_str(), kNobody, kNobody), 0);
  }
  TaskInfo info(L"attack-dest", src_, dst_);
  info->enDelStrategy = DelPermanent;
  ASSERT_GE(CHostAddTask(module_host::g_module.Monitor(), info.get()), 20000);
  const std::string src = src_.string() + "/sub";
  const std::string dst = dst_.string();
  ASSERT_EQ(AsNobody("echo v1 > " + src + "/f; touch " + src + "/shadow"), 0);
  ASSERT_TRUE(PollUntil([&] {
    return HasContent(dst_ / "sub" / "f", "v1\n") && fs::exists(dst_ / "sub" / "shadow");
  }));

  ASSERT_EQ(AsNobody("mv " + dst + "/sub " + dst + "/old; ln -s '" + victim_.string() + "' " + dst +
                     "/sub"),
            0);
  // Every kind of change below the planted link, aimed at the names root
  // keeps in its own folder: a new file, a delete, a rename and a new
  // directory with a file in it.
  ASSERT_EQ(
      AsNobody("echo planted > " + src + "/passwd; rm " + src + "/shadow; mv " + src + "/f " + src +
               "/renamed; mkdir " + src + "/keys; echo planted > " + src + "/keys/authorized_keys"),
      0);
  ExpectWorkerWentOn("marker-2");
  EXPECT_TRUE(PollUntil([&] { return RowsWithError("attack-dest", 1921) >= 3; }));
  EXPECT_EQ(TreeFingerprint(victim_), before_);
  EXPECT_TRUE(fs::is_symlink(dst_ / "sub"));
  EXPECT_EQ(DeleteTask(L"attack-dest"), 0);
}

}  // namespace
