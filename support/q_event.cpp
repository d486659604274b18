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

int init_object(Q_EVENT_OBJECT& object)
{
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
    return rc;
}

// Waits once on the condition variable; false when the time ran out.
bool wait_once(Q_EVENT_OBJECT* h, const timespec* deadline)
{
    h->waiters++;
    int rc = 0;
    pthread_cleanup_push(unlock_after_cancel, h);
    if (deadline)
        rc = pthread_cond_timedwait(&h->cond, &h->mutex, deadline);
    else
        rc = pthread_cond_wait(&h->cond, &h->mutex);
    pthread_cleanup_pop(0);
    h->waiters--;
    return rc != ETIMEDOUT;
}

} // namespace

int Q_EVENT::create(bool initially_signalled)
{
    if (handle.load(std::memory_order_relaxed))
        return 0;
    if (object.closed) {
        // Created and released before: a thread woken by that release may
        // still be leaving the mutex, so the objects are reused, never
        // initialised a second time.
        pthread_mutex_lock(&object.mutex);
        object.closed = 0;
        object.signalled = initially_signalled ? 1 : 0;
        pthread_mutex_unlock(&object.mutex);
    } else {
        int rc = init_object(object);
        if (rc != 0)
            return rc;
        object.signalled = initially_signalled ? 1 : 0;
        object.waiters = 0;
    }
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
    // Nobody waiting: the flag alone carries the signal and no wake-up call is
    // made, so a set on an idle event never enters the kernel. The signal is
    // given under the mutex: a woken waiter may end the record's life as soon
    // as it returns, and after the unlock this thread touches nothing more.
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
    const timespec* limit = milliseconds != INFINITE ? &deadline : nullptr;
    std::uint32_t result = 0;
    pthread_mutex_lock(&h->mutex);
    while (!h->signalled && !h->closed) {
        if (!wait_once(h, limit) && !h->signalled && !h->closed) {
            result = WAIT_TIMED_OUT;
            break;
        }
    }
    // A released event stays open for everybody; otherwise this waiter takes
    // the one signal (auto-reset).
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
    // Every waiter, not just one: each of them must see `valid` 0 and stop.
    pthread_cond_broadcast(&h->cond);
    pthread_mutex_unlock(&h->mutex);
}
