// Q_EVENT: an auto-reset event with a `valid` flag.
//
// A release clears `valid` before it wakes the waiters, so a thread woken by a
// release sees `valid` 0 and stops instead of taking the wake-up as a go. The
// event's storage is part of the record and is never freed while the record
// lives, so a late waiter never touches freed memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

struct Q_EVENT_OBJECT {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    std::uint8_t signalled; // guarded by mutex
    std::uint8_t closed;    // guarded by mutex; a released event lets every wait through
    std::uint32_t waiters;  // guarded by mutex
};

struct Q_EVENT {
    static constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;
    static constexpr std::uint32_t WAIT_INVALID = 111;  // waited on an event that is not valid
    static constexpr std::uint32_t WAIT_TIMED_OUT = 138;

    std::atomic<Q_EVENT_OBJECT*> handle{nullptr};
    std::atomic<std::uint8_t> valid{0};
    Q_EVENT_OBJECT object{};

    Q_EVENT() = default;
    Q_EVENT(const Q_EVENT&) = delete;
    Q_EVENT& operator=(const Q_EVENT&) = delete;
    ~Q_EVENT() { release(); }

    // Creates the event (auto-reset) in the given initial state; 0 or the error.
    int create(bool initially_signalled);
    void set();
    // 0 when woken (look at `valid` afterwards), 111 when not valid, 138 on time-out.
    std::uint32_t wait_status(std::uint32_t milliseconds = INFINITE);
    // A wait whose outcome does not matter.
    void wait();
    // Clears `valid`, then wakes every waiter, present and future.
    void release();

    bool is_valid() const { return valid.load(std::memory_order_relaxed) != 0; }
};
