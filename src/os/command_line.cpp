#include "os/process.h"

// The C runtime's quoting rules, the same on every platform.
namespace os {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

std::vector<std::wstring> SplitCommandLine(std::wstring_view line) {
  std::vector<std::wstring> args;
  std::size_t i = 0;
  for (;;) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    std::wstring arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !IsBlank(line[i]))) {
      if (line[i] == L'\\') {
        std::size_t n = 0;
        while (i < line.size() && line[i] == L'\\') ++n, ++i;
        if (i < line.size() && line[i] == L'"') {
          arg.append(n / 2, L'\\');
          if (n % 2 == 1) {
            arg.push_back(L'"');
            ++i;
          }
        } else {
          arg.append(n, L'\\');
        }
      } else if (line[i] == L'"') {
        // Inside quotes, "" is a literal quote (the runtime's rule since 2008).
        if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
          arg.push_back(L'"');
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg.push_back(line[i++]);
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::wstring QuoteArgument(std::wstring_view arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == arg.npos) return std::wstring(arg);
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');  // they precede the closing quote
  out.push_back(L'"');
  return out;
}

std::wstring JoinCommandLine(const std::vector<std::wstring>& arguments) {
  std::wstring line;
  for (const std::wstring& arg : arguments) {
    if (!line.empty()) line.push_back(L' ');
    line += QuoteArgument(arg);
  }
  return line;
}

}  // namespace os
