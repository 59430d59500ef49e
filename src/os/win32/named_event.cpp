#include "os/named_event.h"

#include <windows.h>

#include "os/text.h"
#include "os/win32/unique_handle.h"

namespace os {
namespace {

class KernelEvent final : public NamedEvent {
 public:
  explicit KernelEvent(HANDLE handle) : handle_(handle) {}
  void Set() override { ::SetEvent(handle_.get()); }
  void Reset() override { ::ResetEvent(handle_.get()); }
  DWORD Wait(DWORD timeout_ms) override {
    return ::WaitForSingleObject(handle_.get(), timeout_ms) == WAIT_OBJECT_0 ? WAIT_OBJECT_0
                                                                             : WAIT_TIMEOUT;
  }

 private:
  UniqueHandle handle_;
};

}  // namespace

std::shared_ptr<NamedEvent> CreateNamedEvent(const std::string& name, bool manual_reset,
                                             bool initially_set) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE handle = ::CreateEventW(&inheritable, manual_reset, initially_set, FromUtf8(name).c_str());
  if (handle == nullptr) return nullptr;
  return std::make_shared<KernelEvent>(handle);
}

std::shared_ptr<NamedEvent> OpenNamedEvent(const std::string& name) {
  HANDLE handle = ::OpenEventW(EVENT_ALL_ACCESS, FALSE, FromUtf8(name).c_str());
  if (handle == nullptr) return nullptr;
  return std::make_shared<KernelEvent>(handle);
}

}  // namespace os
