// Connecting the network share behind a task's destination with the task's
// credentials, then proving with a probe file that the destination is
// writable as the console user.
//
// The share of a path. Linux has no share names to ask a network provider
// for; what has to be "connected" is the file system the destination lives
// on. So the share of a path is:
//   - its drive, when that is a removable mount location (/mnt/<name>,
//     /media/<user>/<label>, /run/media/<user>/<label>), mounted or not: an
//     fstab entry for that directory is what brings the share in;
//   - else the mount holding the path, when that is a network file system;
//   - else nothing, and the path itself is handed to the program.
// A network path (//server/share/dir, see os::IsUncPath) names its share in
// its first two components, and those are handed over.
//
// Windows connects the share through its network provider, as the console
// user, with the credentials as arguments (os/network_share.h); no program
// runs. Linux has no provider: connecting runs the share program (by
// default `mount`, which mounts an fstab entry given its mount point or its
// share) as the console user, with one argument: the share. The user name
// and password travel in the program's environment as USER and PASSWD,
// which is where mount.cifs reads them, never in arguments (which every
// local user can read) and never through a shell, so any byte is safe in
// them. Neither the provider's answer nor the program's exit code is read:
// only the probe decides.
//
// The probe is a file of a fresh name that no user file has and the watcher
// never reports (os/temp_name.h), created only when nothing is at that name
// and removed again at once; nothing else at the destination is touched.
//
// Threads: ConnectShare blocks its caller for up to about 6 seconds of
// probing (on the module's clock) unless its stop event is set. The pending
// map is the only state shared with other threads; it carries its own lock.
// The connect threads belong to a ShareConnectThreads, which joins them.
#pragma once

#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "os/event.h"
#include "strandel/strandel.h"

// Credentials of destinations whose first connection failed, to be retried
// once before the next write there. Key: the destination without a trailing
// separator; value: user name, then password.
class CPendingShareMap {
 public:
  // Replaces an earlier entry for the path.
  void Store(const std::wstring& path, const std::wstring& user, const std::wstring& password);
  // Removes and returns the entry of path; nothing when there is none.
  std::optional<std::pair<std::wstring, std::wstring>> Take(const std::wstring& path);
  bool Contains(const std::wstring& path) const;
  std::size_t Size() const;

 private:
  mutable std::mutex m_csPendingShare;  // guards m_PendingShareMap
  std::map<std::wstring, std::pair<std::wstring, std::wstring>> m_PendingShareMap;
};

// What the controller hands a connect thread.
struct ShareConnectParam {
  std::shared_ptr<CPendingShareMap> pPendingShares;
  std::wstring strDestDir;
  std::wstring strShareUserName;
  std::wstring strSharePassword;
  os::Event* pStop = nullptr;  // ends the probing early; may be null
};

// Connects the share (a program is not waited for) when both credentials are given,
// then probes the path up to 6 times, 1000 ms apart, while impersonating the
// console user. TRUE when a probe file could be created; FALSE also as soon
// as pStop (may be null) is set.
BOOL ConnectShare(std::wstring strPath, std::wstring strPassword, std::wstring strUserName,
                  os::Event* pStop = nullptr);

// The body of a connect thread: 0 for a missing block or map, else 1. A
// failed connection with both credentials is parked in the pending map.
unsigned ConnectShareThread(std::unique_ptr<ShareConnectParam> pParam);

// The connect threads of one controller: each runs ConnectShareThread under
// the name "strandel-share", and none outlives this object (a host may
// unload the library right after releasing it). Start and StopAll are called
// on one thread.
class ShareConnectThreads {
 public:
  ShareConnectThreads() = default;
  ~ShareConnectThreads();
  ShareConnectThreads(const ShareConnectThreads&) = delete;
  ShareConnectThreads& operator=(const ShareConnectThreads&) = delete;

  // Starts a thread for pParam (its stop event is this object's), after
  // joining those that have ended.
  void Start(std::unique_ptr<ShareConnectParam> pParam);
  // Cuts the probes' waits short and joins every thread; Start works again afterwards.
  void StopAll();

 private:
  os::Event m_hStop{true, false};  // shared: set here, waited on by the threads
  std::vector<std::future<unsigned>> m_Threads;
};

// Retries a parked connection of path once, waiting for it to end.
// Without an entry, or with an empty credential in it, nothing runs.
void ConnectPendingShare(CPendingShareMap& pendingShares, std::wstring strPath);

// The share of a path as described above; empty when there is none.
std::wstring ShareOfPath(const std::wstring& path);

// The share program: a name looked up in the console user's PATH, or a path.
// Empty restores "mount". Set before any connection starts.
void SetShareProgram(std::wstring program);
