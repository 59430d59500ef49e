#include "os/named_event.h"

#include <map>
#include <mutex>

namespace os {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<Event>> events;  // guarded by mutex
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // never destroyed: holders may outlive statics
  return *registry;
}

}  // namespace

std::shared_ptr<Event> CreateNamedEvent(const std::string& name, bool manual_reset,
                                        bool initially_set) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  std::weak_ptr<Event>& slot = registry.events[name];
  if (auto existing = slot.lock()) return existing;
  auto event = std::make_shared<Event>(manual_reset, initially_set);
  slot = event;
  return event;
}

std::shared_ptr<Event> OpenNamedEvent(const std::string& name) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  const auto it = registry.events.find(name);
  if (it == registry.events.end()) return nullptr;
  auto event = it->second.lock();
  if (!event) registry.events.erase(it);
  return event;
}

}  // namespace os
