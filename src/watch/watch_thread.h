// CWatchThread: the one thread that watches every task's two directories in
// real time. It opens them (slot 2k: task k's source, 2k+1: its destination,
// tasks in name order), waits on one completion port for completed reads and
// commands, and turns each completed read into change records for the sync
// worker (ReadNotification).
//
// Threads: everything here runs on the thread itself, except PostCommand,
// which other threads call. At each (re)start the thread copies the task list
// in slot order and attributes every slot through that copy, never through the
// live map, which the controller may change before the restart command comes.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "os/directory_watch.h"
#include "os/message_loop.h"
#include "watch/watch_shared.h"

inline constexpr UINT WM_START_FILESYS_WATCH = WM_USER + 2;

inline constexpr DWORD WATCHCMD_USB_REJECT = 0x9994;
inline constexpr DWORD WATCHCMD_USB_INSERT = 0x9995;
inline constexpr DWORD WATCHCMD_ADD_TASK = 0x9996;
inline constexpr DWORD WATCHCMD_DEL_TASK = 0x9997;
inline constexpr DWORD WATCHCMD_RESET_TASK = 0x9998;
inline constexpr DWORD WATCHCMD_EXIT = 0x9999;

class CWatchThread : public os::MessageLoop {
 public:
  static constexpr int kMaxSlots = 100;  // two per task: at most 50 tasks
  static constexpr DWORD kSlotSize = 32768;

  explicit CWatchThread(WatchShared& shared);
  ~CWatchThread() override;

  // Any thread: queues a command for the thread (slot: for the USB commands).
  bool PostCommand(DWORD command, int slot = 0);

  // For tests and the controller: how the last (re)start laid out its slots.
  int DirectoryCount() const { return m_nDirectoryCount; }

  // Decodes one completed read of slot `index` (bytes as completed).
  BOOL ReadNotification(int index, DWORD bytes);
  // Creates a missing directory and its missing parents; never on an absent volume.
  BOOL CreateDirectoryTree(std::wstring path);

 protected:
  LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void OnStartWatchFileSys();
  int CreateDirectoryWatchParam();
  void AssociateComPort();
  BOOL InitNotificationReciver();
  BOOL ArmRead(int index);
  void ReleaseWatchHandles(BOOL bThreadEnding);
  void EndThread();
  bool IsOpen(int index) const;
  char* Slot(int index) {
    return m_pNotifyBuffer.get() + static_cast<std::size_t>(index) * kSlotSize;
  }

  WatchShared& m_Shared;
  os::CompletionPort m_Port;
  std::unique_ptr<char[]> m_pNotifyBuffer;
  std::vector<std::unique_ptr<os::DirectoryHandle>> m_hDirPath;  // one per slot; null: invalid
  std::vector<WatchTask> m_Tasks;         // the task list of the last (re)start, in slot order
  std::atomic<int> m_nDirectoryCount{0};  // read by other threads for diagnostics
  unsigned long m_nPackets = 0;
};
