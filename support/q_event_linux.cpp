#include "support/q_event.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define NO_STACK_SANITIZER __attribute__((no_sanitize_address, noinline))
#else
#define NO_STACK_SANITIZER
#endif

namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the futex word is the atomic itself");

NO_STACK_SANITIZER
long futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* relative)
{
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op | FUTEX_PRIVATE_FLAG, value,
                   relative, nullptr, 0);
}

// Wakes up to `count` threads blocked on the word. The waker may run this
// after the record is gone (a woken waiter may end its life at once): a
// private futex wake only looks the address up among the blocked threads and
// never touches the memory, so that is harmless.
void wake(std::atomic<std::uint32_t>& word, int count)
{
    futex(word, FUTEX_WAKE, static_cast<std::uint32_t>(count), nullptr);
}

// Blocks while the word still holds `seen`. The thread may be cancelled here
// (a slot's tear-down terminates a connected slot's threads): the block is
// made a cancellation point the way the C library makes its own, by allowing
// asynchronous cancellation around the system call only.
//
// AddressSanitizer keeps no shadow state for this frame: a cancellation
// unwinds from inside the system call without returning through it, and
// poisoned shadow left below the waiting frame trips the sanitizer's own
// stack bookkeeping when the unwind reaches that frame's clean-up.
NO_STACK_SANITIZER
void block(std::atomic<std::uint32_t>& word, std::uint32_t seen, const timespec* relative)
{
    int previous = 0;
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &previous);
    futex(word, FUTEX_WAIT, seen, relative);
    pthread_setcanceltype(previous, nullptr);
}

// Takes the signal, or finds the event released; false when neither.
bool try_take(std::atomic<std::uint32_t>& word)
{
    std::uint32_t s = word.load(std::memory_order_acquire);
    for (;;) {
        if (s & Q_EVENT::RELEASED)
            return true;
        if (!(s & Q_EVENT::SIGNALLED))
            return false;
        if (word.compare_exchange_weak(s, s & ~Q_EVENT::SIGNALLED, std::memory_order_acquire,
                                       std::memory_order_acquire))
            return true;
    }
}

// Counted among the blocked waiters while it lives; a cancelled waiter
// leaves the count as it unwinds.
struct counted_waiter {
    std::atomic<std::uint32_t>& word;
    explicit counted_waiter(std::atomic<std::uint32_t>& w) : word(w)
    {
        word.fetch_add(Q_EVENT::WAITER, std::memory_order_relaxed);
    }
    ~counted_waiter() { word.fetch_sub(Q_EVENT::WAITER, std::memory_order_relaxed); }
    counted_waiter(const counted_waiter&) = delete;
    counted_waiter& operator=(const counted_waiter&) = delete;
};

timespec now_monotonic()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

timespec after(const timespec& from, std::uint32_t milliseconds)
{
    timespec ts = from;
    ts.tv_sec += milliseconds / 1000;
    ts.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

// The time left until `deadline`; false once it has passed.
bool time_left(const timespec& deadline, timespec& left)
{
    const timespec now = now_monotonic();
    left.tv_sec = deadline.tv_sec - now.tv_sec;
    left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
    if (left.tv_nsec < 0) {
        left.tv_sec -= 1;
        left.tv_nsec += 1000000000L;
    }
    return left.tv_sec > 0 || (left.tv_sec == 0 && left.tv_nsec > 0);
}

} // namespace

int Q_EVENT::create(bool initially_signalled)
{
    if (handle.load(std::memory_order_relaxed))
        return 0;
    // Created and released before: a thread woken by that release may still
    // be leaving the count, so only the two state bits are set anew.
    std::uint32_t s = state.load(std::memory_order_relaxed);
    std::uint32_t fresh = 0;
    do {
        fresh = (s & ~(SIGNALLED | RELEASED)) | (initially_signalled ? SIGNALLED : 0);
    } while (!state.compare_exchange_weak(s, fresh, std::memory_order_release, std::memory_order_relaxed));
    handle.store(&state, std::memory_order_release);
    valid.store(1, std::memory_order_relaxed);
    return 0;
}

void Q_EVENT::set()
{
    if (!handle.load(std::memory_order_acquire))
        return;
    std::uint32_t s = state.load(std::memory_order_relaxed);
    do {
        // Already signalled: the first set has done all there is to do.
        if (s & (SIGNALLED | RELEASED))
            return;
    } while (!state.compare_exchange_weak(s, s | SIGNALLED, std::memory_order_release, std::memory_order_relaxed));
    // Nobody blocked: the bit alone carries the signal, and no system call
    // is made.
    if (s >= WAITER)
        wake(state, 1);
}

std::uint32_t Q_EVENT::wait_status(std::uint32_t milliseconds)
{
    if (!is_valid() || !handle.load(std::memory_order_acquire))
        return WAIT_INVALID;
    if (try_take(state))
        return 0;
    if (milliseconds == 0)
        return WAIT_TIMED_OUT;

    const bool timed = milliseconds != INFINITE;
    const timespec deadline = timed ? after(now_monotonic(), milliseconds) : timespec{};
    counted_waiter counted(state);
    for (;;) {
        // The word as it is with this thread counted in: a set or a release
        // after this load changes it, and the block then returns at once.
        const std::uint32_t seen = state.load(std::memory_order_acquire);
        if (seen & (SIGNALLED | RELEASED)) {
            if (try_take(state))
                return 0;
            continue;
        }
        timespec left{};
        if (timed && !time_left(deadline, left))
            return WAIT_TIMED_OUT;
        block(state, seen, timed ? &left : nullptr);
    }
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
    if (!handle.exchange(nullptr, std::memory_order_acq_rel))
        return;
    const std::uint32_t before = state.fetch_or(RELEASED | SIGNALLED, std::memory_order_acq_rel);
    // Every waiter, not just one: each of them must see `valid` 0 and stop.
    if (before >= WAITER)
        wake(state, INT_MAX);
}
