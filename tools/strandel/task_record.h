// A watch task in the host's own types, and the conversions to and from the
// module's WatchTaskInfo with its BSTR strings.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "strandel/strandel.h"

namespace host {

struct TaskRecord {
  std::string name;
  std::string source;
  std::string dest;
  DWORD index = 0;
  bool realtime = true;
  bool two_way = false;
  bool top_level_only = false;
  bool fail_report = false;
  bool usb = false;
  std::optional<std::string> include;  // set when the include filter is on
  std::optional<std::string> exclude;
  AddStrategy on_add = AddOverwrite;
  DelStrategy on_delete = DelPermanent;
  RenameStrategy on_rename = RenameInPlace;
  DWORD every_ms = 0;  // 0: no scheduled sync
  std::string share_user;
  std::string share_password;
};

// Copies a task the module filled in; the strings stay the caller's to free.
TaskRecord FromInfo(const WatchTaskInfo& info);

// A WatchTaskInfo whose strings live exactly as long as this object.
class TaskInfoBuffer {
 public:
  explicit TaskInfoBuffer(const TaskRecord& task);
  ~TaskInfoBuffer();
  TaskInfoBuffer(const TaskInfoBuffer&) = delete;
  TaskInfoBuffer& operator=(const TaskInfoBuffer&) = delete;
  WatchTaskInfo* get() { return &info_; }

 private:
  BSTR Keep(const std::string& text);
  WatchTaskInfo info_{};
  std::vector<BSTR> owned_;
};

// Frees the strings QueryTaskInfo allocated for the caller.
void FreeInfoStrings(WatchTaskInfo& info);

}  // namespace host
