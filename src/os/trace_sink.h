// Where debug trace messages go. Off by default; STRANDEL_TRACE=stderr or
// STRANDEL_TRACE=/path/to/file turns it on (read once, at the first trace).
// Tests install their own sink to read the lines.
// Thread-safe: messages from several threads are delivered one at a time.
#pragma once

#include <functional>
#include <string_view>

namespace os {

using TraceSink = std::function<void(std::string_view message)>;

// Delivers one message, exactly as given (the caller adds any line end).
void TraceOutput(std::string_view message);

// Whether a message would go anywhere: callers skip formatting when not.
bool TraceEnabled();

// Replaces the sink; an empty function turns tracing off. Returns the previous
// sink so that a test can put it back.
TraceSink SetTraceSink(TraceSink sink);

}  // namespace os
