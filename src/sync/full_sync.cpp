// Stand-in for the full directory sync until the engine lands: it announces
// the listing and copies nothing.
#include "sync/full_sync.h"

BOOL CFullSync::DoSyncDirectory(const WatchTask& task, const TaskFilterEntry&, BOOL bIsDestDir) {
  if (m_pSink != nullptr) {
    m_pSink->Report(kOpListing, bIsDestDir ? task.strDestDir : task.strSourceDir, L"", 0, 0);
  }
  return 1;
}
