// The shell's wildcard test on a whole name, and the case folding it and the
// path rules share. Pure functions; safe on any thread.
#pragma once

#include <string_view>

// True when pattern matches all of name: "*" stands for any run of characters
// (also none), "?" for exactly one, letters compare without regard to case.
// Runs in time proportional to the product of the lengths at worst.
bool PathMatchSpec(std::wstring_view name, std::wstring_view pattern);

// Simple one-to-one case folding by code point, independent of the process
// locale.
wchar_t FoldCase(wchar_t ch);
bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b);
