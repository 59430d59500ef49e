// The module's two diagnostic channels: the debug trace (short formatted
// messages to the trace sink of the platform layer) and the report file
// Report.dat (timestamped lines for the few serious faults).
// Every function here may be called from any thread at any time.
#pragma once

#include <cstdarg>
#include <string>

#include "strandel/strandel.h"

enum ReportLevel : int32_t { ReportInfo = 0, ReportWarning = 1, ReportError = 2 };

// mingw-w64 checks "printf" formats against Microsoft's printf; the traces are
// formatted by the C99 one there too (__USE_MINGW_ANSI_STDIO).
#ifdef __MINGW32__
#define STRANDEL_TRACE_FORMAT gnu_printf
#else
#define STRANDEL_TRACE_FORMAT printf
#endif

// Formats into a 490-character budget; a longer message is dropped whole, not
// cut. A "\n" is appended before it reaches the sink.
void DebugTrace(const char* format, ...) __attribute__((format(STRANDEL_TRACE_FORMAT, 1, 2)));
void DebugTraceW(const wchar_t* format, ...);

// The directory Report.dat lives in (with its trailing separator; empty: the
// current directory). Set by the module's start.
void SetReportDirectory(const std::wstring& data_dir);

// Appends one line to the report file. When the file cannot be opened, the
// bare message goes to the trace sink instead.
void WriteReport(int32_t level, const wchar_t* format, ...);
void WriteReportV(int32_t level, const wchar_t* format, va_list args);
