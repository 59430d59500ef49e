// The module started over a data directory for as long as this object lives.
#pragma once

#include <filesystem>

#include "strandel/strandel.h"

namespace host {

class ModuleSession {
 public:
  explicit ModuleSession(const std::filesystem::path& data_dir);
  ~ModuleSession();
  ModuleSession(const ModuleSession&) = delete;
  ModuleSession& operator=(const ModuleSession&) = delete;
  IWatcherMonitor* monitor() const { return monitor_; }

 private:
  IWatcherMonitor* monitor_ = nullptr;
};

}  // namespace host
