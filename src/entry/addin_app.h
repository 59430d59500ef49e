// The library's application object CAddinApp and the add-in object inside it.
// theApp is created when the library is loaded; its destruction (library
// unload or process exit) closes the controller and waits for the controller's
// thread, so no code of the module runs after the library is gone.
//
// Threads: the exports may come from any host thread; CAddinApp::m_Mutex
// serialises them. The controller clears its pointer in the add-in object from
// its own thread when its window is destroyed, under CAddinCall::m_Mutex.
#pragma once

#include <mutex>
#include <string>

#include "strandel/strandel.h"

class CMainFrame;

class CAddinCall {
 public:
  CAddinCall() = default;
  virtual ~CAddinCall();
  CAddinCall(const CAddinCall&) = delete;
  CAddinCall& operator=(const CAddinCall&) = delete;

  void WriteReport(int32_t level, const wchar_t* format, ...);

  CMainFrame* MainFrame();
  void SetMainFrame(CMainFrame* frame);
  IWatcherMonitor* Monitor();
  // Takes over the creator's reference.
  void SetMonitor(IWatcherMonitor* monitor);
  // The process is ending and the system has already ended every other
  // thread (Windows does so before a DLL's statics go): the controller's
  // threads are gone, so nothing is stopped or waited for at destruction.
  void AbandonAtProcessEnd() { m_bProcessEnding = true; }

 private:
  bool m_bProcessEnding = false;
  std::mutex m_Mutex;
  CMainFrame* m_pMainFrame = nullptr;     // guarded by m_Mutex; not owning
  IWatcherMonitor* m_pMonitor = nullptr;  // guarded by m_Mutex; holds one reference
};

class CAddinApp {
 public:
  std::mutex m_Mutex;  // serialises the exports
  CAddinCall m_AddinCall;
  std::wstring m_strDataDir;  // guarded by m_Mutex
};

extern CAddinApp theApp;

// The data directory as it is stored: the separator is appended unless the
// path already ends with "/" or "\"; null or empty stays empty.
std::wstring NormalizeDataDirectory(const wchar_t* dataDir);
