#include "history.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <ctime>
#include <nlohmann/json.hpp>

namespace host {
namespace {

// The controller marks a task's arrival and departure with actions -2 and -1.
constexpr int kTaskAdded = -2;
constexpr int kTaskRemoved = -1;

const char* ActionName(int action) {
  switch (action) {
    case kTaskAdded:
      return "task added";
    case kTaskRemoved:
      return "task removed";
    case 1:
      return "added";
    case 2:
      return "removed";
    case 3:
      return "modified";
    case 4:
    case 5:
      return "renamed";
    default:
      return "changed";
  }
}

std::string Column(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return text == nullptr ? std::string() : text;
}

std::string FormatTime(time_t when, bool utc, const char* format) {
  tm parts{};
  if (utc) {
    ::gmtime_r(&when, &parts);
  } else {
    ::localtime_r(&when, &parts);
  }
  char text[40];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

// Stored times are UTC text; a row the module wrote some other way is shown as it is.
std::string LocalTime(const std::string& utc_text) {
  tm parts{};
  const char* end = ::strptime(utc_text.c_str(), "%Y-%m-%d %H:%M:%S", &parts);
  if (end == nullptr || *end != '\0') return utc_text;
  return FormatTime(::timegm(&parts), false, "%Y-%m-%d %H:%M:%S");
}

bool IsFinish(const HistoryRow& row) { return row.operation == "SyncFinish"; }

std::string What(const HistoryRow& row) {
  if (row.action == kTaskAdded) return row.from + " -> " + row.to;
  if (row.action == kTaskRemoved) return "";
  std::string text = row.changed;
  if (!row.new_name.empty()) text += " -> " + row.new_name;
  if (!row.from_source) text += "  (from the destination)";
  return text;
}

}  // namespace

std::vector<HistoryRow> ReadHistory(const std::filesystem::path& database,
                                    const HistoryQuery& query, std::string* error) {
  std::vector<HistoryRow> rows;
  std::error_code ec;
  if (!std::filesystem::exists(database, ec)) return rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    *error = "cannot open " + database.string() + ": " + sqlite3_errmsg(db);
    sqlite3_close(db);
    return rows;
  }
  sqlite3_busy_timeout(db, 2000);
  std::string sql =
      "SELECT SN, lDateTime, lTaskName, lFromFile, lToFile, lChangedFile, lNewFile, "
      "lSourceDirChanged, lAction, "
      "lOperation, lErrorNO, lLineNO, lInfo FROM SyncLog WHERE SN > ?1";
  if (query.task) sql += " AND lTaskName = ?2";
  if (query.since_utc) sql += " AND lDateTime >= ?3";
  if (query.failed_only) sql += " AND lErrorNO != 0";
  sql += query.limit > 0 ? " ORDER BY SN DESC LIMIT ?4" : " ORDER BY SN";
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    // The history table and its columns appear with the first entry.
    const std::string message = sqlite3_errmsg(db);
    if (message.find("no such") == std::string::npos) *error = message;
    sqlite3_close(db);
    return rows;
  }
  sqlite3_bind_int64(statement, 1, query.after_sn);
  if (query.task) sqlite3_bind_text(statement, 2, query.task->c_str(), -1, SQLITE_TRANSIENT);
  if (query.since_utc) {
    sqlite3_bind_text(statement, 3, query.since_utc->c_str(), -1, SQLITE_TRANSIENT);
  }
  if (query.limit > 0) sqlite3_bind_int(statement, 4, query.limit);
  int step;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
    HistoryRow row;
    row.sn = sqlite3_column_int64(statement, 0);
    row.time_utc = Column(statement, 1);
    row.task = Column(statement, 2);
    row.from = Column(statement, 3);
    row.to = Column(statement, 4);
    row.changed = Column(statement, 5);
    row.new_name = Column(statement, 6);
    row.from_source = sqlite3_column_int(statement, 7) != 0;
    row.action = sqlite3_column_int(statement, 8);
    row.operation = Column(statement, 9);
    row.error = sqlite3_column_int(statement, 10);
    row.line = sqlite3_column_int(statement, 11);
    row.info = Column(statement, 12);
    rows.push_back(std::move(row));
  }
  if (step != SQLITE_DONE) *error = sqlite3_errmsg(db);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  if (query.limit > 0) std::reverse(rows.begin(), rows.end());
  return rows;
}

std::string HistoryLine(const HistoryRow& row) {
  std::string line = LocalTime(row.time_utc) + "  " + row.task + "  ";
  if (IsFinish(row) && row.error == 0) {
    std::string action = ActionName(row.action);
    action.resize(std::max<size_t>(action.size(), 8), ' ');
    std::string what = What(row);
    return what.empty() ? line + ActionName(row.action) : line + action + "  " + what;
  }
  if (IsFinish(row)) return line + "FAILED    " + ActionName(row.action) + " " + What(row);
  return line + "error     " + row.operation + " " + What(row) + ": " + row.info + " (error " +
         std::to_string(row.error) + ")";
}

std::string HistoryJson(const std::vector<HistoryRow>& rows) {
  nlohmann::json list = nlohmann::json::array();
  for (const HistoryRow& row : rows) {
    std::string time = row.time_utc;
    if (time.size() == 19 && time[10] == ' ')
      time = time.substr(0, 10) + "T" + time.substr(11) + "Z";
    list.push_back(nlohmann::json{
        {"sn", row.sn},
        {"time", time},
        {"task", row.task},
        {"from", row.from},
        {"to", row.to},
        {"action", ActionName(row.action)},
        {"file", row.changed},
        {"new_name", row.new_name.empty() ? nlohmann::json() : nlohmann::json(row.new_name)},
        {"side", row.from_source ? "source" : "destination"},
        {"operation", row.operation},
        {"ok", row.error == 0},
        {"error", row.error},
        {"line", row.line},
        {"info", row.info}});
  }
  return list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::optional<std::string> SinceToUtc(const std::string& text) {
  const char* const utc_format = "%Y-%m-%d %H:%M:%S";
  int64_t amount = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), amount);
  const std::string unit(end, text.data() + text.size());
  if (error == std::errc() && amount >= 0 && end != text.data() &&
      (unit == "s" || unit == "m" || unit == "h" || unit == "d")) {
    const int64_t scale = unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : 86400;
    // Longer ago than the epoch is all of the history.
    const int64_t now = std::time(nullptr);
    const int64_t ago = amount > now / scale ? now : amount * scale;
    return FormatTime(static_cast<time_t>(now - ago), true, utc_format);
  }
  for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d"}) {
    tm parts{};
    const char* rest = ::strptime(text.c_str(), format, &parts);
    if (rest == nullptr || *rest != '\0') continue;
    parts.tm_isdst = -1;
    const time_t when = std::mktime(&parts);
    if (when == static_cast<time_t>(-1)) return std::nullopt;
    return FormatTime(when, true, utc_format);
  }
  return std::nullopt;
}

}  // namespace host
