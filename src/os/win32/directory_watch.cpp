// Directory change notification on Windows: ReadDirectoryChangesW completing
// on an I/O completion port.
//
// Each handle reads into a buffer of its own (a ReadOp) and copies the records
// into the caller's buffer when the completion is dequeued, leaving out the
// module's own temporary names. The caller's buffer is therefore never written
// by the system, and a handle closed with a read under way only has to keep
// its ReadOp alive until the cancelled read's packet comes out of the port.
//
// Every ReadOp has at most one packet in the port at a time: the system's
// completion of its read, or a 0-byte packet posted for it (a lost batch that
// Rewatch or a failed re-arm reports). A packet's OVERLAPPED pointer leads
// back to its ReadOp; posted packets of the caller carry none.
#include "os/directory_watch.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "os/last_error.h"
#include "os/temp_name.h"
#include "os/text.h"
#include "os/win32/long_path.h"
#include "os/win32/unique_handle.h"

namespace os {
namespace {

constexpr DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_CREATION;
// Reads on network shares larger than this fail with ERROR_INVALID_PARAMETER.
constexpr DWORD kMaxReadBytes = 64 * 1024;
constexpr std::size_t kRecordHead = offsetof(FILE_NOTIFY_INFORMATION, FileName);

struct Identity {
  DWORD volume = 0;
  DWORD high = 0;
  DWORD low = 0;
  bool operator==(const Identity&) const = default;
};

bool IdentityOf(HANDLE handle, Identity* out) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) return false;
  *out = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

UniqueHandle OpenForWatch(const std::wstring& system_path) {
  return UniqueHandle(::CreateFileW(system_path.c_str(), FILE_LIST_DIRECTORY,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
}

bool IsTempLeaf(std::wstring_view name) {
  const std::size_t cut = name.rfind(L'\\');
  if (cut != std::wstring_view::npos) name.remove_prefix(cut + 1);
  return name.starts_with(kTempNamePrefix);
}

}  // namespace

struct ReadOp {
  OVERLAPPED overlapped{};  // first: a packet's OVERLAPPED* is the ReadOp*
  DirectoryHandle::Impl* owner = nullptr;  // null once orphaned
  std::vector<DWORD> buffer;               // DWORD-aligned, as the system requires
  bool in_port = false;  // a packet for it is under way
  bool posted = false;   // that packet is one of ours: a lost batch
};

struct CompletionPort::Impl {
  UniqueHandle port;
  std::vector<DirectoryHandle::Impl*> handles;
  // ReadOps of closed handles whose packet has not come out yet.
  std::vector<ReadOp*> orphans;

  // Turns one completion of op into what the caller sees; false when nothing
  // is left for the caller and the read was armed again.
  bool Complete(ReadOp* op, bool ok, DWORD error, DWORD* bytes, uintptr_t* key);
  void Orphan(ReadOp* op);
};

struct DirectoryHandle::Impl {
  std::wstring path;
  std::wstring system_path;
  UniqueHandle dir;
  Identity identity;
  CompletionPort::Impl* port = nullptr;
  uintptr_t key = 0;
  ReadOp* op = nullptr;
  char* caller_buffer = nullptr;
  DWORD caller_length = 0;
  bool armed = false;
  bool gone = false;
  bool gone_reported = false;
  bool lost_pending = false;  // Rewatch came while no read was armed
  // The last batch ended with a temporary's old name: the new name that
  // starts the next one is an arrival.
  bool temp_rename_open = false;

  // Issues the system read on op; false with the last error set.
  bool Issue();
  // Whether the path still opens to the directory that was opened.
  bool StillThere() const;
  // Posts a 0-byte packet for op, which ends the armed read as a lost batch.
  bool PostLost();
  // Copies op's records into the caller's buffer without the temporaries;
  // returns the bytes written.
  DWORD Filter(DWORD got);
  void ReleaseRead();
};

bool DirectoryHandle::Impl::Issue() {
  op->overlapped = OVERLAPPED{};
  op->posted = false;
  if (!::ReadDirectoryChangesW(dir.get(), op->buffer.data(),
                               static_cast<DWORD>(op->buffer.size() * sizeof(DWORD)), TRUE,
                               kNotifyFilter, nullptr, &op->overlapped, nullptr)) {
    return false;
  }
  op->in_port = true;
  return true;
}

bool DirectoryHandle::Impl::StillThere() const {
  const UniqueHandle probe(::CreateFileW(system_path.c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                         nullptr));
  Identity now;
  return probe.valid() && IdentityOf(probe.get(), &now) && now == identity;
}

bool DirectoryHandle::Impl::PostLost() {
  op->overlapped = OVERLAPPED{};
  op->posted = true;
  if (!::PostQueuedCompletionStatus(port->port.get(), 0, key, &op->overlapped)) return false;
  op->in_port = true;
  return true;
}

DWORD DirectoryHandle::Impl::Filter(DWORD got) {
  const char* in = reinterpret_cast<const char*>(op->buffer.data());
  char* out = caller_buffer;
  std::size_t written = 0;
  std::size_t last = SIZE_MAX;       // offset of the last record written
  std::size_t before_last = SIZE_MAX;
  DWORD last_action = 0;
  std::wstring_view last_name;

  // Appends one record; false when it would not fit (a shorter caller buffer
  // than the read's: what does not fit is lost, as the system loses it).
  auto put = [&](DWORD action, std::wstring_view name) {
    const std::size_t size = (kRecordHead + name.size() * sizeof(wchar_t) + 3) & ~std::size_t{3};
    if (written + size > caller_length) return false;
    if (last != SIZE_MAX) {
      reinterpret_cast<FILE_NOTIFY_INFORMATION*>(out + last)->NextEntryOffset =
          static_cast<DWORD>(written - last);
    }
    auto* record = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(out + written);
    record->NextEntryOffset = 0;
    record->Action = action;
    record->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::memcpy(record->FileName, name.data(), name.size() * sizeof(wchar_t));
    before_last = last;
    last = written;
    last_action = action;
    last_name = std::wstring_view(record->FileName, name.size());
    written += size;
    return true;
  };
  // Takes back the last record written (a removal that a rename over it
  // turns into a modification).
  auto unput = [&] {
    std::memset(out + last, 0, written - last);
    written = last;
    last = before_last;
    before_last = SIZE_MAX;
    last_action = 0;
    if (last != SIZE_MAX) reinterpret_cast<FILE_NOTIFY_INFORMATION*>(out + last)->NextEntryOffset = 0;
  };

  bool old_was_temp = std::exchange(temp_rename_open, false);
  bool pending_old = old_was_temp;  // the next record is the new name of a rename
  for (std::size_t at = 0; at + kRecordHead <= got;) {
    const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(in + at);
    if (at + kRecordHead + record->FileNameLength > got) break;
    const std::wstring_view name(record->FileName, record->FileNameLength / sizeof(wchar_t));
    const bool temp = IsTempLeaf(name);
    bool fits = true;
    switch (record->Action) {
      case FILE_ACTION_RENAMED_OLD_NAME:
        if (!temp) {
          fits = put(record->Action, name);
          pending_old = false;
        } else {
          pending_old = true;
          old_was_temp = true;
        }
        break;
      case FILE_ACTION_RENAMED_NEW_NAME:
        if (pending_old && old_was_temp) {
          // A temporary given a real name: the copy it held arrived, over a
          // file that was there (the system reported its removal just now)
          // or as a new one.
          if (!temp) {
            if (last != SIZE_MAX && last_action == FILE_ACTION_REMOVED && last_name == name) {
              unput();
              fits = put(FILE_ACTION_MODIFIED, name);
            } else {
              fits = put(FILE_ACTION_ADDED, name);
            }
          }
        } else if (temp) {
          // A real name renamed to a temporary: for the caller it went away.
          if (last != SIZE_MAX && last_action == FILE_ACTION_RENAMED_OLD_NAME) {
            const std::wstring old(last_name);
            unput();
            fits = put(FILE_ACTION_REMOVED, old);
          }
        } else {
          fits = put(record->Action, name);
        }
        pending_old = false;
        old_was_temp = false;
        break;
      default:
        if (!temp) fits = put(record->Action, name);
        pending_old = false;
        old_was_temp = false;
        break;
    }
    if (!fits) break;
    if (record->NextEntryOffset == 0) break;
    at += record->NextEntryOffset;
  }
  temp_rename_open = pending_old && old_was_temp;
  return static_cast<DWORD>(written);
}

void DirectoryHandle::Impl::ReleaseRead() {
  if (op == nullptr) return;
  if (op->in_port) {
    // The system may still write into op until the cancelled read completes;
    // the packet that says so frees it.
    if (dir.valid()) ::CancelIoEx(dir.get(), &op->overlapped);
    if (port != nullptr) {
      port->Orphan(op);
    } else {
      // The port went first: wait for the cancellation here. A read that
      // never ends leaks its ReadOp rather than freeing memory in use.
      DWORD ignored = 0;
      if (dir.valid() && (::GetOverlappedResult(dir.get(), &op->overlapped, &ignored, TRUE) ||
                          ::GetLastError() != ERROR_IO_INCOMPLETE)) {
        delete op;
      }
    }
  } else {
    delete op;
  }
  op = nullptr;
}

void CompletionPort::Impl::Orphan(ReadOp* op) {
  op->owner = nullptr;
  orphans.push_back(op);
}

bool CompletionPort::Impl::Complete(ReadOp* op, bool ok, DWORD error, DWORD* bytes,
                                    uintptr_t* key) {
  DirectoryHandle::Impl* h = op->owner;
  op->in_port = false;
  *key = h->key;
  h->armed = false;
  const DWORD got = ok && !op->posted ? *bytes : 0;
  *bytes = 0;
  if (h->gone || op->posted) {
    // A lost batch (Rewatch, a re-arm that failed) or the end of a gone root.
  } else if (!ok && (error == ERROR_ACCESS_DENIED || error == ERROR_NETNAME_DELETED)) {
    h->gone = true;
  } else if (!h->StillThere()) {
    // Deleted, or moved away: the records would name the wrong tree.
    h->gone = true;
  } else if (ok && got != 0) {
    *bytes = h->Filter(got);
    if (*bytes != 0) return true;
    // Only temporaries changed: the caller never hears of the read.
    h->armed = true;
    if (h->Issue()) return false;
    if (!h->StillThere()) h->gone = true;
    h->armed = false;
  } else {
    // 0 bytes: the system's buffer overflowed (ERROR_NOTIFY_ENUM_DIR), or the
    // read failed some other way. Either way changes were lost.
  }
  if (h->gone) {
    h->gone_reported = true;
    // A deleted directory keeps its name taken while a handle is open on it.
    h->dir.Reset();
    ::SetLastError(ERROR_ACCESS_DENIED);
  } else {
    ::SetLastError(ok ? ERROR_NOTIFY_ENUM_DIR : error);
  }
  return true;
}

// ---- CompletionPort ---------------------------------------------------------

CompletionPort::CompletionPort() : impl_(std::make_unique<Impl>()) {
  impl_->port = UniqueHandle(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
}

CompletionPort::~CompletionPort() {
  for (DirectoryHandle::Impl* h : impl_->handles) h->port = nullptr;
  impl_->port.Reset();
  // A cancelled read that has not finished keeps its ReadOp: leaked, not
  // freed under the system's feet.
  for (ReadOp* op : impl_->orphans) {
    if (HasOverlappedIoCompleted(&op->overlapped)) delete op;
  }
}

bool CompletionPort::IsValid() const { return impl_->port.valid(); }

bool CompletionPort::Post(uintptr_t key, DWORD bytes) {
  if (!IsValid()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return ::PostQueuedCompletionStatus(impl_->port.get(), bytes, key, nullptr) != FALSE;
}

bool CompletionPort::Dequeue(DWORD* bytes, uintptr_t* key, DWORD timeout_ms) {
  if (!IsValid()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const ULONGLONG start = ::GetTickCount64();
  for (;;) {
    DWORD wait = timeout_ms;
    if (timeout_ms != INFINITE) {
      const ULONGLONG spent = ::GetTickCount64() - start;
      wait = spent >= timeout_ms ? 0 : static_cast<DWORD>(timeout_ms - spent);
    }
    DWORD got = 0;
    ULONG_PTR got_key = 0;
    OVERLAPPED* overlapped = nullptr;
    const BOOL ok = ::GetQueuedCompletionStatus(impl_->port.get(), &got, &got_key, &overlapped,
                                                wait);
    if (overlapped == nullptr) {
      if (!ok) return false;  // time-out (WAIT_TIMEOUT) or a port that failed
      *bytes = got;
      *key = got_key;
      return true;
    }
    const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    auto* op = reinterpret_cast<ReadOp*>(overlapped);
    if (op->owner == nullptr) {
      std::erase(impl_->orphans, op);
      delete op;
      continue;
    }
    *bytes = got;
    if (impl_->Complete(op, ok != FALSE, error, bytes, key)) return true;
  }
}

// ---- DirectoryHandle ---------------------------------------------------------

DirectoryHandle::DirectoryHandle(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DirectoryHandle::~DirectoryHandle() {
  impl_->ReleaseRead();
  if (impl_->port != nullptr) std::erase(impl_->port->handles, impl_.get());
}

std::unique_ptr<DirectoryHandle> DirectoryHandle::Open(const std::wstring& path) {
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  impl->system_path = SystemPath(path);
  impl->dir = OpenForWatch(impl->system_path);
  if (!impl->dir.valid()) return nullptr;
  if (!IdentityOf(impl->dir.get(), &impl->identity)) {
    // Backup semantics open files as well as directories.
    ::SetLastError(ERROR_DIRECTORY);
    return nullptr;
  }
  return std::unique_ptr<DirectoryHandle>(new DirectoryHandle(std::move(impl)));
}

bool DirectoryHandle::Associate(CompletionPort& port, uintptr_t key) {
  CompletionPort::Impl* p = port.impl();
  if (impl_->port != nullptr || !port.IsValid() || !impl_->dir.valid()) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (::CreateIoCompletionPort(impl_->dir.get(), p->port.get(), key, 0) == nullptr) return false;
  impl_->port = p;
  impl_->key = key;
  p->handles.push_back(impl_.get());
  return true;
}

bool DirectoryHandle::Read(void* buffer, DWORD length) {
  Impl& h = *impl_;
  if (h.port == nullptr || h.armed || buffer == nullptr) {
    ::SetLastError(h.port != nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return false;
  }
  if (h.gone_reported) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  // The records are written in place, as the system would: DWORD-aligned.
  if (reinterpret_cast<uintptr_t>(buffer) % alignof(DWORD) != 0) {
    ::SetLastError(ERROR_NOACCESS);
    return false;
  }
  const std::size_t words = std::min(length, kMaxReadBytes) / sizeof(DWORD);
  if (words == 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (h.op == nullptr) {
    h.op = new ReadOp;
    h.op->owner = &h;
  }
  if (h.op->buffer.size() != words) h.op->buffer.assign(words, 0);
  h.caller_buffer = static_cast<char*>(buffer);
  h.caller_length = length;
  h.armed = true;
  if (std::exchange(h.lost_pending, false) && h.PostLost()) return true;
  if (!h.gone && h.Issue()) return true;
  // The directory went between two reads: the armed read ends as a gone root.
  const DWORD error = ::GetLastError();
  if (!h.gone && (error == ERROR_ACCESS_DENIED || error == ERROR_NETNAME_DELETED ||
                  !h.StillThere())) {
    h.gone = true;
  }
  if ((h.gone || error == ERROR_NOTIFY_ENUM_DIR) && h.PostLost()) return true;
  h.armed = false;
  ::SetLastError(error);
  return false;
}

const std::wstring& DirectoryHandle::Path() const { return impl_->path; }

// Windows has no limit on the number of watched directories.
bool DirectoryHandle::WatchLimitReached() const { return false; }

bool DirectoryHandle::IsGone() const { return impl_->gone; }

void DirectoryHandle::Rewatch() {
  Impl& h = *impl_;
  if (h.port == nullptr || h.gone) return;
  // The old read is cancelled and its ReadOp left to its packet; the armed
  // read ends with a posted lost batch of a fresh ReadOp.
  const bool was_armed = h.armed;
  h.ReleaseRead();
  h.dir.Reset();
  h.temp_rename_open = false;
  h.op = new ReadOp;
  h.op->owner = &h;
  UniqueHandle dir = OpenForWatch(h.system_path);
  Identity identity;
  if (!dir.valid() || !IdentityOf(dir.get(), &identity) || !(identity == h.identity) ||
      ::CreateIoCompletionPort(dir.get(), h.port->port.get(), h.key, 0) == nullptr) {
    h.gone = true;
  } else {
    h.dir = std::move(dir);
  }
  if (!was_armed) {
    h.lost_pending = true;
  } else if (!h.PostLost()) {
    // Without its packet the caller would wait for this read for ever; a
    // handle that cannot post is as good as gone.
    h.gone = true;
    h.armed = false;
  }
}

}  // namespace os
