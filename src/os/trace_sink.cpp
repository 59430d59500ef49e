#include "os/trace_sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace os {
namespace {

struct SinkState {
  std::mutex mutex;
  bool configured = false;  // STRANDEL_TRACE read yet
  TraceSink sink;
};

SinkState& State() {
  // Leaked on purpose: threads may still trace while statics are destroyed at exit.
  static auto* state = new SinkState;
  return *state;
}

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

TraceSink SinkFromEnvironment() {
  const char* target = std::getenv("STRANDEL_TRACE");
  if (target == nullptr || *target == '\0') return {};
  if (std::strcmp(target, "stderr") == 0) {
    return [](std::string_view message) { WriteAll(STDERR_FILENO, message); };
  }
  const int fd = ::open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return {};
  return [fd](std::string_view message) { WriteAll(fd, message); };
}

}  // namespace

void TraceOutput(std::string_view message) {
  SinkState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.configured) {
    state.sink = SinkFromEnvironment();
    state.configured = true;
  }
  if (state.sink) state.sink(message);
}

TraceSink SetTraceSink(TraceSink sink) {
  SinkState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.configured) state.sink = SinkFromEnvironment();
  state.configured = true;
  TraceSink previous = std::move(state.sink);
  state.sink = std::move(sink);
  return previous;
}

}  // namespace os
