#include "entry/addin_app.h"

#include <cstdarg>
#include <cwchar>

#include "control/main_frame.h"
#include "os/text.h"
#include "platform/diag_log.h"

CAddinApp theApp;

std::wstring NormalizeDataDirectory(const wchar_t* dataDir) {
  if (dataDir == nullptr || *dataDir == L'\0') return std::wstring();
  std::wstring directory(dataDir);
  const wchar_t last = directory.back();
  if (last != L'\\' && last != L'/') directory.push_back(os::kPathSeparator);
  return directory;
}

CAddinCall::~CAddinCall() {
  DebugTrace("~CAddinCall");
  if (m_bProcessEnding) return;
  CMainFrame* frame = MainFrame();
  if (frame != nullptr) {
    frame->SendMessage(WM_CLOSE, 0, 0);
    frame->Join();
    delete frame;
    SetMainFrame(nullptr);
  }
  DebugTrace("~CAddinCall2");
  if (m_pMonitor != nullptr) m_pMonitor->Release();
}

void CAddinCall::WriteReport(int32_t level, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  WriteReportV(level, format, args);
  va_end(args);
}

CMainFrame* CAddinCall::MainFrame() {
  std::lock_guard<std::mutex> guard(m_Mutex);
  return m_pMainFrame;
}

void CAddinCall::SetMainFrame(CMainFrame* frame) {
  std::lock_guard<std::mutex> guard(m_Mutex);
  m_pMainFrame = frame;
}

IWatcherMonitor* CAddinCall::Monitor() {
  std::lock_guard<std::mutex> guard(m_Mutex);
  return m_pMonitor;
}

void CAddinCall::SetMonitor(IWatcherMonitor* monitor) {
  std::lock_guard<std::mutex> guard(m_Mutex);
  m_pMonitor = monitor;
}
