// Where STRANDEL_TRACE points the trace, in each platform's terms.
// Called once, under the trace's own lock.
#pragma once

#include "os/trace_sink.h"

namespace os {

// The sink the environment asks for; empty when tracing is off.
TraceSink SinkFromEnvironment();

}  // namespace os
