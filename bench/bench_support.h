// Shared by the benchmarks: a scratch directory, commands run and waited
// for, paths in the module's wide form, and the loaded module's exports.
#pragma once

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// A path in the module's wide form; a path that is not valid text ends the
// benchmark.
inline std::wstring Wide(const std::string& text) {
  std::wstring out(text.size() + 1, L'\0');
  const size_t n = std::mbstowcs(out.data(), text.c_str(), out.size());
  if (n == static_cast<size_t>(-1)) {
    std::fprintf(stderr, "path is not valid text: %s\n", text.c_str());
    std::exit(1);
  }
  out.resize(n);
  return out;
}

// An export of the loaded module; a missing one ends the benchmark.
template <typename T>
T Symbol(void* library, const char* name) {
  void* address = dlsym(library, name);
  if (address == nullptr) {
    std::fprintf(stderr, "missing export %s\n", name);
    std::exit(1);
  }
  return reinterpret_cast<T>(address);
}

inline std::filesystem::path ScratchDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/strandel-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

// Runs a program (found on PATH, no shell) and waits for it; a failure ends
// the benchmark, whose figures would mean nothing.
inline void RunCommand(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed\n", args[0].c_str());
    std::exit(1);
  }
}
