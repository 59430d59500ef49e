#include "platform/share_connection.h"

#include <chrono>
#include <system_error>
#include <vector>

#include "os/create_new_file.h"
#include "os/file_ops.h"
#include "os/network_share.h"
#include "os/process.h"
#include "os/temp_name.h"
#include "os/text.h"
#include "os/thread_name.h"
#include "os/volumes.h"
#include "platform/diag_log.h"
#include "platform/process_starter.h"

namespace {

constexpr wchar_t kDefaultShareProgram[] = L"mount";
constexpr char kThreadName[] = "strandel-share";
constexpr int kProbeTries = 6;
constexpr DWORD kProbeIntervalMs = 1000;

std::mutex g_program_mutex;
std::wstring& ShareProgram() {
  static auto* program = new std::wstring(kDefaultShareProgram);
  return *program;
}

void RemoveOneTrailingSeparator(std::wstring& path) {
  if (!path.empty() && path.back() == os::kPathSeparator) path.pop_back();
}

// "//server/share" of "//server/share/dir/...": what an fstab entry names.
std::wstring UncShareOf(const std::wstring& path) {
  const auto server_end = path.find(os::kPathSeparator, 2);
  if (server_end == std::wstring::npos) return path;
  return path.substr(0, path.find(os::kPathSeparator, server_end + 1));
}

struct ShareCommand {
  std::wstring command_line;
  std::vector<std::wstring> environment;
};

ShareCommand BuildShareCommand(const std::wstring& path, const std::wstring& password,
                               const std::wstring& user) {
  std::wstring target = path;
  if (os::IsUncPath(path)) {
    target = UncShareOf(path);
  } else {
    CActiveUserImpersonation impersonation;
    const std::wstring share = ShareOfPath(path);
    if (!share.empty()) target = share;
  }
  std::wstring program;
  {
    std::lock_guard<std::mutex> guard(g_program_mutex);
    program = ShareProgram();
  }
  return {os::JoinCommandLine({program, target}), {L"USER=" + user, L"PASSWD=" + password}};
}

// Brings the share of path in with the credentials: through the system's
// network provider where there is one, else by running the share program.
// Either way only the probe decides whether it worked.
void StartShareConnection(const std::wstring& path, const std::wstring& password,
                          const std::wstring& user, BOOL wait) {
  {
    CActiveUserImpersonation impersonation;
    if (os::ConnectNetworkShare(path, user, password) != ERROR_NOT_SUPPORTED) return;
  }
  const ShareCommand command = BuildShareCommand(path, password, user);
  CProcessStarter::Run(command.command_line, FALSE, wait, command.environment);
}

}  // namespace

void CPendingShareMap::Store(const std::wstring& path, const std::wstring& user,
                             const std::wstring& password) {
  std::lock_guard<std::mutex> guard(m_csPendingShare);
  m_PendingShareMap[path] = {user, password};
}

std::optional<std::pair<std::wstring, std::wstring>> CPendingShareMap::Take(
    const std::wstring& path) {
  std::lock_guard<std::mutex> guard(m_csPendingShare);
  auto it = m_PendingShareMap.find(path);
  if (it == m_PendingShareMap.end()) return std::nullopt;
  auto credentials = std::move(it->second);
  m_PendingShareMap.erase(it);
  return credentials;
}

bool CPendingShareMap::Contains(const std::wstring& path) const {
  std::lock_guard<std::mutex> guard(m_csPendingShare);
  return m_PendingShareMap.count(path) != 0;
}

std::size_t CPendingShareMap::Size() const {
  std::lock_guard<std::mutex> guard(m_csPendingShare);
  return m_PendingShareMap.size();
}

std::wstring ShareOfPath(const std::wstring& path) {
  const std::wstring drive = os::DriveOf(path);
  if (drive.empty()) return {};
  if (drive.size() > 1) return drive;
  const auto mount = os::MountOf(path);
  if (mount && mount->mount_point.size() > 1 && os::DriveTypeOf(path) == DRIVE_REMOTE) {
    return mount->mount_point;
  }
  return {};
}

BOOL ConnectShare(std::wstring strPath, std::wstring strPassword, std::wstring strUserName,
                  os::Event* pStop) {
  if (!strUserName.empty() && !strPassword.empty()) {
    StartShareConnection(strPath, strPassword, strUserName, FALSE);
  }
  CActiveUserImpersonation impersonation;
  RemoveOneTrailingSeparator(strPath);
  os::Event never(true, false);
  os::Event& stop = pStop != nullptr ? *pStop : never;
  for (int attempt = 0; attempt < kProbeTries; ++attempt) {
    const std::wstring probe = os::TempNameIn(strPath);
    if (os::CreateNewFile(probe)) {
      os::DeleteFile(probe);
      return TRUE;
    }
    if (stop.Wait(kProbeIntervalMs) == WAIT_OBJECT_0) return FALSE;
  }
  return FALSE;
}

unsigned ConnectShareThread(std::unique_ptr<ShareConnectParam> pParam) {
  if (!pParam || !pParam->pPendingShares) return 0;
  std::wstring path = pParam->strDestDir;
  const std::wstring user = pParam->strShareUserName;
  const std::wstring password = pParam->strSharePassword;
  RemoveOneTrailingSeparator(path);
  if (!ConnectShare(path, password, user, pParam->pStop) && !user.empty() && !password.empty()) {
    pParam->pPendingShares->Store(path, user, password);
  }
  return 1;
}

ShareConnectThreads::~ShareConnectThreads() { StopAll(); }

void ShareConnectThreads::Start(std::unique_ptr<ShareConnectParam> pParam) {
  std::erase_if(m_Threads, [](const std::future<unsigned>& thread) {
    return thread.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  });
  if (pParam) pParam->pStop = &m_hStop;
  try {
    m_Threads.push_back(std::async(std::launch::async, [pParam = std::move(pParam)]() mutable {
      os::NameCurrentThread(kThreadName);
      return ConnectShareThread(std::move(pParam));
    }));
  } catch (const std::system_error&) {
    DebugTrace("[Strandel]Cannot start a share connection thread");
  }
}

void ShareConnectThreads::StopAll() {
  m_hStop.Set();
  m_Threads.clear();  // a future of std::async joins its thread
  m_hStop.Reset();
}

void ConnectPendingShare(CPendingShareMap& pendingShares, std::wstring strPath) {
  RemoveOneTrailingSeparator(strPath);
  const auto credentials = pendingShares.Take(strPath);
  if (!credentials) return;
  const auto& [user, password] = *credentials;
  if (user.empty() || password.empty()) return;
  StartShareConnection(strPath, password, user, TRUE);
}

void SetShareProgram(std::wstring program) {
  std::lock_guard<std::mutex> guard(g_program_mutex);
  ShareProgram() = program.empty() ? std::wstring(kDefaultShareProgram) : std::move(program);
}
