// Events known by name inside the process: every holder of a name shares one
// event, which lives while anyone holds it. A second module instance in the
// same process therefore shares it, as the design's system-wide event would be.
// Thread-safe.
#pragma once

#include <memory>
#include <string>

#include "os/event.h"

namespace os {

// The event of that name, made with these settings when nobody holds one yet;
// an existing event keeps its own.
std::shared_ptr<Event> CreateNamedEvent(const std::string& name, bool manual_reset,
                                        bool initially_set);
// The event of that name, or null when nobody holds one.
std::shared_ptr<Event> OpenNamedEvent(const std::string& name);

}  // namespace os
