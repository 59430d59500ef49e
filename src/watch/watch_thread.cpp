#include "watch/watch_thread.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "os/directory_ops.h"
#include "os/file_attributes.h"
#include "os/last_error.h"
#include "os/text.h"
#include "os/volumes.h"
#include "platform/diag_log.h"
#include "watch/path_rules.h"
#include "watch/read_notification.h"

namespace {

// Completion keys: 0 carries a command (code in the byte count's low half,
// slot in its high half); a read completes with the generation of the watch
// build in the high bits and slot + 1 in the low ones, so that a completion
// from before a restart can never be taken for a slot of the new layout.
constexpr uintptr_t kCommandKey = 0;
// Posted by the retry ticker: look for the gone roots again.
constexpr DWORD kRetryGoneRoots = 0x999A;
constexpr UINT kRetryTimerId = 1;

uintptr_t SlotKey(unsigned generation, int index) {
  return (static_cast<uintptr_t>(generation) << 16) | static_cast<uintptr_t>(index + 1);
}

bool Exists(const std::wstring& path) {
  return os::GetFileAttributes(path) != INVALID_FILE_ATTRIBUTES;
}

std::wstring MountPointOf(const std::wstring& path) {
  const auto mount = os::MountOf(path);
  return mount ? mount->mount_point : std::wstring();
}

unsigned g_generation = 0;  // watch thread only

}  // namespace

// The watch thread sits in the port's wait, which only packets end: this
// thread turns the retry period, kept on the module clock, into packets.
class CWatchThread::RetryTicker final : public os::MessageLoop {
 public:
  explicit RetryTicker(CWatchThread& owner) : m_Owner(owner) {}
  ~RetryTicker() override { Stop(); }

 protected:
  LRESULT Dispatch(UINT message, WPARAM, LPARAM) override {
    if (message == WM_TIMER) m_Owner.PostCommand(kRetryGoneRoots);
    return 0;
  }

 private:
  CWatchThread& m_Owner;
};

CWatchThread::CWatchThread(WatchShared& shared)
    : m_Shared(shared), m_hDirPath(kMaxSlots), m_RootMount(kMaxSlots), m_LimitReported(kMaxSlots) {
  DebugTrace("[Strandel] Construct CWatchThread");
}

CWatchThread::~CWatchThread() {
  // The thread may sit in the completion loop, which only a command leaves.
  PostCommand(WATCHCMD_EXIT);
  Stop();
  DebugTrace("[Strandel] Distruct ~CWatchThread END ~~~~~~ !");
}

bool CWatchThread::PostCommand(DWORD command, int slot) {
  return m_Port.Post(kCommandKey, (command & 0xFFFF) | (static_cast<DWORD>(slot) << 16));
}

LRESULT CWatchThread::Dispatch(UINT message, WPARAM, LPARAM) {
  // WM_USER+4 to +6 are accepted and ignored, as any other message.
  if (message == WM_START_FILESYS_WATCH) OnStartWatchFileSys();
  return 0;
}

bool CWatchThread::IsOpen(int index) const {
  return index >= 0 && index < kMaxSlots && m_hDirPath[index] != nullptr;
}

void CWatchThread::OnStartWatchFileSys() {
  DebugTrace("[Strandel]%d: OnStartWatchFileSys IN", 100);
  ++g_generation;
  std::fill(m_LimitReported.begin(), m_LimitReported.end(), false);
  m_nDirectoryCount = CreateDirectoryWatchParam();
  DebugTrace("[Strandel]%d: OnStartWatchFileSys DirectoryCount=%d", 120, m_nDirectoryCount.load());
  if (m_nDirectoryCount == 0) {
    DebugTrace("[Strandel]OnStartWatchFileSys failed because of  DirectoryCout == 0 !");
    ReleaseWatchHandles(TRUE);
    EndThread();
    return;
  }
  const std::size_t size = static_cast<std::size_t>(m_nDirectoryCount) * kSlotSize;
  m_pNotifyBuffer.reset(new (std::nothrow) char[size]);
  if (!m_pNotifyBuffer) {
    DebugTrace("[Strandel]OnStartWatchFileSys()->MallocMem Failed! Insufficient memory available!");
    WriteReport(ReportError,
                L"OnStartWatchFileSys()->MallocMem Failed! Insufficient memory available!");
    ReleaseWatchHandles(TRUE);
    EndThread();
    return;
  }
  std::memset(m_pNotifyBuffer.get(), 0, size);
  AssociateComPort();
  InitNotificationReciver();
  for (int index : std::exchange(m_ReturnedAtBuild, {})) {
    if (IsOpen(index)) WatchedAgain(index);
  }
  if (!m_GoneRoots.empty()) ArmRetry();
  m_Shared.m_hWatchReady.Set();

  bool any_open = false;
  for (int i = 0; i < m_nDirectoryCount; ++i) any_open = any_open || IsOpen(i);
  if (!any_open && m_GoneRoots.empty() && m_Shared.UsbWaiting().empty()) {
    // Nothing to wait for: a port with no directory would never deliver.
    ReleaseWatchHandles(TRUE);
    DebugTrace("[Strandel]Start watch thread failed!");
    EndThread();
    return;
  }

  for (;;) {
    DWORD bytes = 0;
    uintptr_t key = 0;
    if (!m_Port.Dequeue(&bytes, &key, INFINITE)) {
      ReleaseWatchHandles(TRUE);
      DebugTrace("[Strandel]Start watch thread failed!");
      EndThread();
      return;
    }
    if (key == kCommandKey) {
      const DWORD command = bytes & 0xFFFF;
      const int slot = static_cast<int>(bytes >> 16);
      switch (command) {
        case WATCHCMD_USB_REJECT:
          if (OnUsbReject(slot)) DebugTrace("[Strandel]OnUsbReject Success!");
          continue;
        case WATCHCMD_USB_INSERT:
          if (OnUsbInsert(slot)) DebugTrace("[Strandel]OnUsbInsert Success!");
          continue;
        case WATCHCMD_ADD_TASK:
        case WATCHCMD_DEL_TASK:
        case WATCHCMD_RESET_TASK:
          ReleaseWatchHandles(FALSE);
          PostMessage(WM_START_FILESYS_WATCH, 0, 0);
          return;
        case WATCHCMD_EXIT:
          ReleaseWatchHandles(TRUE);
          EndThread();
          return;
        case kRetryGoneRoots:
          RetryGoneRoots();
          continue;
        case WATCHCMD_MOUNTS_CHANGED:
          OnMountsChanged();
          continue;
        default:
          continue;
      }
    }
    if ((key >> 16) != g_generation) continue;  // a read of a layout that is gone
    if (++m_nPackets % 1000 == 0) {
      DebugTrace("Get CompletePort Message Number is : %lu\n", m_nPackets);
    }
    ReadNotification(static_cast<int>(key & 0xFFFF) - 1, bytes);
  }
}

int CWatchThread::CreateDirectoryWatchParam() {
  m_Tasks = m_Shared.m_WatchTaskMap.Snapshot();
  if (m_Tasks.size() > static_cast<std::size_t>(kMaxSlots / 2)) {
    DebugTrace("[Strandel]CreateDirectoryWatchParam: %zu tasks, only the first %d are watched",
               m_Tasks.size(), kMaxSlots / 2);
    m_Tasks.resize(kMaxSlots / 2);
  }
  DebugTrace("[Strandel]%d: CreateDirectoryWatchParam IN, wmap.size=%d", 360,
             static_cast<int>(m_Tasks.size()));
  // The worker keeps filtering changes queued before the restart: the new
  // filters take the old ones' place in one step, before any root is opened.
  std::vector<TaskFilterEntry> filters;
  for (const WatchTask& task : m_Tasks) {
    if (task.bSetInclude || task.bSetExclude) filters.push_back(MakeTaskFilterEntry(task));
  }
  m_Shared.m_TaskFilterMap.Replace(filters);
  // Read before any root is opened: a volume mounted in between counts as a
  // change, never as what was watched.
  m_Mounts = os::ReadMountTable();
  int s = 0;
  bool one_task_open = false;
  for (WatchTask& task : m_Tasks) {
    NoteVolumes(task);
    DebugTraceW(
        L"[Strandel]%d: CreateDirectoryWatchParam item(%ls %d)==>item(%ls %d), flags: "
        L"inc=%d exc=%d syncNow=%d supportUSB=%d",
        393, task.strSourceDir.c_str(), task.bSrcIsDrive, task.strDestDir.c_str(),
        task.bDestIsDrive, task.bSetInclude, task.bSetExclude, task.bSyncNow, task.bSupportUsb);
    const std::wstring* dirs[2] = {&task.strSourceDir, &task.strDestDir};
    // A root that went while watched is neither made nor opened before its
    // mount is back: an unmounted volume leaves an empty directory behind.
    const std::optional<GoneRoot> carried[2] = {TakeCarriedRoot(task, true),
                                                TakeCarriedRoot(task, false)};
    bool waits[2] = {false, false};
    for (int side : {0, 1}) {
      waits[side] = carried[side] && !MountIsBack(*carried[side]);
      if (!waits[side] && !Exists(*dirs[side]) && IsDriveLetterPresent(*dirs[side])) {
        CreateDirectoryTree(*dirs[side]);
      }
    }
    // Without a host that follows changes, a watch would cost a walk of the
    // trees, and every write of a sync an event, for nothing.
    if (!m_Shared.m_bFollowsChanges || (task.bSyncNow != 1 && one_task_open)) {
      s += 2;
      continue;
    }
    // Paths are watched as stored: Linux has no alternative form to translate to.
    task.strSrcWatchPath = task.strSourceDir;
    task.strDestWatchPath = task.strDestDir;
    for (int side : {0, 1}) {
      if (!waits[side]) OpenRoot(s + side, *dirs[side]);
      if (!m_hDirPath[s + side]) {
        DebugTraceW(L"[Strandel]CreateDirectoryWatchParam cannot watch %ls", dirs[side]->c_str());
      }
    }
    const bool parked = task.bSupportUsb && (!m_hDirPath[s] || !m_hDirPath[s + 1]);
    if (parked) {
      // Until its volume comes back the task has no watch at all.
      const int missing = m_hDirPath[s] ? s + 1 : s;
      m_hDirPath[s].reset();
      m_hDirPath[s + 1].reset();
      m_Shared.ParkUsbTask(missing, task);
    }
    for (int side : {0, 1}) {
      if (!carried[side]) continue;
      if (m_hDirPath[s + side]) {
        m_ReturnedAtBuild.push_back(s + side);
      } else if (!parked) {
        m_GoneRoots.emplace(s + side, *carried[side]);
      } else {
        m_UsbGone.emplace(s + side, *carried[side]);
      }
    }
    if (m_hDirPath[s] && m_hDirPath[s + 1]) {
      one_task_open = true;
      if (task.bSupportUsb && NoteUsbRoots(s, task)) {
        m_Shared.MarkNeedsFullSync(task.strWatchTaskName);
      }
    }
    s += 2;
    // The controller's copy learns what the watch found out about the task.
    m_Shared.m_WatchTaskMap.NoteWatchState(task);
  }
  m_CarriedRoots.clear();  // their tasks were deleted or are no longer watched in real time
  DebugTrace("[Strandel]%d: CreateDirectoryWatchParam OUT", 562);
  return s;
}

void CWatchThread::NoteVolumes(WatchTask& task) {
  if (os::IsBareDriveRoot(task.strSourceDir)) task.bSrcIsDrive = 1;
  if (os::IsBareDriveRoot(task.strDestDir)) task.bDestIsDrive = 1;
  task.strSrcFileSystem = GetFileSystem(task.strSourceDir);
  task.strDestFileSystem = GetFileSystem(task.strDestDir);
}

void CWatchThread::OpenRoot(int index, const std::wstring& path) {
  m_hDirPath[index] = os::DirectoryHandle::Open(path);
  if (m_hDirPath[index]) m_RootMount[index] = MountPointOf(path);
}

bool CWatchThread::WatchRoot(int index) {
  if (!m_hDirPath[index]->Associate(m_Port, SlotKey(g_generation, index))) {
    ReportWatchLimit(index);
    m_hDirPath[index].reset();
    return false;
  }
  std::memset(Slot(index), 0, kSlotSize);
  if (!ArmRead(index)) {
    m_hDirPath[index].reset();
    return false;
  }
  return true;
}

bool CWatchThread::NoteUsbRoots(int base, const WatchTask& task) {
  bool any = false;
  const std::wstring* dirs[2] = {&task.strSourceDir, &task.strDestDir};
  for (int side : {0, 1}) {
    if (!os::IsOnUsbBus(*dirs[side])) continue;
    m_Shared.DoRegisterDeviceHandle(base + side, *dirs[side]);
    any = true;
  }
  if (any) {
    DebugTraceW(L"[Strandel]Task %ls lies on a USB volume: full sync",
                task.strWatchTaskName.c_str());
  }
  return any;
}

BOOL CWatchThread::OnUsbInsert(int slot) {
  const int base = slot - slot % 2;
  const auto waiting = m_Shared.UsbWaiting();
  const auto parked = waiting.find(slot);
  // The slot must still name the same task: the controller may have parked it
  // against a task map that has changed since this layout was built.
  if (parked == waiting.end() || base + 1 >= m_nDirectoryCount ||
      m_Tasks[base / 2].strWatchTaskName != parked->second.strWatchTaskName) {
    DebugTrace("[Strandel]OnUsbInsert: no task waits under slot %d", slot);
    return FALSE;
  }
  WatchTask& task = m_Tasks[base / 2];
  const std::wstring* dirs[2] = {&task.strSourceDir, &task.strDestDir};
  for (int side : {0, 1}) {
    const int index = base + side;
    if (IsOpen(index)) continue;
    const auto gone = m_UsbGone.find(index);
    if (gone != m_UsbGone.end() && !MountIsBack(gone->second)) continue;
    if (!Exists(*dirs[side]) && IsDriveLetterPresent(*dirs[side])) {
      CreateDirectoryTree(*dirs[side]);
    }
    OpenRoot(index, *dirs[side]);
    if (IsOpen(index)) WatchRoot(index);
  }
  if (!IsOpen(base) || !IsOpen(base + 1)) {
    DebugTraceW(L"[Strandel]OnUsbInsert: task %ls still waits for its volume",
                task.strWatchTaskName.c_str());
    m_hDirPath[base].reset();
    m_hDirPath[base + 1].reset();
    return FALSE;
  }
  m_UsbGone.erase(base);
  m_UsbGone.erase(base + 1);
  // The volume is here now: what the build could not see of it.
  NoteVolumes(task);
  m_Shared.m_WatchTaskMap.NoteWatchState(task);
  NoteUsbRoots(base, task);
  // Watched before the full sync lists the trees: nothing falls between.
  m_Shared.MarkNeedsFullSync(task.strWatchTaskName);
  const std::optional<WatchTask> live = m_Shared.m_WatchTaskMap.Lookup(task.strWatchTaskName);
  if (live && live->nTimerId != 0 && live->dwSynctime > 0) m_Shared.RearmTaskTimer(live->nTimerId);
  m_Shared.UnparkUsbTask(slot);
  return TRUE;
}

BOOL CWatchThread::OnUsbReject(int slot) {
  if (slot >= m_nDirectoryCount || !IsOpen(slot)) {
    DebugTrace("[Strandel]OnUsbReject: slot %d has no open directory", slot);
    return FALSE;
  }
  const WatchTask& task = m_Tasks[slot / 2];
  const int partner = slot % 2 == 0 ? slot + 1 : slot - 1;
  for (int index : {slot, partner}) {
    if (const auto gone = m_GoneRoots.find(index); gone != m_GoneRoots.end()) {
      m_UsbGone.insert_or_assign(index, std::move(gone->second));
      m_GoneRoots.erase(gone);
    }
    if (!IsOpen(index)) continue;
    // Only a side whose own volume may be leaving waits for that mount.
    if (index == slot || m_Shared.IsUsbHandle(index)) {
      m_UsbGone.insert_or_assign(index, GoneRoot{task.strWatchTaskName, index % 2 == 0,
                                                 m_hDirPath[index]->Path(), m_RootMount[index]});
    }
    m_hDirPath[index].reset();
    m_Shared.DropUsbHandle(index);
    DebugTrace(index % 2 == 0 ? "[Strandel]Close Usb OpenedFile A Handle Ok"
                              : "[Strandel]Close Usb OpenedFile B Handle Ok");
  }
  m_Shared.ParkUsbTask(slot, task);
  return TRUE;
}

bool CWatchThread::MountIsBack(const GoneRoot& root) {
  return MountPointOf(root.path) == root.mount;
}

std::optional<CWatchThread::GoneRoot> CWatchThread::TakeCarriedRoot(const WatchTask& task,
                                                                    bool source) {
  const std::wstring& path = source ? task.strSourceDir : task.strDestDir;
  for (auto it = m_CarriedRoots.begin(); it != m_CarriedRoots.end(); ++it) {
    if (it->task == task.strWatchTaskName && it->source == source && it->path == path) {
      GoneRoot root = std::move(*it);
      m_CarriedRoots.erase(it);
      return root;
    }
  }
  return std::nullopt;
}

void CWatchThread::ArmRetry() {
  if (!m_pTicker) {
    m_pTicker = std::make_unique<RetryTicker>(*this);
    if (!m_pTicker->Start()) {
      DebugTrace("[Strandel]Cannot start the thread that looks for gone directories");
      m_pTicker.reset();
      return;
    }
  }
  m_pTicker->SetTimer(kRetryTimerId, kGoneRootRetryMs);
}

void CWatchThread::AwaitReturn(int index, GoneRoot root) {
  m_GoneRoots[index] = std::move(root);
  if (m_GoneRoots.size() == 1) ArmRetry();
}

void CWatchThread::RetryGoneRoots() {
  for (auto it = m_GoneRoots.begin(); it != m_GoneRoots.end();) {
    const int index = it->first;
    GoneRoot& root = it->second;
    if (MountIsBack(root)) {
      OpenRoot(index, root.path);
    } else if (!root.seen_elsewhere && Exists(root.path)) {
      root.seen_elsewhere = true;
      DebugTraceW(L"[Strandel]%ls is there again, but not on %ls where it was watched: waiting",
                  root.path.c_str(), root.mount.c_str());
    }
    if (IsOpen(index)) WatchRoot(index);
    if (!IsOpen(index)) {
      ++it;
      continue;
    }
    it = m_GoneRoots.erase(it);
    WatchedAgain(index);
  }
  if (m_GoneRoots.empty() && m_pTicker) m_pTicker->KillTimer(kRetryTimerId);
}

void CWatchThread::WatchedAgain(int index) {
  // Watched before the full sync lists the tree: nothing falls between the two.
  const std::wstring& task = m_Tasks[index / 2].strWatchTaskName;
  DebugTraceW(L"[Strandel]%ls is back, watching it again and syncing task %ls",
              m_hDirPath[index]->Path().c_str(), task.c_str());
  m_Shared.MarkNeedsFullSync(task);
}

void CWatchThread::OnMountsChanged() {
  std::vector<os::MountEntry> table = os::ReadMountTable();
  if (table.empty()) return;  // unreadable: the next change looks again
  for (int i = 0; i < m_nDirectoryCount; ++i) {
    if (!IsOpen(i) || m_hDirPath[i]->IsGone()) continue;
    const std::wstring& root = m_hDirPath[i]->Path();
    // The root's own volume leaving reaches the watch as a gone root; walking
    // it again now would watch the empty mount directory in its place.
    if (!os::HasMountPoint(table, m_RootMount[i])) continue;
    if (!os::MountsDifferAtOrBelow(m_Mounts, table, root)) continue;
    DebugTraceW(L"[Strandel]A volume came or went at or below %ls: watching it again and "
                L"syncing task %ls",
                root.c_str(), m_Tasks[i / 2].strWatchTaskName.c_str());
    m_hDirPath[i]->Rewatch();
  }
  m_Mounts = std::move(table);
}

void CWatchThread::AssociateComPort() {
  for (int i = 0; i < m_nDirectoryCount; ++i) {
    if (IsOpen(i) && !m_hDirPath[i]->Associate(m_Port, SlotKey(g_generation, i))) {
      // Never watched, its task has nothing but full syncs, and needs one now.
      if (ReportWatchLimit(i)) m_Shared.MarkNeedsFullSync(m_Tasks[i / 2].strWatchTaskName);
      m_hDirPath[i].reset();
    }
  }
  DebugTrace("[Strandel]AssociateComPort");
}

bool CWatchThread::ReportWatchLimit(int index) {
  if (!m_hDirPath[index]->WatchLimitReached()) return false;
  if (!m_LimitReported[index]) {
    m_LimitReported[index] = true;
    WriteReport(ReportError,
                L"The inotify watch limit is reached: %ls is not watched whole, and task %ls is "
                L"kept in step by full syncs",
                m_hDirPath[index]->Path().c_str(), m_Tasks[index / 2].strWatchTaskName.c_str());
  }
  return true;
}

BOOL CWatchThread::ArmRead(int index) {
  return m_hDirPath[index]->Read(Slot(index), kSlotSize) ? TRUE : FALSE;
}

BOOL CWatchThread::InitNotificationReciver() {
  for (int i = 0; i < m_nDirectoryCount; ++i) {
    if (!IsOpen(i)) {
      DebugTrace("[Strandel]INVALID_HANDLE_VALUE of hDirPath[%0d] at InitNotificationReciver(...)",
                 i);
      continue;
    }
    if (!ArmRead(i)) {
      DebugTrace("[Strandel]InitNotificationReciver -> ReadDirectoryChangesW(...) failed %#0X",
                 static_cast<unsigned>(os::GetLastError()));
      return FALSE;
    }
  }
  DebugTrace("[Strandel]InitNotificationReciver");
  return TRUE;
}

void CWatchThread::ReleaseWatchHandles(BOOL bThreadEnding) {
  for (auto& handle : m_hDirPath) handle.reset();
  // A restart keeps waiting for the roots that went; the build drops those
  // of deleted tasks.
  if (!bThreadEnding) {
    for (auto& [index, root] : m_GoneRoots) m_CarriedRoots.push_back(std::move(root));
    for (auto& [index, root] : m_UsbGone) m_CarriedRoots.push_back(std::move(root));
  }
  m_GoneRoots.clear();
  m_UsbGone.clear();
  if (m_pTicker) m_pTicker->KillTimer(kRetryTimerId);
  m_nDirectoryCount = 0;
  m_pNotifyBuffer.reset();
  m_Shared.ClearUsbWaiting();
  m_Shared.RenameMap.Clear();
  if (bThreadEnding) {
    m_Shared.m_bWatchThreadRunning = false;
    m_Shared.m_hWatchReady.Set();
  }
}

void CWatchThread::EndThread() { QuitLoop(); }

BOOL CWatchThread::CreateDirectoryTree(std::wstring path) {
  if (path.empty() || path.back() != os::kPathSeparator) path.push_back(os::kPathSeparator);
  std::size_t cut = path.find(os::kPathSeparator);
  std::wstring built = path.substr(0, cut + 1);
  if (!Exists(built)) return FALSE;
  while (built.size() < path.size()) {
    cut = path.find(os::kPathSeparator, built.size());
    built = path.substr(0, cut + 1);
    if (Exists(built)) continue;
    m_Shared.AddFilterMap.Announce(built, L"");
    if (!os::CreateDirectory(built)) {
      m_Shared.AddFilterMap.Withdraw(built, L"");
      return FALSE;
    }
  }
  return TRUE;
}

BOOL CWatchThread::ReadNotification(int index, DWORD bytes) {
  if (index < 0 || index >= m_nDirectoryCount || !IsOpen(index) ||
      static_cast<std::size_t>(index / 2) >= m_Tasks.size()) {
    DebugTrace("[Strandel]ReadNotification faild");
    return FALSE;
  }
  const WatchTask& task = m_Tasks[index / 2];
  const BOOL source_side = index % 2 == 0 ? TRUE : FALSE;
  char* const slot = Slot(index);

  if (!task.bSyncNow) {
    m_hDirPath[index].reset();
    std::memset(slot, 0, kSlotSize);
    DebugTrace("[Strandel]Not support SyncImmediately !");
    return TRUE;
  }
  if (bytes == 0) {
    if (m_hDirPath[index]->IsGone() && m_Shared.IsUsbHandle(index)) {
      // Its volume is leaving: let go at once, so that nothing holds it.
      DebugTraceW(L"[Strandel]ReadNotification: %ls left with its USB volume",
                  m_hDirPath[index]->Path().c_str());
      OnUsbReject(index);
      return FALSE;
    }
    if (m_hDirPath[index]->IsGone()) {
      const std::wstring& path = m_hDirPath[index]->Path();
      DebugTraceW(L"[Strandel]ReadNotification: %ls is gone, waiting for it to come back",
                  path.c_str());
      AwaitReturn(index,
                  GoneRoot{task.strWatchTaskName, source_side == TRUE, path, m_RootMount[index]});
      m_hDirPath[index].reset();
      return FALSE;
    }
    // Changes were lost: only a full sync brings the task back in step.
    ReportWatchLimit(index);
    DebugTraceW(L"[Strandel]ReadNotification lost changes of task %ls, a full sync is needed",
                task.strWatchTaskName.c_str());
    m_Shared.MarkNeedsFullSync(task.strWatchTaskName);
    return ArmRead(index);
  }

  DecodeNotifications(slot, kSlotSize, task, source_side, m_Shared);

  std::memset(slot, 0, kSlotSize);
  if (!IsOpen(index)) return FALSE;
  if (!ArmRead(index)) {
    DebugTrace("[Strandel]ReadDirectoryChangesW Failed at ReadNotification(...), ErrCode = %d!",
               static_cast<int>(os::GetLastError()));
    return FALSE;
  }
  return TRUE;
}
