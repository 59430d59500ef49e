#include "task_commands.h"

#include <sys/stat.h>

#include "control/task_rules.h"
#include "task_format.h"

namespace host {
namespace {

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// True when path is dir or lies somewhere below it.
bool Within(const std::string& path, const std::string& dir) {
  if (path == dir || dir == "/") return true;
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/';
}

bool Overlap(const std::string& a, const std::string& b) { return Within(a, b) || Within(b, a); }

void Apply(const TaskChanges& c, TaskRecord& task) {
  if (c.source) task.source = *c.source;
  if (c.dest) task.dest = *c.dest;
  if (c.two_way) task.two_way = *c.two_way;
  if (c.top_level_only) task.top_level_only = *c.top_level_only;
  if (c.realtime) task.realtime = *c.realtime;
  if (c.usb) task.usb = *c.usb;
  if (c.fail_report) task.fail_report = *c.fail_report;
  if (c.include) task.include = c.include->empty() ? std::nullopt : c.include;
  if (c.exclude) task.exclude = c.exclude->empty() ? std::nullopt : c.exclude;
  if (c.on_add) task.on_add = *c.on_add;
  if (c.on_delete) task.on_delete = *c.on_delete;
  if (c.on_rename) task.on_rename = *c.on_rename;
  if (c.every_ms) task.every_ms = *c.every_ms;
  if (c.share_user) {
    task.share_user = *c.share_user;
    task.share_password = c.share_password.value_or("");
  }
}

// Why the module called a pair illegal, in the user's terms.
std::string ExplainIllegalPair(const TaskRecord& task, const std::vector<TaskRecord>& others) {
  if (task.source == task.dest) return "the source and the destination are both " + task.source;
  if (Within(task.dest, task.source)) return task.dest + " lies inside " + task.source;
  if (Within(task.source, task.dest)) return task.source + " lies inside " + task.dest;
  for (const TaskRecord& other : others) {
    if (other.name == task.name) continue;
    for (const std::string* mine : {&task.source, &task.dest}) {
      for (const std::string* theirs : {&other.source, &other.dest}) {
        if (Overlap(*mine, *theirs)) {
          return task.dest + " would feed back into " + task.source + " through task '" +
                 other.name + "' (" + other.source + " -> " + other.dest + ")";
        }
      }
    }
  }
  return task.dest + " lies inside " + task.source +
         ", or would feed back into it through another task";
}

std::optional<TaskRecord> FindTask(TaskAccess& tasks, const std::string& name) {
  for (TaskRecord& task : tasks.List()) {
    if (task.name == name) return std::move(task);
  }
  return std::nullopt;
}

int Refuse(Output& output, const std::string& message) {
  output.err += "strandel: " + message + "\n";
  return 1;
}

int Add(const Request& request, TaskAccess& access, Output& output) {
  TaskRecord task;
  task.name = request.name;
  Apply(request.changes, task);
  if (!IsDirectory(task.source)) {
    return Refuse(output, "source directory " + task.source + " does not exist");
  }
  const std::vector<TaskRecord> tasks = access.List();
  if (request.if_missing) {
    for (const TaskRecord& existing : tasks) {
      if (existing.name == task.name && existing.source == task.source &&
          existing.dest == task.dest) {
        output.out += std::to_string(existing.index) + "\n";
        return 0;
      }
    }
  }
  if (tasks.size() >= kMaxTasks) {
    return Refuse(output, "there are already " + std::to_string(kMaxTasks) +
                              " tasks, the most one data directory holds");
  }
  const LONG result = access.Add(task);
  if (result == -3) return Refuse(output, "a task named '" + task.name + "' already exists");
  if (result == -2) return Refuse(output, "refused: " + ExplainIllegalPair(task, tasks));
  if (result == 1) return Refuse(output, "the module refused task '" + task.name + "'");
  output.out += std::to_string(result) + "\n";
  return 0;
}

int Edit(const Request& request, TaskAccess& access, Output& output) {
  std::optional<TaskRecord> found = FindTask(access, request.name);
  if (!found) return Refuse(output, "no task named '" + request.name + "'");
  TaskRecord task = std::move(*found);
  Apply(request.changes, task);
  if (request.changes.source && !IsDirectory(task.source)) {
    return Refuse(output, "source directory " + task.source + " does not exist");
  }
  const LONG result = access.Reset(task);
  if (result == -2) return Refuse(output, "refused: " + ExplainIllegalPair(task, access.List()));
  if (result != 0) return Refuse(output, "the module refused the change to '" + task.name + "'");
  output.out += "updated task '" + task.name + "'\n";
  return 0;
}

int Remove(const Request& request, TaskAccess& access, Output& output) {
  if (!access.Remove(request.name)) return Refuse(output, "no task named '" + request.name + "'");
  output.out += "removed task '" + request.name + "'\n";
  return 0;
}

int List(const Request& request, TaskAccess& access, Output& output) {
  const std::vector<TaskRecord> tasks = access.List();
  if (request.json) {
    output.out += TasksJson(tasks);
  } else if (tasks.empty()) {
    output.out += "no tasks yet; add one with: strandel add NAME SOURCE DEST\n";
  } else {
    output.out += TaskTable(tasks);
  }
  return 0;
}

int Show(const Request& request, TaskAccess& access, Output& output) {
  const std::optional<TaskRecord> task = FindTask(access, request.name);
  if (!task) return Refuse(output, "no task named '" + request.name + "'");
  output.out += request.json ? TaskJson(*task) : TaskDetails(*task);
  return 0;
}

}  // namespace

int Execute(const Request& request, TaskAccess& access, Output& output) {
  if (request.command == "add") return Add(request, access, output);
  if (request.command == "edit") return Edit(request, access, output);
  if (request.command == "remove") return Remove(request, access, output);
  if (request.command == "list") return List(request, access, output);
  if (request.command == "show") return Show(request, access, output);
  return Refuse(output, "unknown command '" + request.command + "'");
}

}  // namespace host
