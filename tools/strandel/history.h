// The sync history in the data directory's "SyncLog" table, read beside the
// module (SQLite lets a reader share the file with its writer).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct HistoryRow {
  int64_t sn = 0;
  std::string time_utc;  // "YYYY-MM-DD HH:MM:SS"
  std::string task;
  std::string from;  // the task's two directories, in the change's direction
  std::string to;
  std::string changed;   // the file the change named, relative to its side
  std::string new_name;  // a rename's new name
  bool from_source = true;
  int action = 0;
  std::string operation;
  int error = 0;
  int line = 0;
  std::string info;
};

struct HistoryQuery {
  std::optional<std::string> task;
  std::optional<std::string> since_utc;
  bool failed_only = false;
  int64_t after_sn = 0;
  int limit = 0;  // the newest this many; 0 for all
};

// Rows oldest first. A database without history yet reads as empty; a file
// that cannot be read sets *error.
std::vector<HistoryRow> ReadHistory(const std::filesystem::path& database,
                                    const HistoryQuery& query, std::string* error);

// One readable line (local time), and the same row for scripts.
std::string HistoryLine(const HistoryRow& row);
std::string HistoryJson(const std::vector<HistoryRow>& rows);

// "2h", "30m", "7d" ago, or a local "YYYY-MM-DD[ HH:MM[:SS]]", as stored UTC
// text; nullopt when it is neither.
std::optional<std::string> SinceToUtc(const std::string& text);

}  // namespace host
