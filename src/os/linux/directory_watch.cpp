// How inotify events become change records.
//
// - A new regular file is added when its writer closes it, or after kNewFileGrace
//   while it stays open; directories, symbolic links and anything moved in are
//   added at once. Special files are never reported.
// - Delete, and a move-from whose partner does not come within kPairWindow,
//   are removals; close-after-write of a known file and attribute changes are
//   modifications. A file written and left open is reported as modified once
//   it has been written for kStallTime without a close.
// - A move-from and the move-to with the same cookie, both under one handle,
//   give the old-name record immediately followed by the new-name record.
// - A new or moved-in directory is watched before it is listed, and what the
//   listing finds is reported as added; the listing and the events overlap, so
//   some names come twice.
// - The temporary copy names are never reported; renaming one onto a real name
//   is that name's change (modified when it existed before, added otherwise).
// - A directory watched again before the next pump (the watch thread's
//   restart) keeps its state: a new file still open across the restart is
//   still added once it is closed.
// - A lost batch (queue overflow, watch limit, a handle's queue too long)
//   completes the armed read with 0 bytes; after an overflow the trees are
//   walked again so that directories made during the lost batch are watched.
#include "os/directory_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fstream>
#include <utility>

#include "os/linux/directory_watch_state.h"
#include "os/event.h"
#include "os/last_error.h"
#include "os/text.h"
#include "os/trace_sink.h"

namespace os {
namespace {

constexpr int kMaxReadsPerPump = 64;

}  // namespace

std::string CompletionPort::Impl::Join(const std::string& dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  std::string path = dir;
  path += kPathSeparatorA;
  path += name;
  return path;
}

void CompletionPort::Impl::Trace(const std::string& text) {
  TraceOutput("[Strandel]" + text + "\n");
}

std::string CompletionPort::Impl::ReadProcValue(const char* path) {
  std::ifstream in(path);
  std::string value;
  in >> value;
  return value.empty() ? "?" : value;
}

void CompletionPort::Impl::Queue(uintptr_t key, DWORD bytes) {
  std::lock_guard<std::mutex> lock(mutex);
  packets.push_back({key, bytes});
}

bool CompletionPort::Impl::ReadEvents() {
  alignas(inotify_event) char buffer[64 * 1024];
  bool any = false;
  for (int reads = 0; reads < kMaxReadsPerPump; ++reads) {
    const ssize_t got = ::read(inotify_fd.get(), buffer, sizeof buffer);
    if (got <= 0) break;
    any = true;
    for (ssize_t at = 0; at < got;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buffer + at);
      ProcessEvent(*ev);
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
    // A read that left room for the largest event emptied the queue: asking
    // again would only be told so. What came since wakes the next poll.
    if (static_cast<size_t>(got) + sizeof(inotify_event) + NAME_MAX + 1 <= sizeof buffer) break;
  }
  return any;
}

void CompletionPort::Impl::Pump() {
  RemoveUnwatched();
  const auto now = WatchClock::now();
  if (now >= next_read) {
    busy_rounds = ReadEvents() ? busy_rounds + 1 : 0;
    if (busy_rounds >= kBurstRounds) next_read = now + kBurstPause;
  }
  for (Handle* h : std::vector<Handle*>(handles)) {
    if (h->rescan && !h->gone) Rescan(h);
    h->rescan = false;
  }
  ExpireTimers();
  for (Handle* h : gone_handles) ReleaseAll(h);
  gone_handles.clear();
  for (Handle* h : handles) TryComplete(h);
}

// ---- CompletionPort ---------------------------------------------------------

CompletionPort::CompletionPort() : impl_(std::make_unique<Impl>()) {
  impl_->inotify_fd = UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!impl_->inotify_fd.valid()) {
    const int err = errno;
    ErrorFromErrno(err, "inotify");
    if (err == EMFILE) {
      Impl::Trace("inotify instance limit reached (/proc/sys/fs/inotify/max_user_instances = " +
                  Impl::ReadProcValue("/proc/sys/fs/inotify/max_user_instances") + ")");
    }
    return;
  }
  impl_->wake_fd = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!impl_->wake_fd.valid()) ErrorFromErrno(errno, "eventfd");
}

CompletionPort::~CompletionPort() {
  for (Impl::Handle* h : impl_->handles) {
    h->port = nullptr;
    h->dirs.clear();
    h->armed = false;
  }
}

bool CompletionPort::IsValid() const { return impl_->inotify_fd.valid() && impl_->wake_fd.valid(); }

bool CompletionPort::Post(uintptr_t key, DWORD bytes) {
  if (!IsValid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  impl_->Queue(key, bytes);
  const uint64_t one = 1;
  if (::write(impl_->wake_fd.get(), &one, sizeof one) < 0 && errno != EAGAIN) {
    ErrorFromErrno(errno, "eventfd");
    return false;
  }
  return true;
}

bool CompletionPort::Dequeue(DWORD* bytes, uintptr_t* key, DWORD timeout_ms) {
  if (!IsValid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const auto start = WatchClock::now();
  // A caller that will not wait is given what is queued now, burst or not.
  if (timeout_ms == 0) impl_->next_read = {};
  const WatchClock::time_point deadline = timeout_ms == INFINITE
                                              ? WatchClock::time_point::max()
                                              : start + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    impl_->Pump();
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      if (!impl_->packets.empty()) {
        *bytes = impl_->packets.front().bytes;
        *key = impl_->packets.front().key;
        impl_->packets.pop_front();
        return true;
      }
    }
    const auto now = WatchClock::now();
    if (now >= deadline) {
      SetLastError(WAIT_TIMEOUT);
      return false;
    }
    const bool gathering = now < impl_->next_read;
    WatchClock::time_point wake = std::min(deadline, impl_->NextDue());
    if (gathering) wake = std::min(wake, impl_->next_read);
    int wait_ms = -1;
    if (wake != WatchClock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
      wait_ms = static_cast<int>(std::min<long long>(left, 1 << 30));
    }
    // While a burst gathers only a posted packet wakes the thread early.
    pollfd fds[2] = {{gathering ? -1 : impl_->inotify_fd.get(), POLLIN, 0},
                     {impl_->wake_fd.get(), POLLIN, 0}};
    if (::poll(fds, 2, wait_ms) < 0 && errno != EINTR) {
      ErrorFromErrno(errno, "poll");
      return false;
    }
    if (fds[1].revents & POLLIN) {
      uint64_t count;
      static_cast<void>(::read(impl_->wake_fd.get(), &count, sizeof count));
    }
  }
}

// ---- DirectoryHandle ---------------------------------------------------------

DirectoryHandle::DirectoryHandle(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DirectoryHandle::~DirectoryHandle() {
  CompletionPort::Impl* port = impl_->port;
  if (!port) return;
  port->ReleaseAll(impl_.get());
  std::erase(port->handles, impl_.get());
  std::erase(port->gone_handles, impl_.get());
}

std::unique_ptr<DirectoryHandle> DirectoryHandle::Open(const std::wstring& path) {
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  impl->root = ToUtf8(path);
  while (impl->root.size() > 1 && impl->root.back() == kPathSeparatorA) impl->root.pop_back();
  const UniqueFd probe(::open(impl->root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!probe.valid()) {
    ErrorFromErrno(errno, impl->root);
    return nullptr;
  }
  return std::unique_ptr<DirectoryHandle>(new DirectoryHandle(std::move(impl)));
}

bool DirectoryHandle::Associate(CompletionPort& port, uintptr_t key) {
  CompletionPort::Impl* p = port.impl();
  if (impl_->port || !port.IsValid()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  impl_->port = p;
  impl_->key = key;
  p->handles.push_back(impl_.get());
  UniqueFd fd = CompletionPort::Impl::OpenDirectory(impl_.get(), "");
  if (!fd.valid()) {
    ErrorFromErrno(errno, impl_->root);
  } else {
    p->Scan(impl_.get(), std::move(fd), "", false, false, nullptr);
  }
  if (!impl_->dirs.count("")) {
    p->ReleaseAll(impl_.get());
    std::erase(p->handles, impl_.get());
    impl_->port = nullptr;
    impl_->overflow = false;
    return false;
  }
  return true;
}

bool DirectoryHandle::Read(void* buffer, DWORD length) {
  if (!impl_->port || impl_->armed || buffer == nullptr) {
    SetLastError(impl_->port ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return false;
  }
  if (impl_->gone_reported) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  impl_->buffer = static_cast<char*>(buffer);
  impl_->length = length;
  impl_->armed = true;
  impl_->port->TryComplete(impl_.get());
  return true;
}

const std::wstring& DirectoryHandle::Path() const { return impl_->path; }

bool DirectoryHandle::WatchLimitReached() const { return impl_->limited; }

bool DirectoryHandle::IsGone() const { return impl_->gone; }

void DirectoryHandle::Rewatch() {
  if (!impl_->port || impl_->gone) return;
  impl_->rescan = true;
  impl_->port->SetOverflow(impl_.get());
}

}  // namespace os
