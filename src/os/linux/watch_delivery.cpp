// What a directory handle reports: records are held until a read is armed,
// a lost batch or the root's going completes the read with 0 bytes.
#include <cstddef>
#include <utility>

#include "os/linux/directory_watch_state.h"

namespace os {
namespace {

constexpr std::size_t kMaxPendingRecords = 100000;

}  // namespace

void CompletionPort::Impl::Emit(Handle* h, DWORD action, std::string rel) {
  if (h->gone) return;
  if (action == FILE_ACTION_MODIFIED && !h->pending.empty() &&
      h->pending.back().action == FILE_ACTION_MODIFIED && h->pending.back().name == rel) {
    return;
  }
  h->pending.push_back({action, std::move(rel)});
  if (h->pending.size() > kMaxPendingRecords) {
    Trace("Change queue of " + h->root + " overflowed; records dropped");
    SetOverflow(h);
  }
}

void CompletionPort::Impl::SetOverflow(Handle* h) {
  if (h->gone) return;
  h->pending.clear();
  h->overflow = true;
}

void CompletionPort::Impl::MarkGone(Handle* h) {
  if (h->gone) return;
  h->gone = true;
  h->overflow = false;
  h->pending.clear();
  gone_handles.push_back(h);
}

void CompletionPort::Impl::Complete(Handle* h, DWORD bytes) {
  h->armed = false;
  Queue(h->key, bytes);
}

void CompletionPort::Impl::TryComplete(Handle* h) {
  if (!h->armed) return;
  if (h->gone) {
    if (!h->gone_reported) {
      h->gone_reported = true;
      Complete(h, 0);
    }
    return;
  }
  if (h->overflow) {
    h->overflow = false;
    Complete(h, 0);
    return;
  }
  if (h->pending.empty()) return;
  Complete(h, FillNotifyBuffer(h->pending, h->buffer, h->length));
}

}  // namespace os
