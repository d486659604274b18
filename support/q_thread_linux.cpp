#include "support/q_thread.h"

#include <cerrno>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

// Who gives the system thread back is decided once, through `claimed`:
//   UNCLAIMED  nobody yet;
//   BY_OWNER   another thread joins it (join or terminate), or has let it go;
//   BY_ITSELF  the thread released its own record and detaches itself.
// A thread releasing itself touches only `claimed` and then `created`, and
// clearing `created` is its very last access to the record. A joiner that
// finds the thread's own claim waits for that last access, so the owner may
// free the record as soon as join returns.

namespace {

constexpr std::uint8_t UNCLAIMED = 0;
constexpr std::uint8_t BY_OWNER = 1;
constexpr std::uint8_t BY_ITSELF = 2;

struct thread_start {
    Q_THREAD_ROUTINE routine;
    void* parameter;
    const Q_THREAD* record;
};

// The record this thread was started with: a release called from the thread
// itself is told apart without reading the handle, which the owner may be
// storing or clearing at that moment.
thread_local const Q_THREAD* own_record = nullptr;

void* trampoline(void* arg)
{
    thread_start start = *static_cast<thread_start*>(arg);
    delete static_cast<thread_start*>(arg);
    own_record = start.record;
    start.routine(start.parameter);
    return nullptr;
}

std::uint64_t stack_reservation(std::uint64_t requested)
{
    std::uint64_t size = requested < Q_THREAD::MIN_STACK_SIZE ? Q_THREAD::MIN_STACK_SIZE : requested;
    long page = sysconf(_SC_PAGESIZE);
    std::uint64_t unit = page > 0 ? static_cast<std::uint64_t>(page) : 4096;
    return (size + unit - 1) / unit * unit;
}

// A joiner cancelled inside pthread_join gives its claim back, so the thread
// it waited for can still detach itself or be joined by somebody else.
void unclaim_after_cancel(void* arg)
{
    static_cast<std::atomic<std::uint8_t>*>(arg)->store(UNCLAIMED, std::memory_order_release);
}

void join_claimed(pthread_t thread, std::atomic<std::uint8_t>* claimed)
{
    pthread_cleanup_push(unclaim_after_cancel, claimed);
    pthread_join(thread, nullptr);
    pthread_cleanup_pop(0);
}

// The thread has claimed itself and is a few instructions away from clearing
// `created`, its last access to the record.
void wait_self_release(const std::atomic<std::uint8_t>& created)
{
    while (created.load(std::memory_order_acquire))
        sched_yield();
}

// Only the two flags are touched: the plain fields are left to the owner, who
// clears them when it releases the record after its join, so no two threads
// ever write them.
void release_itself(std::atomic<std::uint8_t>& claimed, std::atomic<std::uint8_t>& created)
{
    std::uint8_t previous = UNCLAIMED;
    const bool detach = claimed.compare_exchange_strong(previous, BY_ITSELF, std::memory_order_acq_rel);
    created.store(0, std::memory_order_release);
    // From here on the record may already be gone.
    if (detach)
        pthread_detach(pthread_self());
}

} // namespace

Q_THREAD::~Q_THREAD()
{
    if (is_created()) {
        terminate();
        release();
    }
}

int Q_THREAD::start(Q_THREAD_ROUTINE routine, void* parameter, std::uint64_t stack)
{
    creation_flags |= STACK_SIZE_PARAM_IS_A_RESERVATION;
    stack_size = stack;
    auto* arg = new (std::nothrow) thread_start{routine, parameter, this};
    if (!arg)
        return ENOMEM;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    int rc = pthread_attr_setstacksize(&attr, static_cast<size_t>(stack_reservation(stack)));
    pthread_t thread{};
    if (rc == 0) {
        claimed.store(UNCLAIMED, std::memory_order_relaxed);
        rc = pthread_create(&thread, &attr, trampoline, arg);
    }
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete arg;
        return rc;
    }
    handle.store(static_cast<std::uintptr_t>(thread), std::memory_order_relaxed);
    thread_id = static_cast<std::uint32_t>(thread);
    // Published last: whoever sees `created` also sees the handle. A thread
    // that ends before this point finds its record not yet created and leaves
    // itself to be joined by the owner.
    created.store(1, std::memory_order_release);
    return 0;
}

void Q_THREAD::join()
{
    if (!created.load(std::memory_order_acquire))
        return;
    if (own_record == this)
        return;
    auto thread = static_cast<pthread_t>(handle.load(std::memory_order_relaxed));
    std::uint8_t previous = UNCLAIMED;
    if (claimed.compare_exchange_strong(previous, BY_OWNER, std::memory_order_acq_rel)) {
        join_claimed(thread, &claimed);
        return;
    }
    if (previous == BY_ITSELF)
        wait_self_release(created);
}

void Q_THREAD::terminate()
{
    if (!created.load(std::memory_order_acquire))
        return;
    if (own_record == this)
        return;
    auto thread = static_cast<pthread_t>(handle.load(std::memory_order_relaxed));
    std::uint8_t previous = UNCLAIMED;
    if (claimed.compare_exchange_strong(previous, BY_OWNER, std::memory_order_acq_rel)) {
        pthread_cancel(thread);
        join_claimed(thread, &claimed);
        return;
    }
    if (previous == BY_ITSELF)
        wait_self_release(created);
}

void Q_THREAD::release()
{
    if (!created.load(std::memory_order_acquire))
        return;
    if (own_record == this) {
        release_itself(claimed, created);
        return;
    }
    auto thread = static_cast<pthread_t>(handle.load(std::memory_order_relaxed));
    std::uint8_t previous = UNCLAIMED;
    if (claimed.compare_exchange_strong(previous, BY_OWNER, std::memory_order_acq_rel))
        pthread_detach(thread);
    else if (previous == BY_ITSELF)
        wait_self_release(created);
    stack_size = 0;
    creation_flags = 0;
    security_attributes = nullptr;
    thread_id = 0;
    handle.store(0, std::memory_order_relaxed);
    claimed.store(UNCLAIMED, std::memory_order_relaxed);
    created.store(0, std::memory_order_release);
}
