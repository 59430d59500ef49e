// CWatchThread: the one thread that watches every task's two directories in
// real time. It opens them (slot 2k: task k's source, 2k+1: its destination,
// tasks in name order), waits on one completion port for completed reads and
// commands, and turns each completed read into change records for the sync
// worker (ReadNotification).
//
// Threads: everything here runs on the thread itself, except PostCommand,
// which other threads call (the controller, and the retry ticker, a small
// thread of its own that wakes the port while a root is gone). At each
// (re)start the thread copies the task list in slot order and attributes
// every slot through that copy, never through the live map, which the
// controller may change before the restart command comes.
//
// A watched root that vanishes (deleted, moved away, its volume unmounted) is
// waited for: every kGoneRootRetryMs on the module clock the thread looks
// whether a directory stands at its path again, on the mount that held it
// when it was watched (not the empty mount directory an unmounted volume
// leaves), watches it again and marks its task for a full sync, which brings
// over whatever came while it was not watched. A restart keeps waiting for
// the gone roots of the tasks that still have them.
//
// USB volumes: a root on a USB bus is noted in the shared USB directory map.
// When its volume leaves (the unmount reaches the watch as a gone root, or the
// controller sends WATCHCMD_USB_REJECT) the task's two directories are closed
// and the task is parked until WATCHCMD_USB_INSERT reopens them and asks for
// its full sync. A parked side is reopened only on the mount it left from, so
// nothing is made or watched in the empty mount directory it leaves.
//
// A volume mounted on a watched root or below it hides what was watched
// there: after each change of the mount table the trees concerned are
// watched again as their paths show them and their tasks get a full sync.
// When it leaves, the directory it covered is followed again the same way,
// unless what left is the volume the root itself was watched on: that is a
// gone root.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/directory_watch.h"
#include "os/message_loop.h"
#include "os/volumes.h"
#include "watch/watch_shared.h"

inline constexpr UINT WM_START_FILESYS_WATCH = WM_USER + 2;

inline constexpr DWORD WATCHCMD_USB_REJECT = 0x9994;
inline constexpr DWORD WATCHCMD_USB_INSERT = 0x9995;
inline constexpr DWORD WATCHCMD_ADD_TASK = 0x9996;
inline constexpr DWORD WATCHCMD_DEL_TASK = 0x9997;
inline constexpr DWORD WATCHCMD_RESET_TASK = 0x9998;
inline constexpr DWORD WATCHCMD_EXIT = 0x9999;
// From the controller: the mount table changed.
inline constexpr DWORD WATCHCMD_MOUNTS_CHANGED = 0x999B;

class CWatchThread : public os::MessageLoop {
 public:
  static constexpr int kMaxSlots = 100;  // two per task: at most 50 tasks
  static constexpr DWORD kSlotSize = 32768;
  static constexpr UINT kGoneRootRetryMs = 3000;

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
  // Whether the watch limit left slot index's open root not watched whole;
  // the first time in a (re)start it also goes to the report file.
  bool ReportWatchLimit(int index);
  BOOL InitNotificationReciver();
  BOOL ArmRead(int index);
  void ReleaseWatchHandles(BOOL bThreadEnding);
  BOOL OnUsbInsert(int slot);
  BOOL OnUsbReject(int slot);
  // Notes the task's roots (slots base, base + 1) that lie on a USB bus;
  // false when none does.
  bool NoteUsbRoots(int base, const WatchTask& task);
  void EndThread();
  bool IsOpen(int index) const;

  struct GoneRoot {
    std::wstring task;
    bool source;
    std::wstring path;            // as it was watched
    std::wstring mount;           // the mount point that held it then
    bool seen_elsewhere = false;  // its path stood on another mount (traced once)
  };
  class RetryTicker;
  // Opens slot index's root at path and notes the mount that holds it.
  void OpenRoot(int index, const std::wstring& path);
  // Associates slot index's open root with the port and arms its read; the
  // slot is closed when either fails.
  bool WatchRoot(int index);
  // Drive flags and file-system names of the task's two directories.
  void NoteVolumes(WatchTask& task);
  // Whether root stands on the mount that held it when it went.
  static bool MountIsBack(const GoneRoot& root);
  // The gone root of task's side that a restart carried over, if any.
  std::optional<GoneRoot> TakeCarriedRoot(const WatchTask& task, bool source);
  void ArmRetry();
  void AwaitReturn(int index, GoneRoot root);
  void RetryGoneRoots();
  void WatchedAgain(int index);
  void OnMountsChanged();
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
  std::vector<std::wstring> m_RootMount;   // per slot: the mount point of its open root
  std::vector<os::MountEntry> m_Mounts;    // the mount table as last looked at
  std::map<int, GoneRoot> m_GoneRoots;     // by slot: roots waited for
  std::vector<GoneRoot> m_CarriedRoots;    // gone roots kept across a restart
  std::map<int, GoneRoot> m_UsbGone;       // by slot: roots closed by a USB reject
  std::vector<int> m_ReturnedAtBuild;      // carried roots the (re)start found again
  std::vector<bool> m_LimitReported;       // per slot: the watch limit is in the report file
  std::unique_ptr<RetryTicker> m_pTicker;  // last: it posts to m_Port until it is stopped
};
