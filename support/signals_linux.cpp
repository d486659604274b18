#include "support/signals.h"

#include <csignal>
#include <pthread.h>

namespace {

struct signal_thread_state {
    q_signal_handler handler = nullptr;
    void* context = nullptr;
    sigset_t set;
};

signal_thread_state g_state;

// Only the signals asked for are held; the others keep their default action.
void held_set(sigset_t& set, bool stop, bool reload)
{
    sigemptyset(&set);
    if (stop) {
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
    }
    if (reload)
        sigaddset(&set, SIGHUP);
}

bool translate(int signo, q_signal& which)
{
    switch (signo) {
    case SIGINT:
        which = q_signal::interrupt;
        return true;
    case SIGTERM:
        which = q_signal::terminate;
        return true;
    case SIGHUP:
        which = q_signal::reload;
        return true;
    default:
        return false;
    }
}

void* take_signals(void*)
{
    for (;;) {
        int signo = 0;
        if (sigwait(&g_state.set, &signo) != 0)
            continue;
        q_signal which;
        if (translate(signo, which))
            g_state.handler(which, g_state.context);
    }
    return nullptr;
}

} // namespace

int hold_signals(bool stop, bool reload)
{
    held_set(g_state.set, stop, reload);
    return pthread_sigmask(SIG_BLOCK, &g_state.set, nullptr);
}

int start_signal_thread(q_signal_handler handler, void* context)
{
    g_state.handler = handler;
    g_state.context = context;
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0)
        return rc;
    // The thread lives as long as the process; nobody joins it.
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    rc = pthread_create(&thread, &attr, take_signals, nullptr);
    pthread_attr_destroy(&attr);
    return rc;
}

const char* signal_name(q_signal which)
{
    switch (which) {
    case q_signal::interrupt:
        return "SIGINT";
    case q_signal::terminate:
        return "SIGTERM";
    case q_signal::reload:
        return "SIGHUP";
    }
    return "signal";
}
