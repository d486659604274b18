#include "support/q_event.h"

#include <windows.h>

// The event is a kernel auto-reset event; `state` counts the threads that use
// its handle (waiters, and setters for the moment of their call) and holds
// RELEASED. The handle is closed only once the event is released and nobody
// uses it any more: closing a handle that another thread waits on is
// undefined, and a handle value may be reused for another object at once.
// SIGNALLED, which the kernel object carries here, marks the handle closed.

namespace {

constexpr std::uint32_t CLOSED = Q_EVENT::SIGNALLED;

HANDLE handle_of(const std::atomic<void*>& handle)
{
    return static_cast<HANDLE>(handle.load(std::memory_order_acquire));
}

// Closes the handle when the event is released and no thread uses it;
// whoever brings the count to 0 after the release does it, exactly once.
void close_when_unused(std::atomic<void*>& handle, std::atomic<std::uint32_t>& state)
{
    std::uint32_t s = state.load(std::memory_order_acquire);
    while ((s & Q_EVENT::RELEASED) && !(s & CLOSED) && s < Q_EVENT::WAITER) {
        if (state.compare_exchange_weak(s, s | CLOSED, std::memory_order_acq_rel, std::memory_order_acquire)) {
            HANDLE h = static_cast<HANDLE>(handle.exchange(nullptr, std::memory_order_acq_rel));
            if (h && !CloseHandle(h))
                (void)GetLastError();
            return;
        }
    }
}

// A thread using the handle; the last one out after a release closes it.
struct handle_user {
    std::atomic<void*>& handle;
    std::atomic<std::uint32_t>& state;
    std::uint32_t seen;
    handle_user(std::atomic<void*>& h, std::atomic<std::uint32_t>& s)
        : handle(h), state(s), seen(s.fetch_add(Q_EVENT::WAITER, std::memory_order_acq_rel))
    {
    }
    ~handle_user()
    {
        state.fetch_sub(Q_EVENT::WAITER, std::memory_order_acq_rel);
        close_when_unused(handle, state);
    }
    bool released() const { return (state.load(std::memory_order_acquire) & Q_EVENT::RELEASED) != 0; }
    handle_user(const handle_user&) = delete;
    handle_user& operator=(const handle_user&) = delete;
};

std::uint32_t wait_result(DWORD result)
{
    switch (result) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        return 0;
    case WAIT_TIMEOUT:
        return Q_EVENT::WAIT_TIMED_OUT;
    default:
        return static_cast<std::uint32_t>(GetLastError());
    }
}

} // namespace

int Q_EVENT::create(bool initially_signalled)
{
    if (handle.load(std::memory_order_relaxed))
        return 0;
    HANDLE h = CreateEventW(nullptr, FALSE, initially_signalled ? TRUE : FALSE, nullptr);
    if (!h)
        return static_cast<int>(GetLastError());
    // Created and released before: a thread leaving the old event may still
    // be counted, so only the state bits are set anew.
    std::uint32_t s = state.load(std::memory_order_relaxed);
    while (!state.compare_exchange_weak(s, s & ~(RELEASED | CLOSED), std::memory_order_release,
                                        std::memory_order_relaxed)) {
    }
    handle.store(h, std::memory_order_release);
    valid.store(1, std::memory_order_relaxed);
    return 0;
}

void Q_EVENT::set()
{
    if (!handle.load(std::memory_order_acquire))
        return;
    handle_user user(handle, state);
    if (user.seen & (RELEASED | CLOSED))
        return;
    if (!SetEvent(handle_of(handle)))
        (void)GetLastError();
}

std::uint32_t Q_EVENT::wait_status(std::uint32_t milliseconds)
{
    if (!is_valid() || !handle.load(std::memory_order_acquire))
        return WAIT_INVALID;
    handle_user user(handle, state);
    if (user.seen & (RELEASED | CLOSED))
        return 0;
    const DWORD result = WaitForSingleObject(handle_of(handle), milliseconds);
    // A release wakes one waiter with its set; each woken waiter passes the
    // wake-up on, so every thread blocked at the release comes out.
    if (user.released() && !SetEvent(handle_of(handle)))
        (void)GetLastError();
    return wait_result(result);
}

void Q_EVENT::wait()
{
    wait_status(INFINITE);
}

void Q_EVENT::release()
{
    if (!is_valid())
        return;
    valid.store(0, std::memory_order_relaxed);
    // Counted as a user for its own set, so the handle stays open until the
    // set is made; the last user out closes it.
    handle_user user(handle, state);
    const std::uint32_t before = state.fetch_or(RELEASED, std::memory_order_acq_rel);
    if (!(before & (RELEASED | CLOSED)) && !SetEvent(handle_of(handle)))
        (void)GetLastError();
}
