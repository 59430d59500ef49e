#include "os/named_event.h"

#include <map>
#include <mutex>

namespace os {
namespace {

class ProcessEvent final : public NamedEvent {
 public:
  ProcessEvent(bool manual_reset, bool initially_set) : event_(manual_reset, initially_set) {}
  void Set() override { event_.Set(); }
  void Reset() override { event_.Reset(); }
  DWORD Wait(DWORD timeout_ms) override { return event_.Wait(timeout_ms); }

 private:
  Event event_;
};

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<NamedEvent>> events;  // guarded by mutex
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // never destroyed: holders may outlive statics
  return *registry;
}

}  // namespace

std::shared_ptr<NamedEvent> CreateNamedEvent(const std::string& name, bool manual_reset,
                                             bool initially_set) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  std::weak_ptr<NamedEvent>& slot = registry.events[name];
  if (auto existing = slot.lock()) return existing;
  auto event = std::make_shared<ProcessEvent>(manual_reset, initially_set);
  slot = event;
  return event;
}

std::shared_ptr<NamedEvent> OpenNamedEvent(const std::string& name) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  const auto it = registry.events.find(name);
  if (it == registry.events.end()) return nullptr;
  auto event = it->second.lock();
  if (!event) registry.events.erase(it);
  return event;
}

}  // namespace os
