// BSTR: a 32-bit byte count, then the characters and a terminating zero. The
// pointer handed out addresses the characters, so a BSTR reads as a plain
// zero-terminated wide string too. These three functions are exported for hosts.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "strandel/strandel.h"

namespace {

constexpr std::size_t kPrefix = sizeof(uint32_t);

uint32_t* PrefixOf(BSTR bstr) {
  return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(bstr) - kPrefix);
}

}  // namespace

extern "C" {

BSTR SysAllocString(const OLECHAR* psz) {
  if (psz == nullptr) return nullptr;
  const std::size_t chars = std::wcslen(psz);
  if (chars > (UINT32_MAX - kPrefix) / sizeof(OLECHAR) - 1) return nullptr;
  auto* block = static_cast<char*>(std::malloc(kPrefix + (chars + 1) * sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  const auto bytes = static_cast<uint32_t>(chars * sizeof(OLECHAR));
  std::memcpy(block, &bytes, kPrefix);
  auto* text = reinterpret_cast<OLECHAR*>(block + kPrefix);
  std::memcpy(text, psz, (chars + 1) * sizeof(OLECHAR));
  return text;
}

void SysFreeString(BSTR bstrString) {
  if (bstrString != nullptr) std::free(PrefixOf(bstrString));
}

UINT SysStringLen(BSTR bstr) {
  if (bstr == nullptr) return 0;
  uint32_t bytes;
  std::memcpy(&bytes, PrefixOf(bstr), kPrefix);
  return bytes / sizeof(OLECHAR);
}

}  // extern "C"
