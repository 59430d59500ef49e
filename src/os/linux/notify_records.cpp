#include "os/linux/notify_records.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include "os/text.h"

namespace os {
namespace {

std::size_t RecordSize(std::size_t chars) {
  const std::size_t raw = offsetof(FILE_NOTIFY_INFORMATION, FileName) + chars * sizeof(wchar_t);
  return (raw + 3) & ~std::size_t{3};
}

}  // namespace

DWORD FillNotifyBuffer(std::deque<NotifyRecord>& pending, char* buffer, DWORD length) {
  std::size_t used = 0;
  std::size_t last = 0;
  bool any = false;
  while (!pending.empty()) {
    const std::size_t count =
        pending.front().action == FILE_ACTION_RENAMED_OLD_NAME && pending.size() > 1 ? 2 : 1;
    std::vector<std::wstring> names;
    std::size_t need = 0;
    for (std::size_t i = 0; i < count; ++i) {
      names.push_back(FromUtf8(pending[i].name));
      need += RecordSize(names.back().size());
    }
    if (used + need > length) {
      if (any) break;
      pending.erase(pending.begin(), pending.begin() + count);
      return 0;
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (any) {
        const DWORD next = static_cast<DWORD>(used - last);
        std::memcpy(buffer + last + offsetof(FILE_NOTIFY_INFORMATION, NextEntryOffset), &next,
                    sizeof next);
      }
      const DWORD zero = 0;
      const DWORD action = pending[i].action;
      const DWORD bytes = static_cast<DWORD>(names[i].size() * sizeof(wchar_t));
      char* record = buffer + used;
      std::memcpy(record + offsetof(FILE_NOTIFY_INFORMATION, NextEntryOffset), &zero, sizeof zero);
      std::memcpy(record + offsetof(FILE_NOTIFY_INFORMATION, Action), &action, sizeof action);
      std::memcpy(record + offsetof(FILE_NOTIFY_INFORMATION, FileNameLength), &bytes, sizeof bytes);
      std::memcpy(record + offsetof(FILE_NOTIFY_INFORMATION, FileName), names[i].data(), bytes);
      last = used;
      used += RecordSize(names[i].size());
      any = true;
    }
    pending.erase(pending.begin(), pending.begin() + count);
  }
  return static_cast<DWORD>(used);
}

}  // namespace os
