#include "store/sync_log_retention.h"

#include <cwctype>
#include <string>

#include "store/database_lock.h"

namespace {

std::wstring Lowered(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return text;
}

// The stored value when it can be read and lies in [low, high].
bool ReadSetting(const CRecord& row, int32_t low, int32_t high, int32_t* value) {
  RecordValue stored;
  if (row.getValue(L"lConfigValue", &stored) != S_OK) return false;
  const auto* number = std::get_if<int32_t>(&stored);
  if (number == nullptr || *number < low || *number > high) return false;
  *value = *number;
  return true;
}

void AddSetting(CRecordTable& table, const wchar_t* name, int32_t value) {
  CRecord row = table.addRecord();
  row.SetValue(L"lConfigName", name);
  row.setInteger(L"lConfigValue", value);
}

}  // namespace

void RunSyncLogRetention(ModuleDatabase& database) {
  CDatabaseLock lock(database.Lock());
  CRecordDatabase& records = database.Records();
  CRecordTable config = records.getTable(L"SyncConfig");
  if (config.isMissing()) return;

  int32_t days = kDefaultLogReserveDays;
  int32_t limit = kDefaultLogReserveNum;
  bool found_days = false;
  bool found_limit = false;
  for (int32_t position = 0; position < config.count(); ++position) {
    const CRecord row = config.recordAt(position);
    RecordValue name;
    if (row.getValue(L"lConfigName", &name) != S_OK) continue;
    const auto* text = std::get_if<std::wstring>(&name);
    const std::wstring key = text != nullptr ? Lowered(*text) : std::wstring();
    if (key == L"logreservedays") {
      found_days = true;
      ReadSetting(row, 1, 365, &days);
    } else if (key == L"logreservenum") {
      found_limit = true;
      ReadSetting(row, 0, 100000, &limit);
    }
  }
  if (!found_days) AddSetting(config, L"logreservedays", days);
  if (!found_limit) AddSetting(config, L"logreservenum", limit);

  CRecordTable history = records.getTable(L"SyncLog");
  if (history.isMissing()) return;
  records.deleteWhere(
      L"SyncLog", L"datetime('now', '-" + std::to_wstring(days) + L" day') >= strftime(lDateTime)");
  // Keeping the newest rows sorts the whole history: every start would pay
  // for it, though it only removes rows when there are more than the limit.
  if (history.count() <= limit) return;
  records.deleteWhere(L"SyncLog",
                      L"SN NOT IN (SELECT SN FROM SyncLog ORDER BY lDateTime DESC LIMIT " +
                          std::to_wstring(limit) + L")");
}
