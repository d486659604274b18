#include "support/q_thread.h"

#include <cerrno>
#include <new>

namespace {

struct thread_start {
    Q_THREAD_ROUTINE routine;
    void* parameter;
};

void* trampoline(void* arg)
{
    thread_start start = *static_cast<thread_start*>(arg);
    delete static_cast<thread_start*>(arg);
    start.routine(start.parameter);
    return nullptr;
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
    auto* arg = new (std::nothrow) thread_start{routine, parameter};
    if (!arg)
        return ENOMEM;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    std::uint64_t size = stack < MIN_STACK_SIZE ? MIN_STACK_SIZE : stack;
    pthread_attr_setstacksize(&attr, static_cast<size_t>(size));
    claimed.store(0, std::memory_order_relaxed);
    pthread_t thread{};
    int rc = pthread_create(&thread, &attr, trampoline, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete arg;
        return rc;
    }
    handle.store(thread, std::memory_order_release);
    thread_id = static_cast<std::uint32_t>(thread);
    created.store(1, std::memory_order_release);
    return 0;
}

void Q_THREAD::join()
{
    if (!is_created())
        return;
    pthread_t thread = handle.load(std::memory_order_acquire);
    if (pthread_equal(thread, pthread_self()))
        return;
    if (claimed.exchange(1, std::memory_order_acq_rel) == 0)
        pthread_join(thread, nullptr);
}

void Q_THREAD::terminate()
{
    if (!is_created())
        return;
    pthread_t thread = handle.load(std::memory_order_acquire);
    if (pthread_equal(thread, pthread_self()))
        return;
    if (claimed.exchange(1, std::memory_order_acq_rel) == 0) {
        pthread_cancel(thread);
        pthread_join(thread, nullptr);
    }
}

void Q_THREAD::release()
{
    if (!is_created())
        return;
    pthread_t thread = handle.load(std::memory_order_acquire);
    if (claimed.exchange(1, std::memory_order_acq_rel) == 0)
        pthread_detach(thread);
    created.store(0, std::memory_order_release);
    stack_size = 0;
    creation_flags = 0;
    security_attributes = nullptr;
    thread_id = 0;
}
