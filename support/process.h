// Process services: priority, debugger detection, process exit, system sizes,
// the console's one-character read and the runtime locale.
#pragma once

#include <cstdint>

// Raises the scheduling priority where permitted (Windows: the high priority
// class without dynamic boosting; Linux: a negative nice value); failures
// are ignored.
void raise_process_priority();

// A debugger is attached (Linux: TracerPid in /proc/self/status is not 0).
bool is_debugger_present();

// Ends the process at once with the code: output is flushed, no static
// destructors run while other threads may still use static objects.
[[noreturn]] void exit_process(std::uint32_t code);

// The system page size (GetSystemInfo on Windows), which also serves as the
// allocation granularity.
std::uint64_t system_page_size();

// Reads one character from standard input (the debugger pause).
int read_console_char();

// Sets the runtime locale for all categories; a missing locale changes nothing.
void set_runtime_locale();

// SIGPIPE is ignored process-wide: a peer that has gone must never end the
// process, also when a library writes to a socket. Windows sends no signal.
void ignore_broken_pipes();
