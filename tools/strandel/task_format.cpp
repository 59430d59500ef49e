#include "task_format.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "task_volumes.h"

namespace host {
namespace {

std::string NameOf(int32_t value, const char* const (&names)[3]) {
  return value >= 0 && value < 3 ? names[value] : "custom(" + std::to_string(value) + ")";
}

std::string FilterText(const TaskRecord& task) {
  std::string text;
  if (task.include) text += "+" + *task.include;
  if (task.exclude) text += (text.empty() ? "-" : " -") + *task.exclude;
  return text.empty() ? "-" : text;
}

std::string StrategyText(const TaskRecord& task) {
  return "add=" + AddStrategyName(task.on_add) + " delete=" + DelStrategyName(task.on_delete) +
         " rename=" + RenameStrategyName(task.on_rename);
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

std::string ScheduleText(const TaskRecord& task) {
  std::vector<std::string> parts;
  if (task.realtime) parts.push_back("realtime");
  if (task.every_ms != 0) parts.push_back("every " + DurationText(task.every_ms));
  if (task.usb) parts.push_back("usb");
  return parts.empty() ? "-" : Joined(parts);
}

std::string StateText(const TaskRecord& task) {
  const std::vector<std::string> absent = AbsentDrives(task);
  return absent.empty() ? "-" : "waits for " + Joined(absent);
}

// Only for a task on removable volumes: whether each is mounted.
std::string VolumeText(const TaskRecord& task) {
  const std::vector<std::string> absent = AbsentDrives(task);
  std::vector<std::string> parts;
  for (const std::string& drive : TaskDrives(task)) {
    const bool gone = std::find(absent.begin(), absent.end(), drive) != absent.end();
    parts.push_back(drive + (gone ? " (not mounted: the task waits for it)" : " (mounted)"));
  }
  return Joined(parts);
}

// Characters, not bytes, so names outside ASCII keep the columns straight.
size_t Width(const std::string& text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

nlohmann::json ToJson(const TaskRecord& task) {
  return {{"name", task.name},
          {"index", task.index},
          {"source", task.source},
          {"destination", task.dest},
          {"direction", DirectionName(task)},
          {"include", task.include ? nlohmann::json(*task.include) : nlohmann::json()},
          {"exclude", task.exclude ? nlohmann::json(*task.exclude) : nlohmann::json()},
          {"top_level_only", task.top_level_only},
          {"on_add", AddStrategyName(task.on_add)},
          {"on_delete", DelStrategyName(task.on_delete)},
          {"on_rename", RenameStrategyName(task.on_rename)},
          {"realtime", task.realtime},
          {"every_seconds", task.every_ms / 1000},
          {"usb", task.usb},
          {"waits_for_volumes", AbsentDrives(task)},
          {"fail_report", task.fail_report},
          {"share_user", task.share_user},
          {"share_password_set", !task.share_password.empty()}};
}

std::string Dump(const nlohmann::json& json) {
  // Names and paths that are not valid UTF-8 are shown with U+FFFD rather than refused.
  return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string DirectionName(const TaskRecord& task) { return task.two_way ? "two-way" : "one-way"; }

std::string AddStrategyName(AddStrategy strategy) {
  return NameOf(strategy, {"overwrite", "backup", "ignore"});
}
std::string DelStrategyName(DelStrategy strategy) {
  return NameOf(strategy, {"delete", "trash", "ignore"});
}
std::string RenameStrategyName(RenameStrategy strategy) {
  return NameOf(strategy, {"rename", "backup", "ignore"});
}

std::string DurationText(DWORD ms) {
  DWORD seconds = ms / 1000;
  std::string text;
  for (const auto& [unit, size] : {std::pair{"d", 86400u}, {"h", 3600u}, {"m", 60u}, {"s", 1u}}) {
    if (seconds >= size) {
      text += std::to_string(seconds / size) + unit;
      seconds %= size;
    }
  }
  return text.empty() ? "0s" : text;
}

std::string TaskTable(const std::vector<TaskRecord>& tasks) {
  std::vector<std::vector<std::string>> rows{{"NAME", "INDEX", "SOURCE", "DESTINATION", "DIRECTION",
                                              "FILTERS", "STRATEGIES", "SCHEDULE", "STATE"}};
  for (const TaskRecord& task : tasks) {
    rows.push_back({task.name, std::to_string(task.index), task.source, task.dest,
                    DirectionName(task), FilterText(task), StrategyText(task), ScheduleText(task),
                    StateText(task)});
  }
  std::vector<size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Width(row[c]));
  }
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - Width(row[c]) + 2, ' ');
    }
    table += line + "\n";
  }
  return table;
}

std::string TaskDetails(const TaskRecord& task) {
  std::vector<std::pair<const char*, std::string>> lines = {
      {"name", task.name},
      {"index", std::to_string(task.index)},
      {"source", task.source},
      {"destination", task.dest},
      {"direction", DirectionName(task)},
      {"include", task.include.value_or("(all files)")},
      {"exclude", task.exclude.value_or("(none)")},
      {"subdirectories", task.top_level_only ? "no (top level only)" : "yes"},
      {"on add", AddStrategyName(task.on_add)},
      {"on delete", DelStrategyName(task.on_delete)},
      {"on rename", RenameStrategyName(task.on_rename)},
      {"schedule", ScheduleText(task)},
      {"fail report", task.fail_report ? "yes" : "no"},
      {"share user", task.share_user.empty() ? "(none)" : task.share_user},
      {"share password", task.share_password.empty() ? "(none)" : "(set)"},
  };
  if (!TaskDrives(task).empty()) lines.emplace_back("volume", VolumeText(task));
  std::string text;
  for (const auto& [label, value] : lines) {
    text +=
        std::string(label) + ":" + std::string(16 - std::string(label).size(), ' ') + value + "\n";
  }
  return text;
}

std::string TasksJson(const std::vector<TaskRecord>& tasks) {
  nlohmann::json list = nlohmann::json::array();
  for (const TaskRecord& task : tasks) list.push_back(ToJson(task));
  return Dump(list);
}

std::string TaskJson(const TaskRecord& task) { return Dump(ToJson(task)); }

}  // namespace host
