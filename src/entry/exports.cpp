// The four exports of the module.
#include "control/main_frame.h"
#include "control/watcher_monitor.h"
#include "entry/addin_app.h"
#include "os/private_directory.h"
#include "os/text.h"
#include "platform/diag_log.h"

namespace {

// Creates the controller, opens the storage and starts watching, then creates
// the monitor object. E_FAIL only when the controller window cannot be made.
HRESULT StartModule() {
  CAddinCall& addin = theApp.m_AddinCall;
  auto* frame = new CMainFrame(theApp.m_strDataDir, [&addin] { addin.SetMainFrame(nullptr); });
  addin.SetMainFrame(frame);
  if (!frame->Create()) {
    frame->Join();
    delete frame;
    addin.SetMainFrame(nullptr);
    return E_FAIL;
  }
  frame->Start();
  addin.SetMonitor(new CWatcherMonitor(frame));
  return S_OK;
}

}  // namespace

extern "C" STRANDEL_API void InitStrandel(const wchar_t* dataDir) {
  std::lock_guard<std::mutex> guard(theApp.m_Mutex);
  // A second start would make a second controller over the same database and
  // orphan the first, whose threads would keep running; the first one stands.
  if (theApp.m_AddinCall.MainFrame() != nullptr) {
    DebugTrace("[Strandel]InitStrandel ignored: the module is already started");
    return;
  }
  const std::wstring directory = NormalizeDataDirectory(dataDir);
  // Nothing is written into a refused directory, not even the report file:
  // the host finds no monitor, and the trace says why.
  const std::string why =
      directory.empty()
          ? std::string()
          : os::WhyNotPrivateDirectory(os::ToUtf8(directory),
                                       {"Strandel.db", "Strandel.db.lock", "Report.dat"});
  if (!why.empty()) {
    DebugTrace("[Strandel]InitStrandel refused the data directory: %s", why.c_str());
    return;
  }
  theApp.m_strDataDir = directory;
  SetReportDirectory(theApp.m_strDataDir);
  StartModule();
}

extern "C" STRANDEL_API BOOL ReleaseStrandel(void) {
  std::lock_guard<std::mutex> guard(theApp.m_Mutex);
  CMainFrame* frame = theApp.m_AddinCall.MainFrame();
  if (frame != nullptr) return frame->Release();
  theApp.m_AddinCall.WriteReport(ReportError, L"ReleaseStrandel failed, no main frame");
  return 0;
}

extern "C" STRANDEL_API IWatcherMonitor* GetWatcherMonitor(void) {
  return theApp.m_AddinCall.Monitor();
}

extern "C" STRANDEL_API void SetSyncHint(void* pContext, SyncHintProc pfnHint) {
  std::lock_guard<std::mutex> guard(theApp.m_Mutex);
  CMainFrame* frame = theApp.m_AddinCall.MainFrame();
  if (frame != nullptr) frame->SetSyncHint(pContext, reinterpret_cast<void*>(pfnHint));
}

#ifdef _WIN32
// Runs before the module's statics are destroyed. A non-null reserved means
// the process is ending rather than the host unloading the DLL.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) theApp.m_AddinCall.AbandonAtProcessEnd();
  return TRUE;
}
#endif
