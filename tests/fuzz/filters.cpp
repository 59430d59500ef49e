// Wildcard matching against a plain dynamic-programming matcher, and tasks'
// include and exclude lists of any text through the filter map.
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "watch/task_filter_map.h"
#include "watch/wildcard.h"

namespace {

// The obvious quadratic matcher: match[i][j] says whether the first i
// characters of name match the first j of pattern.
bool ReferenceMatch(std::wstring_view name, std::wstring_view pattern) {
  std::vector<std::vector<bool>> match(name.size() + 1, std::vector<bool>(pattern.size() + 1));
  match[0][0] = true;
  for (std::size_t j = 1; j <= pattern.size(); ++j) {
    match[0][j] = pattern[j - 1] == L'*' && match[0][j - 1];
  }
  for (std::size_t i = 1; i <= name.size(); ++i) {
    for (std::size_t j = 1; j <= pattern.size(); ++j) {
      const wchar_t p = pattern[j - 1];
      match[i][j] =
          p == L'*' ? match[i][j - 1] || match[i - 1][j]
                    : match[i - 1][j - 1] && (p == L'?' || FoldCase(p) == FoldCase(name[i - 1]));
    }
  }
  return match[name.size()][pattern.size()];
}

WatchTask ConsumeTask(FuzzedDataProvider& data) {
  WatchTask task;
  task.strWatchTaskName = fuzz::ConsumeWide(data, 8);
  task.bSetInclude = data.ConsumeBool();
  task.strIncludeFilter = fuzz::ConsumeWide(data, 128);
  task.bSetExclude = data.ConsumeBool();
  task.strExcludeFilter = fuzz::ConsumeWide(data, 128);
  return task;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  const std::wstring name = fuzz::ConsumeWide(data, 64);
  const std::wstring pattern = fuzz::ConsumeWide(data, 64);
  if (PathMatchSpec(name, pattern) != ReferenceMatch(name, pattern)) __builtin_trap();

  std::vector<TaskFilterEntry> entries;
  while (entries.size() < 4 && data.remaining_bytes() > 0) {
    entries.push_back(MakeTaskFilterEntry(ConsumeTask(data)));
    for (const auto* list : {&entries.back().include_patterns, &entries.back().exclude_patterns}) {
      for (const std::wstring& piece : *list) {
        if (piece.empty() || piece.find_first_of(std::wstring(L";\0", 2)) != std::wstring::npos) {
          __builtin_trap();  // a piece must lie between separators
        }
      }
    }
  }
  TaskFilterMap map;
  map.Replace(entries);
  const std::wstring relative = fuzz::ConsumeWide(data, 128);
  const bool is_directory = data.ConsumeBool();
  for (const TaskFilterEntry& entry : entries) {
    map.Passes(entry.task_name, relative, is_directory);
  }
  map.Passes(L"no such task", relative, is_directory);
  return 0;
}
