#include "module_session.h"

#include "os/text.h"

namespace host {

ModuleSession::ModuleSession(const std::filesystem::path& data_dir) {
  InitStrandel(os::FromUtf8(data_dir.string() + "/").c_str());
  monitor_ = GetWatcherMonitor();
}

ModuleSession::~ModuleSession() { ReleaseStrandel(); }

}  // namespace host
