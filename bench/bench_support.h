// Shared by the benchmarks: a scratch directory on the machine's temporary
// file system.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

inline std::filesystem::path ScratchDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/strandel-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}
