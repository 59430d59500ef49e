#include "os/mount_info.h"

#include <algorithm>
#include <cstdio>

#include "os/text.h"

// The kernel's mount table text, which the fuzz targets and the Linux layer
// read; its mount points always have "/" between levels.
namespace os {
namespace {

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// The kernel writes space, tab, newline and backslash in mount points as \ooo.
std::string DecodeMountField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) &&
        IsOctal(field[i + 2]) && IsOctal(field[i + 3])) {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t pos = 0;
  while (pos < line.size()) {
    const std::size_t end = std::min(line.find(' ', pos), line.size());
    if (end > pos) fields.push_back(line.substr(pos, end - pos));
    pos = end + 1;
  }
  return fields;
}

}  // namespace

bool ParseDeviceNumbers(std::string_view text, uint32_t* major_out, uint32_t* minor_out) {
  unsigned major_value = 0;
  unsigned minor_value = 0;
  char tail = 0;
  const std::string copy(text);
  if (std::sscanf(copy.c_str(), "%u:%u%c", &major_value, &minor_value, &tail) != 2) return false;
  *major_out = major_value;
  *minor_out = minor_value;
  return true;
}

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> table;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = std::min(text.find('\n', pos), text.size());
    const auto fields = SplitFields(text.substr(pos, end - pos));
    pos = end + 1;
    // id parent maj:min root mount-point options [optional...] - type source super-options
    if (fields.size() < 9) continue;
    const auto dash = std::find(fields.begin() + 6, fields.end(), std::string_view("-"));
    if (fields.end() - dash < 3) continue;
    MountEntry entry;
    if (!ParseDeviceNumbers(fields[2], &entry.major, &entry.minor)) continue;
    entry.mount_point = FromUtf8(DecodeMountField(fields[4]));
    entry.fs_type = DecodeMountField(dash[1]);
    entry.source = FromUtf8(DecodeMountField(dash[2]));
    if (entry.mount_point.empty() || entry.mount_point.front() != L'/') continue;
    table.push_back(std::move(entry));
  }
  return table;
}

}  // namespace os
