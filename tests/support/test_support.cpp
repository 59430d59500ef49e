#include "test_support.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

#include "os/text.h"

namespace testing_support {

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only directories behind; give write access back first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::wstring TempDir::wstr() const { return os::FromUtf8(path_.string()); }

TraceCapture::TraceCapture() {
  previous_ = os::SetTraceSink([this](std::string_view message) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(message);
  });
}

TraceCapture::~TraceCapture() { os::SetTraceSink(previous_); }

std::vector<std::string> TraceCapture::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool TraceCapture::Contains(const std::string& needle) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& line : lines_) {
    if (line.find(needle) != std::string::npos) return true;
  }
  return false;
}

bool PollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

bool StepClockUntil(os::FakeClock& clock, const std::function<bool()>& condition,
                    std::chrono::milliseconds step) {
  for (int i = 0; i < 3000; ++i) {
    if (condition()) return true;
    clock.Advance(step);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return condition();
}

std::wstring NativePath(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', os::kPathSeparator);
  return path;
}

void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

ClockDriver::ClockDriver(os::FakeClock& clock)
    : thread_([this, &clock] {
        while (!stop_) {
          clock.Advance(std::chrono::milliseconds(50));
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }) {}

ClockDriver::~ClockDriver() {
  stop_ = true;
  thread_.join();
}

}  // namespace testing_support
