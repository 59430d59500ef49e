// Events known by name: every holder of a name shares one event, which lives
// while anyone holds it.
//
// Windows: a named kernel event (CreateEventW, OpenEventW), so other
// processes of the session share it too; its handle is inheritable, with
// default security. Waits there are in real time: the module only ever
// waits on one without a time-out.
// Linux has no such object: the event is shared inside the process, so a
// second module instance in the same process shares it, and its waits run on
// the module clock (os/clock.h).
// Thread-safe.
#pragma once

#include <memory>
#include <string>

#include "os/event.h"

namespace os {

class NamedEvent {
 public:
  virtual ~NamedEvent() = default;
  virtual void Set() = 0;
  virtual void Reset() = 0;
  // WAIT_OBJECT_0 when the event was set in time, else WAIT_TIMEOUT.
  virtual DWORD Wait(DWORD timeout_ms) = 0;
};

// The event of that name, made with these settings when nobody holds one yet;
// an existing event keeps its own. Null when it cannot be made (last error
// set).
std::shared_ptr<NamedEvent> CreateNamedEvent(const std::string& name, bool manual_reset,
                                             bool initially_set);
// The event of that name, or null when nobody holds one.
std::shared_ptr<NamedEvent> OpenNamedEvent(const std::string& name);

}  // namespace os
