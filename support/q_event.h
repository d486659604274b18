// Q_EVENT: an auto-reset event with a `valid` flag.
//
// A release clears `valid` before it wakes the waiters, so a thread woken by a
// release sees `valid` 0 and stops instead of taking the wake-up as a go. The
// event's storage is part of the record and is never freed while the record
// lives, so a late waiter never touches freed memory.
//
// The event is one word of its own, `state`: a set and a wait on a signalled
// event are a single atomic operation each, and the system is entered only
// to block a waiter or to wake one that blocks.
#pragma once

#include <atomic>
#include <cstdint>

struct Q_EVENT {
    static constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;
    static constexpr std::uint32_t WAIT_INVALID = 111;  // waited on an event that is not valid
    static constexpr std::uint32_t WAIT_TIMED_OUT = 138;

    // The bits of `state`; the bits above them count the threads inside a
    // blocking wait (a set wakes one of them only when there is one).
    static constexpr std::uint32_t SIGNALLED = 1;
    static constexpr std::uint32_t RELEASED = 2;  // every wait goes through, for good
    static constexpr std::uint32_t WAITER = 4;

    // The platform's event object; not null while the event is created. The
    // Linux implementation needs no object besides `state` and points here
    // at `state` itself.
    std::atomic<void*> handle{nullptr};
    std::atomic<std::uint8_t> valid{0};
    std::atomic<std::uint32_t> state{0};

    Q_EVENT() = default;
    Q_EVENT(const Q_EVENT&) = delete;
    Q_EVENT& operator=(const Q_EVENT&) = delete;
    ~Q_EVENT() { release(); }

    // Creates the event (auto-reset) in the given initial state; 0 or the error.
    int create(bool initially_signalled);
    // Lets exactly one wait through, the present one or the next.
    void set();
    // 0 when woken (look at `valid` afterwards), 111 when not valid, 138 on time-out.
    std::uint32_t wait_status(std::uint32_t milliseconds = INFINITE);
    // A wait whose outcome does not matter.
    void wait();
    // Clears `valid`, then wakes every waiter, present and future.
    void release();

    bool is_valid() const { return valid.load(std::memory_order_relaxed) != 0; }
    // Threads inside a blocking wait right now.
    std::uint32_t waiters() const { return state.load(std::memory_order_relaxed) / WAITER; }
};
