#include "os/temp_name.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <iterator>

#include "os/system_info.h"
#include "os/text.h"

namespace os {
namespace {

constexpr std::size_t kSuffixDigits = 16;

const std::string& PrefixBytes() {
  static const std::string prefix = ToUtf8(kTempNamePrefix);
  return prefix;
}

}  // namespace

bool IsTempName(std::string_view name) { return name.starts_with(PrefixBytes()); }

bool IsMadeTempName(std::string_view name) {
  if (!IsTempName(name)) return false;
  const std::string_view suffix = name.substr(PrefixBytes().size());
  return suffix.size() == kSuffixDigits && std::all_of(suffix.begin(), suffix.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::string TempName() {
  // Random words fetched a batch at a time: one system call per copy was a
  // measurable share of copying a small file.
  thread_local uint64_t words[32];
  thread_local std::size_t left = 0;
  uint64_t bits = 0;
  if (left == 0 && SystemRandom(words, sizeof(words))) {
    left = std::size(words);
  }
  if (left > 0) {
    bits = words[--left];
  } else {
    static std::atomic<uint64_t> counter{0};
    // Unique still, though guessable: the name must never be missing.
    bits = (static_cast<uint64_t>(ProcessId()) << 32) ^ counter.fetch_add(1) ^
           reinterpret_cast<uintptr_t>(&bits);
  }
  char suffix[kSuffixDigits + 1];
  std::snprintf(suffix, sizeof(suffix), "%016llx", static_cast<unsigned long long>(bits));
  return PrefixBytes() + suffix;
}

std::wstring TempNameIn(const std::wstring& directory) {
  std::wstring path = directory;
  if (path.empty() || path.back() != kPathSeparator) path += kPathSeparator;
  return path + FromUtf8(TempName());
}

}  // namespace os
