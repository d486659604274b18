#include "support/q_thread.h"

#include <new>
#include <windows.h>

// Who closes the thread handle is decided once, through `claimed`:
//   UNCLAIMED  nobody yet;
//   BY_OWNER   another thread joins it (join or terminate), or has let it go;
//   BY_ITSELF  the thread released its own record and closes its own handle.
// A thread releasing itself touches only `claimed`, `handle` and then
// `created`, and clearing `created` is its very last access to the record. A
// joiner that finds the thread's own claim waits for that last access, so the
// owner may free the record as soon as join returns.


namespace {

constexpr std::uint8_t UNCLAIMED = 0;
constexpr std::uint8_t BY_OWNER = 1;
constexpr std::uint8_t BY_ITSELF = 2;
constexpr std::uint64_t RESERVATION_UNIT = 64 * 1024;

struct thread_start {
    Q_THREAD_ROUTINE routine;
    void* parameter;
    const Q_THREAD* record;
};

thread_local const Q_THREAD* own_record = nullptr;

DWORD WINAPI trampoline(void* arg)
{
    thread_start start = *static_cast<thread_start*>(arg);
    delete static_cast<thread_start*>(arg);
    own_record = start.record;
    return start.routine(start.parameter);
}

std::uint64_t stack_reservation(std::uint64_t requested)
{
    std::uint64_t size = requested < Q_THREAD::MIN_STACK_SIZE ? Q_THREAD::MIN_STACK_SIZE : requested;
    return (size + RESERVATION_UNIT - 1) / RESERVATION_UNIT * RESERVATION_UNIT;
}

HANDLE handle_of(const std::atomic<std::uintptr_t>& handle)
{
    return reinterpret_cast<HANDLE>(handle.load(std::memory_order_relaxed));
}

void wait_self_release(const std::atomic<std::uint8_t>& created)
{
    while (created.load(std::memory_order_acquire))
        SwitchToThread();
}

// Waits for the thread the owner has claimed. A thread that released its
// own record while claimed left its handle to the owner, who closes it here,
// after the thread has ended.
void wait_for_claimed(std::atomic<std::uintptr_t>& handle, const std::atomic<std::uint8_t>& created)
{
    HANDLE thread = handle_of(handle);
    if (WaitForSingleObject(thread, INFINITE) == WAIT_FAILED)
        (void)GetLastError();
    if (!created.load(std::memory_order_acquire)) {
        handle.store(0, std::memory_order_relaxed);
        if (!CloseHandle(thread))
            (void)GetLastError();
    }
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
        return ERROR_NOT_ENOUGH_MEMORY;
    claimed.store(UNCLAIMED, std::memory_order_relaxed);
    DWORD id = 0;
    HANDLE thread = CreateThread(static_cast<LPSECURITY_ATTRIBUTES>(security_attributes),
                                 static_cast<SIZE_T>(stack_reservation(stack)), trampoline, arg, creation_flags, &id);
    if (!thread) {
        const DWORD error = GetLastError();
        delete arg;
        return static_cast<int>(error);
    }
    handle.store(reinterpret_cast<std::uintptr_t>(thread), std::memory_order_relaxed);
    thread_id = id;
    // Published last: whoever sees `created` also sees the handle. A thread
    // that ends before this point finds its record not yet created and leaves
    // its handle to the owner.
    created.store(1, std::memory_order_release);
    return 0;
}

void Q_THREAD::join()
{
    if (!created.load(std::memory_order_acquire))
        return;
    if (own_record == this)
        return;
    std::uint8_t previous = UNCLAIMED;
    if (claimed.compare_exchange_strong(previous, BY_OWNER, std::memory_order_acq_rel) || previous == BY_OWNER) {
        wait_for_claimed(handle, created);
        return;
    }
    wait_self_release(created);
}

void Q_THREAD::terminate()
{
    if (!created.load(std::memory_order_acquire))
        return;
    if (own_record == this)
        return;
    std::uint8_t previous = UNCLAIMED;
    if (claimed.compare_exchange_strong(previous, BY_OWNER, std::memory_order_acq_rel) || previous == BY_OWNER) {
        if (!TerminateThread(handle_of(handle), 1))
            (void)GetLastError();
        wait_for_claimed(handle, created);
        return;
    }
    wait_self_release(created);
}

void Q_THREAD::release()
{
    if (!created.load(std::memory_order_acquire))
        return;
    if (own_record == this) {
        std::uint8_t previous = UNCLAIMED;
        const bool close = claimed.compare_exchange_strong(previous, BY_ITSELF, std::memory_order_acq_rel);
        HANDLE thread = close ? handle_of(handle) : nullptr;
        created.store(0, std::memory_order_release);
        // From here on the record may already be gone.
        if (thread && !CloseHandle(thread))
            (void)GetLastError();
        return;
    }
    std::uint8_t previous = UNCLAIMED;
    if (claimed.compare_exchange_strong(previous, BY_OWNER, std::memory_order_acq_rel) || previous == BY_OWNER) {
        if (!CloseHandle(handle_of(handle)))
            (void)GetLastError();
    } else {
        wait_self_release(created);
    }
    stack_size = 0;
    creation_flags = 0;
    security_attributes = nullptr;
    thread_id = 0;
    handle.store(0, std::memory_order_relaxed);
    claimed.store(UNCLAIMED, std::memory_order_relaxed);
    created.store(0, std::memory_order_release);
}
