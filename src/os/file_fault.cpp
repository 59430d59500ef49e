#include "os/file_fault.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "os/file_ops.h"

namespace os {
namespace {

using FaultHook = std::function<int(std::string_view, const std::string&)>;

std::atomic<bool> g_hook_set{false};
std::mutex g_hook_mutex;
std::shared_ptr<const FaultHook> g_hook;  // guarded by g_hook_mutex

}  // namespace

bool HasFileFault() { return g_hook_set.load(std::memory_order_acquire); }

int FileFault(std::string_view operation, const std::string& path) {
  if (!HasFileFault()) return 0;
  std::shared_ptr<const FaultHook> hook;
  {
    std::lock_guard<std::mutex> lock(g_hook_mutex);
    hook = g_hook;
  }
  return hook ? (*hook)(operation, path) : 0;
}

void SetFileFaultForTest(
    std::function<int(std::string_view operation, const std::string& path)> hook) {
  std::lock_guard<std::mutex> lock(g_hook_mutex);
  g_hook = hook ? std::make_shared<const FaultHook>(std::move(hook)) : nullptr;
  g_hook_set.store(g_hook != nullptr, std::memory_order_release);
}

}  // namespace os
