// Requests the operating system sends the running hub: stop (Linux SIGINT
// and SIGTERM; Windows console Ctrl+C, Ctrl+Break, close, logoff, shutdown)
// and reload (Linux SIGHUP). They arrive on one thread of their own, never
// inside another thread's code, so a handler may take locks and print.
#pragma once

#include <cstdint>

enum class q_signal : std::uint8_t {
    interrupt,  // Ctrl+C: SIGINT, CTRL_C_EVENT
    terminate,  // SIGTERM; the console's other control events on Windows
    reload,     // SIGHUP; Windows has none
};

using q_signal_handler = void (*)(q_signal which, void* context);

// The signals given are held back from every thread from now on (threads
// inherit it), so none ends the process by default or interrupts another
// thread. Call it on the main thread before any other thread starts.
// 0 or the system error number.
int hold_signals(bool stop, bool reload);

// Starts the thread that takes the held signals and calls `handler` with
// `context` for each, one call at a time. 0 or the system error number.
int start_signal_thread(q_signal_handler handler, void* context);

// The signal's name as people know it, "SIGINT", "SIGTERM", "SIGHUP".
const char* signal_name(q_signal which);
