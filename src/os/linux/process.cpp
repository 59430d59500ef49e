#include "os/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "os/last_error.h"

namespace os {
namespace {

std::string VariableName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

void SetVariable(std::vector<std::string>& env, const std::string& entry) {
  const std::string name = VariableName(entry);
  for (std::string& existing : env) {
    if (VariableName(existing) == name) {
      existing = entry;
      return;
    }
  }
  env.push_back(entry);
}

std::string ResolveProgram(const std::string& program, const std::vector<std::string>& env) {
  if (program.find('/') != std::string::npos) return program;
  std::string path;
  for (const std::string& entry : env) {
    if (entry.rfind("PATH=", 0) == 0) path = entry.substr(5);
  }
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    const std::string dir = end > start ? path.substr(start, end - start) : ".";
    const std::string candidate = dir + "/" + program;
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0) {
      return candidate;
    }
    start = end + 1;
  }
  return {};
}

// Closes every descriptor from 3 up, except keep.
void CloseInheritedExcept(int keep) {
  const auto close_range = [](unsigned first, unsigned last) {
    if (first > last) return;
    if (::syscall(SYS_close_range, first, last, 0u) == 0) return;
    const long max = ::sysconf(_SC_OPEN_MAX);
    const unsigned limit = max > 0 ? static_cast<unsigned>(max) : 1024u;
    for (unsigned fd = first; fd <= last && fd < limit; ++fd) ::close(static_cast<int>(fd));
  };
  close_range(3u, static_cast<unsigned>(keep) - 1);
  close_range(static_cast<unsigned>(keep) + 1, ~0u);
}

// Runs in the forked child: async-signal-safe calls only. Reports errno on
// report_fd when it cannot exec.
[[noreturn]] void ExecAsUser(const UserToken& token, bool change_identity, const char* program,
                             char* const argv[], char* const envp[], const gid_t* groups,
                             std::size_t group_count, bool inherit_output, int report_fd) {
  auto fail = [report_fd] {
    const int err = errno;
    [[maybe_unused]] ssize_t ignored = ::write(report_fd, &err, sizeof err);
    ::_exit(127);
  };
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);

  const int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd < 0) fail();
  ::dup2(null_fd, 0);
  if (!inherit_output) {
    ::dup2(null_fd, 1);
    ::dup2(null_fd, 2);
  }
  // The report pipe is close-on-exec and goes away with the exec.
  CloseInheritedExcept(report_fd);

  if (change_identity) {
    if (::syscall(SYS_setgroups, group_count, groups) != 0) fail();
    if (::setgid(token.gid) != 0) fail();
    if (::setuid(token.uid) != 0) fail();
  }
  ::execve(program, argv, envp);
  fail();
  ::_exit(127);
}

}  // namespace

std::vector<std::string> AccountEnvironment(const UserToken& token) {
  std::vector<std::string> env = {
      "HOME=" + token.home,
      "USER=" + token.name,
      "LOGNAME=" + token.name,
      "SHELL=" + token.shell,
      token.uid == 0 ? "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
                     : "PATH=/usr/local/bin:/usr/bin:/bin",
  };
  const std::string runtime = "/run/user/" + std::to_string(token.uid);
  struct stat st;
  if (::stat(runtime.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    env.push_back("XDG_RUNTIME_DIR=" + runtime);
  }
  return env;
}

StartResult StartProcess(const UserToken& token, const std::vector<std::string>& argv,
                         const StartOptions& options) {
  StartResult result;
  if (argv.empty() || argv[0].empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return result;
  }
  // Only root can become another user. Anyone else starts the program as
  // itself, as it runs: a service given another group than its account's
  // primary one could not even set that group back.
  const bool change_identity = ::geteuid() == 0;
  if (!change_identity && token.uid != ::geteuid()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return result;
  }
  std::vector<std::string> env = AccountEnvironment(token);
  for (const std::string& entry : options.extra_environment) SetVariable(env, entry);
  const std::string program = ResolveProgram(argv[0], env);
  if (program.empty()) {
    ErrorFromErrno(ENOENT, argv[0]);
    return result;
  }
  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls are allowed (other threads may hold the heap lock).
  std::vector<char*> arg_ptrs;
  for (const std::string& a : argv) arg_ptrs.push_back(const_cast<char*>(a.c_str()));
  arg_ptrs.push_back(nullptr);
  std::vector<char*> env_ptrs;
  for (const std::string& e : env) env_ptrs.push_back(const_cast<char*>(e.c_str()));
  env_ptrs.push_back(nullptr);

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    ErrorFromErrno(errno, program);
    return result;
  }
  const pid_t child = ::fork();
  if (child < 0) {
    ErrorFromErrno(errno, program);
    ::close(report[0]);
    ::close(report[1]);
    return result;
  }
  if (child == 0) {
    ::close(report[0]);
    if (!options.wait) {
      // Detach: the grandchild runs the program and is reparented, the
      // intermediate child ends at once and is reaped below.
      const pid_t grandchild = ::fork();
      if (grandchild < 0) {
        const int err = errno;
        [[maybe_unused]] ssize_t ignored = ::write(report[1], &err, sizeof err);
        ::_exit(127);
      }
      if (grandchild > 0) ::_exit(0);
    }
    ExecAsUser(token, change_identity, program.c_str(), arg_ptrs.data(), env_ptrs.data(),
               token.groups.data(), token.groups.size(), options.inherit_output, report[1]);
  }
  ::close(report[1]);
  int child_errno = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &child_errno, sizeof child_errno);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);

  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);

  if (got == static_cast<ssize_t>(sizeof child_errno)) {
    ErrorFromErrno(child_errno, program);
    return result;
  }
  result.started = true;
  if (options.wait && waited == child && WIFEXITED(status))
    result.exit_status = WEXITSTATUS(status);
  return result;
}

}  // namespace os
