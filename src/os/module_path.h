// Where the module's own file lies, so that the programs shipped beside it
// can be found. Thread-safe.
#pragma once

#include <string>

namespace os {

// The directory of the library (or program) this code is linked into, with a
// trailing separator; empty when it cannot be told.
std::wstring ModuleDirectory();

}  // namespace os
