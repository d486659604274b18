#include "support/q_event.h"

#include <cerrno>
#include <ctime>

namespace {

// A waiter cancelled inside pthread_cond_wait gets the mutex back before it
// unwinds; hand it on so a terminated thread never leaves the event locked.
void unlock_after_cancel(void* arg)
{
    auto* object = static_cast<Q_EVENT_OBJECT*>(arg);
    object->waiters--;
    pthread_mutex_unlock(&object->mutex);
}

timespec deadline_after(std::uint32_t milliseconds)
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += milliseconds / 1000;
    ts.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

} // namespace

int Q_EVENT::create(bool initially_signalled)
{
    if (handle.load(std::memory_order_relaxed))
        return 0;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int rc = pthread_mutex_init(&object.mutex, nullptr);
    if (rc == 0) {
        rc = pthread_cond_init(&object.cond, &attr);
        if (rc != 0)
            pthread_mutex_destroy(&object.mutex);
    }
    pthread_condattr_destroy(&attr);
    if (rc != 0)
        return rc;
    object.signalled = initially_signalled ? 1 : 0;
    object.closed = 0;
    object.waiters = 0;
    handle.store(&object, std::memory_order_release);
    valid.store(1, std::memory_order_relaxed);
    return 0;
}

void Q_EVENT::set()
{
    Q_EVENT_OBJECT* h = handle.load(std::memory_order_acquire);
    if (!h)
        return;
    pthread_mutex_lock(&h->mutex);
    h->signalled = 1;
    // Nobody waiting: the flag alone carries the signal, no wake-up call is made.
    if (h->waiters)
        pthread_cond_signal(&h->cond);
    pthread_mutex_unlock(&h->mutex);
}

std::uint32_t Q_EVENT::wait_status(std::uint32_t milliseconds)
{
    if (!is_valid())
        return WAIT_INVALID;
    Q_EVENT_OBJECT* h = handle.load(std::memory_order_acquire);
    if (!h)
        return WAIT_INVALID;
    timespec deadline{};
    if (milliseconds != INFINITE)
        deadline = deadline_after(milliseconds);
    std::uint32_t result = 0;
    pthread_mutex_lock(&h->mutex);
    while (!h->signalled && !h->closed) {
        h->waiters++;
        int rc = 0;
        pthread_cleanup_push(unlock_after_cancel, h);
        if (milliseconds == INFINITE)
            rc = pthread_cond_wait(&h->cond, &h->mutex);
        else
            rc = pthread_cond_timedwait(&h->cond, &h->mutex, &deadline);
        pthread_cleanup_pop(0);
        h->waiters--;
        if (rc == ETIMEDOUT && !h->signalled && !h->closed) {
            result = WAIT_TIMED_OUT;
            break;
        }
    }
    if (result == 0 && !h->closed)
        h->signalled = 0;
    pthread_mutex_unlock(&h->mutex);
    return result;
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
    Q_EVENT_OBJECT* h = handle.exchange(nullptr, std::memory_order_acq_rel);
    if (!h)
        return;
    pthread_mutex_lock(&h->mutex);
    h->closed = 1;
    h->signalled = 1;
    pthread_cond_broadcast(&h->cond);
    pthread_mutex_unlock(&h->mutex);
}
