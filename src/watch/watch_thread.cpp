#include "watch/watch_thread.h"

#include <cstring>

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

uintptr_t SlotKey(unsigned generation, int index) {
  return (static_cast<uintptr_t>(generation) << 16) | static_cast<uintptr_t>(index + 1);
}

bool Exists(const std::wstring& path) {
  return os::GetFileAttributes(path) != INVALID_FILE_ATTRIBUTES;
}

unsigned g_generation = 0;  // watch thread only

}  // namespace

CWatchThread::CWatchThread(WatchShared& shared) : m_Shared(shared), m_hDirPath(kMaxSlots) {
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
  m_Shared.m_TaskFilterMap.Clear();
  ++g_generation;
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
  m_Shared.m_hWatchReady.Set();

  bool any_open = false;
  for (int i = 0; i < m_nDirectoryCount; ++i) any_open = any_open || IsOpen(i);
  if (!any_open) {
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
        case WATCHCMD_USB_INSERT:
          // Volumes are not followed yet: the command is seen, nothing is done.
          DebugTrace("[Strandel]Watch command %#x for slot %d is not handled", command, slot);
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
  int s = 0;
  bool one_task_open = false;
  for (WatchTask& task : m_Tasks) {
    if (os::IsBareDriveRoot(task.strSourceDir)) task.bSrcIsDrive = 1;
    if (os::IsBareDriveRoot(task.strDestDir)) task.bDestIsDrive = 1;
    task.strSrcFileSystem = GetFileSystem(task.strSourceDir);
    task.strDestFileSystem = GetFileSystem(task.strDestDir);
    DebugTraceW(
        L"[Strandel]%d: CreateDirectoryWatchParam item(%ls %d)==>item(%ls %d), flags: "
        L"inc=%d exc=%d syncNow=%d supportUSB=%d",
        393, task.strSourceDir.c_str(), task.bSrcIsDrive, task.strDestDir.c_str(),
        task.bDestIsDrive, task.bSetInclude, task.bSetExclude, task.bSyncNow, task.bSupportUsb);
    if (task.bSetInclude || task.bSetExclude) {
      m_Shared.m_TaskFilterMap.Insert(MakeTaskFilterEntry(task));
    }
    for (const std::wstring* dir : {&task.strSourceDir, &task.strDestDir}) {
      if (!Exists(*dir) && IsDriveLetterPresent(*dir)) CreateDirectoryTree(*dir);
    }
    if (task.bSyncNow != 1 && one_task_open) {
      s += 2;
      continue;
    }
    // Paths are watched as stored: Linux has no alternative form to translate to.
    task.strSrcWatchPath = task.strSourceDir;
    task.strDestWatchPath = task.strDestDir;
    m_hDirPath[s] = os::DirectoryHandle::Open(task.strSrcWatchPath);
    m_hDirPath[s + 1] = os::DirectoryHandle::Open(task.strDestWatchPath);
    for (int side : {s, s + 1}) {
      if (!m_hDirPath[side]) {
        DebugTraceW(L"[Strandel]CreateDirectoryWatchParam cannot watch %ls",
                    (side == s ? task.strSourceDir : task.strDestDir).c_str());
      }
    }
    if (task.bSupportUsb && (!m_hDirPath[s] || !m_hDirPath[s + 1])) {
      // Until its volume comes back the task has no watch at all.
      const int missing = m_hDirPath[s] ? s + 1 : s;
      m_hDirPath[s].reset();
      m_hDirPath[s + 1].reset();
      m_Shared.ParkUsbTask(missing, task);
    }
    if (m_hDirPath[s] && m_hDirPath[s + 1]) one_task_open = true;
    s += 2;
    // The controller's copy learns what the watch found out about the task.
    if (auto stored = m_Shared.m_WatchTaskMap.Lookup(task.strWatchTaskName)) {
      stored->bSrcIsDrive = task.bSrcIsDrive;
      stored->bDestIsDrive = task.bDestIsDrive;
      stored->strSrcFileSystem = task.strSrcFileSystem;
      stored->strDestFileSystem = task.strDestFileSystem;
      stored->strSrcWatchPath = task.strSrcWatchPath;
      stored->strDestWatchPath = task.strDestWatchPath;
      m_Shared.m_WatchTaskMap.Store(*stored);
    }
  }
  DebugTrace("[Strandel]%d: CreateDirectoryWatchParam OUT", 562);
  return s;
}

void CWatchThread::AssociateComPort() {
  for (int i = 0; i < m_nDirectoryCount; ++i) {
    if (IsOpen(i) && !m_hDirPath[i]->Associate(m_Port, SlotKey(g_generation, i))) {
      m_hDirPath[i].reset();
    }
  }
  DebugTrace("[Strandel]AssociateComPort");
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
                 os::GetLastError());
      return FALSE;
    }
  }
  DebugTrace("[Strandel]InitNotificationReciver");
  return TRUE;
}

void CWatchThread::ReleaseWatchHandles(BOOL bThreadEnding) {
  for (auto& handle : m_hDirPath) handle.reset();
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
    const bool entered = m_Shared.AddFilterMap.Insert(built, L"");
    if (!os::CreateDirectory(built)) {
      if (entered) m_Shared.AddFilterMap.Erase(built);
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
    if (m_hDirPath[index]->IsGone()) {
      DebugTraceW(L"[Strandel]ReadNotification: %ls is gone, its watch ends",
                  m_hDirPath[index]->Path().c_str());
      m_hDirPath[index].reset();
      return FALSE;
    }
    // Changes were lost: only a full sync brings the task back in step.
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
