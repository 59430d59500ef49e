// Arbitrary inotify event sequences through the watcher's decoding into the
// records a directory read delivers, and those records (or any bytes in their
// place) through the watch thread's decoding into change records: names of
// any bytes, masks of any bits, cookies that never pair, reads too short for
// a record, echoes announced for names that never come.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "os/linux/directory_watch_state.h"
#include "watch/read_notification.h"

namespace {

// Entries of the watched tree, so that events about them find something real.
const char* const kNames[] = {"f", "d", "e", "s", "link", ".strandel-part-0123456789abcdef"};
const uint32_t kMasks[] = {IN_CREATE,      IN_MOVED_FROM, IN_MOVED_TO, IN_DELETE,
                           IN_CLOSE_WRITE, IN_ATTRIB,     IN_MODIFY,   IN_DELETE_SELF,
                           IN_MOVE_SELF,   IN_UNMOUNT,    IN_IGNORED,  IN_Q_OVERFLOW};
constexpr std::size_t kMaxRead = 2048;

// Made once: f, d/, d/e, d/s/ and link -> f.
struct WatchedTree {
  WatchedTree() {
    std::filesystem::create_directories(dir.path() / "d" / "s");
    std::ofstream(dir.path() / "f") << "f";
    std::ofstream(dir.path() / "d" / "e") << "e";
    std::filesystem::create_symlink("f", dir.path() / "link");
  }
  fuzz::ScratchDir dir;
};

std::string ConsumeName(FuzzedDataProvider& data) {
  if (data.ConsumeBool()) return data.PickValueInArray(kNames);
  return data.ConsumeRandomLengthString(300);
}

void FeedEvent(FuzzedDataProvider& data, os::CompletionPort::Impl& port) {
  int wd = data.ConsumeIntegralInRange(-1, 8);
  if (!port.watches.empty() && data.ConsumeBool()) {
    auto it = port.watches.begin();
    std::advance(it, data.ConsumeIntegralInRange<std::size_t>(0, port.watches.size() - 1));
    wd = it->first;
  }
  const uint32_t mask = data.ConsumeBool()
                            ? data.ConsumeIntegral<uint32_t>()
                            : data.PickValueInArray(kMasks) | (data.ConsumeBool() ? IN_ISDIR : 0);
  const uint32_t cookie = data.ConsumeIntegralInRange<uint32_t>(0, 3);
  const std::string name = ConsumeName(data);
  // As the kernel lays it out: the name padded with at least one zero byte.
  const std::size_t len = name.empty() ? 0 : (name.size() + 1 + 15) & ~std::size_t{15};
  std::vector<char> bytes(sizeof(inotify_event) + len, 0);
  auto* event = reinterpret_cast<inotify_event*>(bytes.data());
  event->wd = wd;
  event->mask = mask;
  event->cookie = cookie;
  event->len = static_cast<uint32_t>(len);
  std::memcpy(event->name, name.data(), name.size());
  port.ProcessEvent(*event);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  static const WatchedTree tree;
  FuzzedDataProvider data(bytes, size);
  const std::wstring root = tree.dir.wide();

  WatchTaskMap tasks;
  WatchShared shared(tasks, [] {});
  WatchTask task;
  task.strWatchTaskName = L"t";
  task.strSrcWatchPath = task.strDestWatchPath = root;
  task.bBidirectional = data.ConsumeBool();
  task.bNotWatchSubDir = data.ConsumeBool();
  task.bSrcIsDrive = task.bDestIsDrive = data.ConsumeBool();
  const BOOL source_side = data.ConsumeBool();
  auto decode = [&](const char* records, std::size_t length) {
    DecodeNotifications(records, length, task, source_side, shared);
    while (auto taken = shared.m_ChangeQueue.TakeFront()) shared.m_ChangeQueue.Done(*taken);
  };

  // Each buffer is exactly as long as it says, so that a record past its end
  // is caught. The read buffer outlives the handle: an armed read points at it.
  std::unique_ptr<char[]> buffer;
  DWORD length = 0;
  bool armed = false;
  os::CompletionPort port;
  auto handle = os::DirectoryHandle::Open(root);
  if (!port.IsValid() || !handle || !handle->Associate(port, 1)) return 0;

  while (data.remaining_bytes() > 0) {
    switch (data.ConsumeIntegralInRange(0, 4)) {
      case 0:
      case 1:
        FeedEvent(data, *port.impl());
        break;
      case 2: {
        if (!armed) {
          length = data.ConsumeIntegralInRange<DWORD>(0, kMaxRead);
          buffer.reset(new char[length]());
          armed = handle->Read(buffer.get(), length);
        }
        DWORD got = 0;
        uintptr_t key = 0;
        if (armed && port.Dequeue(&got, &key, 0)) {
          armed = false;
          if (got > length) __builtin_trap();  // the records overran the read
          decode(buffer.get(), got);
        }
        break;
      }
      case 3: {
        // Any bytes where records belong, aligned as a read's buffer is.
        const std::string raw = data.ConsumeRandomLengthString(kMaxRead);
        const std::unique_ptr<char[]> records(new char[raw.size()]);
        std::copy(raw.begin(), raw.end(), records.get());
        decode(records.get(), raw.size());
        break;
      }
      case 4: {
        const std::wstring path = JoinWatchPath(root, fuzz::ConsumeWide(data, 64));
        if (data.ConsumeBool()) {
          shared.AddFilterMap.Announce(path, task.strWatchTaskName);
        } else {
          shared.RenameMap.Announce(path, {task.strWatchTaskName, path});
        }
        break;
      }
    }
  }
  return 0;
}
