// Volumes coming and going: the controller learns of them from the mount
// monitor, finds the drive that arrived, and has the watch thread reopen the
// tasks that live on it when it sits on a USB bus.
#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>

#include "control/main_frame.h"
#include "os/text.h"
#include "os/volumes.h"
#include "platform/diag_log.h"

namespace {

constexpr int kDriveSetPolls = 50;
// A volume that just arrived is given time to settle before it is looked at.
constexpr int kSettleSteps = 30;
constexpr auto kSettleStep = std::chrono::milliseconds(100);
constexpr UINT kRegistrationRetryPeriodMs = 5000;
constexpr LONG kRegistrationRetries = 3;

void Settle() {
  for (int step = 0; step < kSettleSteps; ++step) {
    std::this_thread::yield();
    os::GetClock().Sleep(kSettleStep);
  }
}

// A path lies on a volume when the volume is the drive it lies under.
bool IsOnVolume(const std::wstring& path, const std::wstring& volume) {
  return !volume.empty() && os::DriveOf(path) == volume;
}

// The bus type of the volume a drive holds: 7 for USB, 0 on any failure.
DWORD GetDeviceType(const std::wstring& volume) {
  DebugTrace("[Strandel]%d:GetDeviceType(%s) IN", 5330, os::ToUtf8(volume).c_str());
  const std::optional<uint32_t> bus = volume.empty() ? std::nullopt : os::VolumeBusTypeOf(volume);
  if (!bus) {
    DebugTrace("[Strandel]%d:DeviceIoControl failed !", 5425);
    return 0;
  }
  DebugTrace("[Strandel]%d: DeviceIoControl success ! DeviceType=%s", 5419,
             *bus == os::kBusTypeUsb ? "Usb" : "Not Usb");
  return *bus;
}

}  // namespace

void CMainFrame::RegisterDeviceClasses() {
  m_PendingDeviceRegistrations.clear();
  if (!RegisterDeviceClass()) {
    m_PendingDeviceRegistrations.push_back(kDiskClassPosition);
    SetTimer(kDeviceRegistrationTimerId, kRegistrationRetryPeriodMs);
    m_nRegistrationRetries = kRegistrationRetries;
  }
  if (!RegisterDeviceClass()) {
    m_PendingDeviceRegistrations.push_back(kVolumeClassPosition);
    KillTimer(kDeviceRegistrationTimerId);
    SetTimer(kDeviceRegistrationTimerId, kRegistrationRetryPeriodMs);
    m_nRegistrationRetries = kRegistrationRetries;
  }
}

// Both classes are served by the one mount monitor; a class is registered
// once that monitor runs.
bool CMainFrame::RegisterDeviceClass() {
  if (!m_pMountMonitor) {
    m_pMountMonitor = std::make_unique<os::MountMonitor>(
        [this](const os::DriveChanges& changes) {
          if (!changes.arrived.empty()) {
            PostOnce(kPostArrival, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE);
          }
          if (!changes.removed.empty()) {
            PostOnce(kPostRemoval, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                     DBT_DEVTYP_DEVICEINTERFACE);
          }
        },
        [this] {
          // A drive that left the table may still be alive elsewhere (a bind,
          // a lazy unmount), so no IN_UNMOUNT comes, and one that came and
          // went between two reads makes no difference at all: after any
          // change the handles whose drive is gone are let go.
          if (!m_Watch.UsbHandles().empty()) {
            PostOnce(kPostHandleCheck, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, DBT_DEVTYP_HANDLE);
          }
          PostOnce(kPostTableChange, WM_MOUNT_TABLE_CHANGED, 0, 0);
        });
  }
  if (m_pMountMonitor->Start()) return true;
  DebugTrace("RegisterDeviceNotification failed.");
  return false;
}

void CMainFrame::PostOnce(MonitorPost kind, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!m_MonitorPosted[kind].exchange(true) && !PostMessage(message, wParam, lParam)) {
    m_MonitorPosted[kind] = false;
  }
}

void CMainFrame::OnDeviceRegistrationTimer() {
  bool all_registered = true;
  for (auto it = m_PendingDeviceRegistrations.end(); it != m_PendingDeviceRegistrations.begin();) {
    --it;
    if (RegisterDeviceClass()) {
      it = m_PendingDeviceRegistrations.erase(it);
    } else {
      all_registered = false;
    }
  }
  if (all_registered && m_nRegistrationRetries <= 0) {
    KillTimer(kDeviceRegistrationTimerId);
  } else {
    --m_nRegistrationRetries;
  }
}

std::vector<std::wstring> CMainFrame::AwaitDriveSetChange() const {
  std::vector<std::wstring> drives = m_LogicalDrives;
  for (int poll = 0; poll < kDriveSetPolls && drives == m_LogicalDrives; ++poll) {
    std::this_thread::yield();
    drives = os::PresentDrives();
  }
  return drives;
}

LRESULT CMainFrame::OnDeviceChange(WPARAM event, LPARAM device_type) {
  if (event == DBT_DEVICEQUERYREMOVE && device_type == DBT_DEVTYP_HANDLE) {
    Served(kPostHandleCheck);
    // The mount table names no handle: every one whose drive has gone is asked.
    for (const auto& [slot, directory] : m_Watch.UsbHandles()) {
      if (!os::IsDrivePresent(os::DriveOf(directory))) UsbReject(slot);
    }
    return TRUE;
  }
  if (device_type != DBT_DEVTYP_DEVICEINTERFACE) return TRUE;
  if (event == DBT_DEVICEARRIVAL) {
    Served(kPostArrival);
    const std::vector<std::wstring> drives = AwaitDriveSetChange();
    std::vector<std::wstring> arrived;
    std::set_difference(drives.begin(), drives.end(), m_LogicalDrives.begin(),
                        m_LogicalDrives.end(), std::back_inserter(arrived));
    if (arrived.empty()) {
      DebugTrace("[Strandel]Usb Insert not detect volume !!");
      return TRUE;
    }
    // Only the first new drive is handled; others arriving with it are
    // absorbed into the stored set.
    const std::wstring& volume = arrived.front();
    DebugTrace("[Strandel]Usb Insert detect volume success!! Vol:%s", os::ToUtf8(volume).c_str());
    Settle();
    if (GetDeviceType(volume) == os::kBusTypeUsb) {
      UsbSync(volume);
      DebugTrace("[Strandel]Check the usb volume success! -> UsbSync()");
    }
    m_LogicalDrives = drives;
  } else if (event == DBT_DEVICEREMOVECOMPLETE) {
    Served(kPostRemoval);
    // Only the removals are taken: a drive that arrived meanwhile stays new
    // for its own arrival, or its tasks would never be looked for.
    const std::vector<std::wstring> drives = AwaitDriveSetChange();
    std::vector<std::wstring> kept;
    std::set_intersection(m_LogicalDrives.begin(), m_LogicalDrives.end(), drives.begin(),
                          drives.end(), std::back_inserter(kept));
    m_LogicalDrives = std::move(kept);
  }
  return TRUE;
}

void CMainFrame::OnMountTableChanged() {
  Served(kPostTableChange);
  if (m_pWatchThread && m_Watch.m_bWatchThreadRunning) {
    m_pWatchThread->PostCommand(WATCHCMD_MOUNTS_CHANGED);
  }
}

BOOL CMainFrame::UsbSync(const std::wstring& volume) {
  BOOL result = FALSE;
  for (const auto& [slot, task] : m_Watch.UsbWaiting()) {
    const std::wstring& dir = slot % 2 == 0 ? task.strSourceDir : task.strDestDir;
    if (task.bSupportUsb && IsOnVolume(dir, volume)) {
      UsbInsertSync(slot);
      result = TRUE;
    }
  }
  if (!result) {
    int slot = 0;
    for (const WatchTask& task : m_WatchTaskMap.Snapshot()) {
      for (const std::wstring* dir : {&task.strSourceDir, &task.strDestDir}) {
        if (IsOnVolume(*dir, volume)) {
          m_Watch.ParkUsbTask(slot, task);
          result = UsbInsertSync(slot);
        }
        ++slot;
      }
    }
    if (!result) DebugTrace("Can't find USB Sync task in m_WatchTaskMap !");
  }
  if (!result) DebugTrace("[Strandel] UsbSync()->UsbInsertSync() failed!");
  return result;
}

BOOL CMainFrame::UsbInsertSync(int slot) {
  if (m_pWatchThread && m_Watch.m_bWatchThreadRunning) {
    m_pWatchThread->PostCommand(WATCHCMD_USB_INSERT, slot);
    DebugTrace("[Strandel] UsbInsertSync()-> PostQueuedCompletionStatus() to insert usb!");
    return TRUE;
  }
  Settle();
  if (m_Watch.m_bWatchThreadRunning) {
    if (m_pWatchThread) {
      m_pWatchThread->PostMessage(WM_START_FILESYS_WATCH, 0, 0);
      DebugTrace("[Strandel] UsbInsertSync()-> PostThreadMessage to start the whole watch !");
      return TRUE;
    }
    DebugTrace("UsbInsert -> Error !! ");
    return FALSE;
  }
  if (!m_pWatchThread) {
    DebugTrace("StartWatchFileSys to reinitial USB sync !!");
    return StartWatchFileSys();
  }
  DebugTrace("[Strandel] pThreadBuff != NULL but CreatThread == FALSE so failed !!");
  return FALSE;
}

BOOL CMainFrame::UsbReject(int slot) {
  if (!m_pWatchThread || !m_Watch.m_bWatchThreadRunning || !m_Watch.IsUsbHandle(slot)) {
    return FALSE;
  }
  m_pWatchThread->PostCommand(WATCHCMD_USB_REJECT, slot);
  return TRUE;
}
