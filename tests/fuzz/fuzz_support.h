// What several fuzz targets share: a scratch directory for the whole run and
// wide text made from arbitrary bytes the way the module makes it.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "os/text.h"

namespace fuzz {

// A fresh private directory under $TMPDIR, removed when the process ends
// normally. One per process: iterations reuse what is in it.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/strandel-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::wstring wide() const { return os::FromUtf8(path_.string()); }

 private:
  std::filesystem::path path_;
};

// Up to max_bytes of any bytes (invalid UTF-8 included), decoded as every
// name from disk or the database is.
inline std::wstring ConsumeWide(FuzzedDataProvider& data, std::size_t max_bytes) {
  return os::FromUtf8(data.ConsumeRandomLengthString(max_bytes));
}

}  // namespace fuzz
