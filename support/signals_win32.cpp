#include "support/signals.h"

#include <atomic>
#include <windows.h>

namespace {

// The console's control events, kept as pending bits until the signal
// thread takes them.
constexpr std::uint32_t PENDING_INTERRUPT = 1;
constexpr std::uint32_t PENDING_TERMINATE = 2;
// After a close, logoff or shutdown event the system ends the process as
// soon as the handler returns: it waits this long for the stop to finish.
constexpr DWORD CLOSE_GRACE_MS = 4000;

struct signal_thread_state {
    q_signal_handler handler = nullptr;
    void* context = nullptr;
    HANDLE wake = nullptr;
    std::atomic<std::uint32_t> pending{0};
};

signal_thread_state g_state;

BOOL WINAPI on_console_event(DWORD event)
{
    const bool interrupt = event == CTRL_C_EVENT;
    g_state.pending.fetch_or(interrupt ? PENDING_INTERRUPT : PENDING_TERMINATE);
    if (g_state.wake)
        SetEvent(g_state.wake);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(CLOSE_GRACE_MS);
    return TRUE;
}

DWORD WINAPI take_signals(void*)
{
    for (;;) {
        if (WaitForSingleObject(g_state.wake, INFINITE) != WAIT_OBJECT_0)
            continue;
        const std::uint32_t pending = g_state.pending.exchange(0);
        if (pending & PENDING_INTERRUPT)
            g_state.handler(q_signal::interrupt, g_state.context);
        if (pending & PENDING_TERMINATE)
            g_state.handler(q_signal::terminate, g_state.context);
    }
    return 0;
}

} // namespace

int hold_signals(bool stop, bool)
{
    // Windows sends no reload request; only the console's events are held.
    if (!g_state.wake) {
        g_state.wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!g_state.wake)
            return static_cast<int>(GetLastError());
    }
    if (stop && !SetConsoleCtrlHandler(on_console_event, TRUE))
        return static_cast<int>(GetLastError());
    return 0;
}

int start_signal_thread(q_signal_handler handler, void* context)
{
    if (!g_state.wake)
        return ERROR_INVALID_HANDLE;
    g_state.handler = handler;
    g_state.context = context;
    // The thread lives as long as the process; nobody waits for it.
    HANDLE thread = CreateThread(nullptr, 256 * 1024, take_signals, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread)
        return static_cast<int>(GetLastError());
    CloseHandle(thread);
    // Events that came before the thread was there are taken now.
    if (g_state.pending.load() != 0)
        SetEvent(g_state.wake);
    return 0;
}

const char* signal_name(q_signal which)
{
    switch (which) {
    case q_signal::interrupt:
        return "Ctrl+C";
    case q_signal::terminate:
        return "console close";
    case q_signal::reload:
        return "reload";
    }
    return "signal";
}
