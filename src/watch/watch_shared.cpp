#include "watch/watch_shared.h"

#include <cstdlib>
#include <string_view>

#include "os/text.h"
#include "platform/diag_log.h"
#include "watch/wildcard.h"

namespace {

ChangeRecord MakeRecord(DWORD action, const std::wstring& name, const std::wstring& new_name,
                        const std::wstring& task, BOOL source_side, BOOL same_file_system) {
  ChangeRecord record;
  record.dwAction = action;
  record.strFileName = name;
  if (action == 5) record.strNewFileName = new_name;
  record.strTaskName = task;
  record.bSourceSide = source_side;
  record.bSameFileSystem = same_file_system;
  return record;
}

}  // namespace

bool FollowsChanges() {
  const char* value = std::getenv("STRANDEL_REALTIME");
  return value == nullptr || std::string_view(value) != "0";
}

void WatchShared::QueueChangeRecord(DWORD action, const std::wstring& name,
                                    const std::wstring& new_name, const std::wstring& task,
                                    BOOL source_side, BOOL same_file_system) {
  // The queue tells, under its own lock, whether it was empty: no wake-up can
  // be lost between a test and the append.
  if (m_ChangeQueue.Append(
          MakeRecord(action, name, new_name, task, source_side, same_file_system)) &&
      m_WakeWorker) {
    m_WakeWorker();
  }
}

bool WatchShared::HoldDuringFullSyncOf(DWORD action, const std::wstring& name,
                                       const std::wstring& new_name, const std::wstring& task,
                                       BOOL source_side, BOOL same_file_system) {
  // Under the lock the end takes: a record is never held after the release.
  std::lock_guard<std::mutex> guard(m_Mutex);
  if (!m_bFullSyncRunning || !EqualsIgnoreCase(m_strFullSyncTask, task)) return false;
  m_ChangeQueue.Hold(MakeRecord(action, name, new_name, task, source_side, same_file_system));
  return true;
}

void WatchShared::SetFullSync(const std::wstring& task) {
  std::lock_guard<std::mutex> guard(m_Mutex);
  m_strFullSyncTask = task;
  m_bFullSyncRunning = true;
}

void WatchShared::ClearFullSync() {
  bool woke_queue = false;
  {
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_strFullSyncTask.clear();
    m_bFullSyncRunning = false;
    woke_queue = m_ChangeQueue.ReleaseHeld();
  }
  if (woke_queue && m_WakeWorker) m_WakeWorker();
}

bool WatchShared::IsFullSyncOf(const std::wstring& task) const {
  std::lock_guard<std::mutex> guard(m_Mutex);
  return m_bFullSyncRunning && EqualsIgnoreCase(m_strFullSyncTask, task);
}

void WatchShared::ParkUsbTask(int slot, const WatchTask& task) {
  std::lock_guard<std::mutex> guard(m_Mutex);
  m_UsbWaitingMap.insert_or_assign(slot, task);
}

void WatchShared::ClearUsbWaiting() {
  std::lock_guard<std::mutex> guard(m_Mutex);
  m_UsbWaitingMap.clear();
  m_UsbHandleMap.clear();
}

std::map<int, WatchTask> WatchShared::UsbWaiting() const {
  std::lock_guard<std::mutex> guard(m_Mutex);
  return m_UsbWaitingMap;
}

bool WatchShared::UnparkUsbTask(int slot) {
  std::lock_guard<std::mutex> guard(m_Mutex);
  return m_UsbWaitingMap.erase(slot) > 0;
}

BOOL WatchShared::DoRegisterDeviceHandle(int slot, const std::wstring& directory) {
  std::size_t registered = 0;
  {
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_UsbHandleMap.insert_or_assign(slot, directory);
    registered = m_UsbHandleMap.size();
  }
  // The slot and the number of directories now registered stand in for the
  // directory handle and the notification handle.
  DebugTrace("[Strandel]%d: DoRegisterDeviceHandle(0x%x 0x%x) IN", 4960, slot,
             static_cast<unsigned>(registered));
  DebugTrace("[Strandel]%d: DoRegisterDeviceHandle OUT Success!", 4977);
  return TRUE;
}

bool WatchShared::DropUsbHandle(int slot) {
  std::lock_guard<std::mutex> guard(m_Mutex);
  return m_UsbHandleMap.erase(slot) > 0;
}

bool WatchShared::IsUsbHandle(int slot) const {
  std::lock_guard<std::mutex> guard(m_Mutex);
  return m_UsbHandleMap.count(slot) > 0;
}

std::map<int, std::wstring> WatchShared::UsbHandles() const {
  std::lock_guard<std::mutex> guard(m_Mutex);
  return m_UsbHandleMap;
}

void WatchShared::SetNeedsFullSyncHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(m_Mutex);
  m_OnNeedsFullSync = std::move(hook);
}

void WatchShared::MarkNeedsFullSync(const std::wstring& task) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> guard(m_Mutex);
    // Already marked: whoever takes the marks has been told.
    if (!m_NeedsFullSync.insert(task).second) return;
    hook = m_OnNeedsFullSync;
  }
  if (hook) hook();
}

std::set<std::wstring> WatchShared::TakeNeedsFullSync() {
  std::lock_guard<std::mutex> guard(m_Mutex);
  return std::exchange(m_NeedsFullSync, {});
}

bool WatchShared::NeedsFullSync(const std::wstring& task) const {
  std::lock_guard<std::mutex> guard(m_Mutex);
  return m_NeedsFullSync.count(task) > 0;
}

void WatchShared::SetRearmTimerHook(std::function<void(UINT)> hook) {
  std::lock_guard<std::mutex> guard(m_Mutex);
  m_OnRearmTimer = std::move(hook);
}

void WatchShared::RearmTaskTimer(UINT timer_id) {
  std::function<void(UINT)> hook;
  {
    std::lock_guard<std::mutex> guard(m_Mutex);
    hook = m_OnRearmTimer;
  }
  if (hook) hook(timer_id);
}
