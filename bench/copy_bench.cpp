// os::CopyFile against coreutils cp on the same data in the same scratch
// directory: one 256 MiB file, and 5,000 files of 4 KiB. Our copy writes to a
// temporary name, flushes it to disk and renames it; cp does neither, so the
// time a sync takes after cp is printed beside it for a like-for-like view.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "os/file_ops.h"
#include "os/last_error.h"
#include "os/text.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kBigSize = size_t{256} << 20;
constexpr int kSmallCount = 5000;
constexpr size_t kSmallSize = 4096;

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Copy(const fs::path& from, const fs::path& to) {
  if (!os::CopyFile(os::FromUtf8(from.string()), os::FromUtf8(to.string()), FALSE)) {
    std::fprintf(stderr, "CopyFile %s failed: %u\n", from.c_str(), os::GetLastError());
    std::exit(1);
  }
}

void WriteData(const fs::path& path, size_t size, uint32_t state) {
  std::vector<uint32_t> data(size / sizeof(uint32_t));
  for (auto& word : data) {
    state = state * 1664525u + 1013904223u;
    word = state;
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(size));
}

void Report(const char* what, double ours, double cp, double cp_sync) {
  std::printf("%-34s ours %8.3f s   cp %8.3f s   ratio %5.2f   (cp + sync %8.3f s, ratio %5.2f)\n",
              what, ours, cp, ours / cp, cp + cp_sync, ours / (cp + cp_sync));
}

}  // namespace

int main() {
  const fs::path scratch = ScratchDir();
  std::printf("scratch directory %s\n", scratch.c_str());

  const fs::path big = scratch / "big.bin";
  WriteData(big, kBigSize, 1);
  const fs::path small = scratch / "small";
  fs::create_directory(small);
  for (int i = 0; i < kSmallCount; ++i) {
    WriteData(small / ("f" + std::to_string(i) + ".dat"), kSmallSize, static_cast<uint32_t>(i));
  }
  ::sync();

  const double big_ours = Seconds([&] { Copy(big, scratch / "big-ours.bin"); });
  ::sync();
  const double big_cp = Seconds([&] {
    RunCommand({"cp", "--reflink=auto", big.string(), (scratch / "big-cp.bin").string()});
  });
  const double big_cp_sync = Seconds([] { ::sync(); });

  const double small_ours = Seconds([&] {
    fs::create_directory(scratch / "small-ours");
    for (int i = 0; i < kSmallCount; ++i) {
      const std::string name = "f" + std::to_string(i) + ".dat";
      Copy(small / name, scratch / "small-ours" / name);
    }
  });
  ::sync();
  const double small_cp = Seconds([&] {
    RunCommand({"cp", "-r", small.string(), (scratch / "small-cp").string()});
  });
  const double small_cp_sync = Seconds([] { ::sync(); });
  const double small_cp_each = Seconds([&] {
    fs::create_directory(scratch / "small-cp-each");
    for (int i = 0; i < kSmallCount; ++i) {
      const std::string name = "f" + std::to_string(i) + ".dat";
      RunCommand({"cp", (small / name).string(), (scratch / "small-cp-each" / name).string()});
    }
  });
  const double small_cp_each_sync = Seconds([] { ::sync(); });

  Report("256 MiB file", big_ours, big_cp, big_cp_sync);
  Report("5000 x 4 KiB (cp -r)", small_ours, small_cp, small_cp_sync);
  Report("5000 x 4 KiB (one cp per file)", small_ours, small_cp_each, small_cp_each_sync);

  std::error_code ec;
  fs::remove_all(scratch, ec);
  return 0;
}
