// Console output and the error report form.
//
// All text goes out as UTF-8 through one narrow path per stream, and both
// streams are unbuffered so every message shows at once, also in a pipe or a
// file. One call writes its text whole; two calls of different threads may
// interleave.
#pragma once

#include <cstdint>

// The formats are C99's on both systems (mingw-w64 formats them itself).
#if defined(__MINGW32__)
#define RELAYHUB_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define RELAYHUB_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

// Makes standard output and standard error unbuffered. Called once at start.
void console_init();

// Formatted output to standard output.
void out(const char* format, ...) RELAYHUB_PRINTF_FORMAT(1, 2);
// Formatted output to standard error.
void err(const char* format, ...) RELAYHUB_PRINTF_FORMAT(1, 2);

// The report of a failed call: `text` (the call's source text, may be null)
// on its own line, then "   ^ERROR: %u, %s" with the system's message text,
// whose own line end closes the line; "(null)" and no line end when the
// system has no text for the number. Returns `error` unchanged.
std::uint32_t report_error(std::uint32_t error, const char* text);
// The same report on standard error.
std::uint32_t report_error_stderr(std::uint32_t error, const char* text);
