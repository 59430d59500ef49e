// The Linux side of the test helpers: scratch directories under $TMPDIR,
// processes, and the mount namespaces where volumes can be made.
#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace testing_support {

bool RunningUnderWine() { return false; }

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/strandel-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

std::string TreeFingerprint(const std::filesystem::path& dir) {
  std::vector<std::string> lines;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    struct stat st;
    ::lstat(entry.path().c_str(), &st);
    std::string line = entry.path().string() + " " + std::to_string(st.st_mode) + " " +
                       std::to_string(st.st_uid) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                       std::to_string(st.st_mtim.tv_nsec);
    if (S_ISREG(st.st_mode)) line += " " + ReadFile(entry.path());
    lines.push_back(std::move(line));
  }
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const auto& line : lines) all += line + "\n";
  return all;
}


ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& cwd, std::chrono::milliseconds timeout) {
  ProcessResult result;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(out[1], STDERR_FILENO);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  const auto deadline = start + timeout;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;  // every writer closed: the process is ending
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  if (!result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

NamespaceRun RunTestsInMountNamespace(const std::string& gtest_filter,
                                      const std::vector<std::string>& env,
                                      std::chrono::milliseconds timeout) {
  std::vector<std::string> args{"-Urm", "/usr/bin/env"};
  args.insert(args.end(), env.begin(), env.end());
  args.insert(args.end(), {std::filesystem::read_symlink("/proc/self/exe").string(),
                           "--gtest_also_run_disabled_tests", "--gtest_filter=" + gtest_filter});
  NamespaceRun run;
  run.process = RunProcess("/usr/bin/unshare", args, "", timeout);
  run.refused = run.process.output.find("unshare failed") != std::string::npos;
  return run;
}

bool NamespaceRun::AllPassed(int tests) const {
  const std::string passed =
      "[  PASSED  ] " + std::to_string(tests) + (tests == 1 ? " test.\n" : " tests.\n");
  return process.exit_code == 0 && process.output.find(passed) != std::string::npos;
}

bool MountTmpfs(const std::filesystem::path& dir, const std::string& options) {
  std::vector<std::string> args{"-t", "tmpfs"};
  if (!options.empty()) args.insert(args.end(), {"-o", options});
  args.insert(args.end(), {"tmpfs", dir.string()});
  return RunProcess("/usr/bin/mount", args).exit_code == 0;
}

bool MountFakeUsbVolume(const std::filesystem::path& dir, const std::string& device) {
  namespace fs = std::filesystem;
  const fs::path by_number = "/sys/dev/block";
  const fs::path by_name = "/sys/class/block";
  static bool shadowed = false;
  if (!shadowed) {
    if (!MountTmpfs(by_number) || !MountTmpfs(by_name)) return false;
    shadowed = true;
  }
  static int next_minor = 200;
  const std::string numbers = "8:" + std::to_string(next_minor++);
  const fs::path device_dir = by_number / "devices/usb1/1-1/block" / device;
  std::error_code error;
  fs::create_directories(device_dir, error);
  fs::create_directories(by_name / device, error);
  fs::create_directory_symlink(fs::relative(device_dir, by_number), by_number / numbers, error);
  if (error) return false;
  WriteFile(by_name / device / "dev", numbers + "\n");
  return RunProcess("/usr/bin/mount", {"-t", "tmpfs", "/dev/" + device, dir.string()}).exit_code ==
         0;
}

bool BindMount(const std::filesystem::path& from, const std::filesystem::path& to) {
  return RunProcess("/usr/bin/mount", {"--bind", from.string(), to.string()}).exit_code == 0;
}

}  // namespace testing_support
