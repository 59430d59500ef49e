#include "os/trace_sink.h"

#include <atomic>
#include <mutex>

#include "os/trace_target.h"

namespace os {
namespace {

struct SinkState {
  std::mutex mutex;
  bool configured = false;  // STRANDEL_TRACE read yet
  TraceSink sink;
  // Mirrors configured and sink, so the hot path asks without the lock.
  std::atomic<bool> known{false};
  std::atomic<bool> enabled{false};
};

SinkState& State() {
  // Leaked on purpose: threads may still trace while statics are destroyed at exit.
  static auto* state = new SinkState;
  return *state;
}

void Configure(SinkState& state) {
  if (!state.configured) {
    state.sink = SinkFromEnvironment();
    state.configured = true;
  }
  state.enabled.store(static_cast<bool>(state.sink), std::memory_order_release);
  state.known.store(true, std::memory_order_release);
}

}  // namespace

void TraceOutput(std::string_view message) {
  SinkState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  Configure(state);
  if (state.sink) state.sink(message);
}

bool TraceEnabled() {
  SinkState& state = State();
  if (!state.known.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(state.mutex);
    Configure(state);
  }
  return state.enabled.load(std::memory_order_acquire);
}

TraceSink SetTraceSink(TraceSink sink) {
  SinkState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  Configure(state);
  TraceSink previous = std::move(state.sink);
  state.sink = std::move(sink);
  Configure(state);
  return previous;
}

}  // namespace os
