#include "relay/orderly_stop.h"

#include "relay/engine_state.h"
#include "relay/q_task.h"
#include "relay/writer.h"
#include "shell/console.h"
#include "support/sockets.h"

#include <chrono>
#include <thread>

Q_STOP g_stop;

namespace {

constexpr std::uint64_t STOP_STACK = 256 * 1024;
constexpr std::chrono::milliseconds POLL{10};
constexpr std::chrono::seconds GOODBYE_END_LIMIT{2};

void take_lock(Q_EVENT& e)
{
    if (e.is_valid())
        e.wait();
}

void give_lock(Q_EVENT& e)
{
    if (e.is_valid())
        e.set();
}

// Wakes the readers waiting in accept: a shut-down listening socket makes
// accept fail at once. Again on every pass, in case the run stored its
// socket after the stop had looked.
void shut_listening_socket(Q_STOP& s)
{
    SOCKET so = g_engine.so_listen.exchange(INVALID_SOCKET, std::memory_order_seq_cst);
    if (so == INVALID_SOCKET)
        return;
    ws2::shutdown(so, SD_BOTH);
    std::uint64_t earlier = s.listening.exchange(static_cast<std::uint64_t>(so), std::memory_order_acq_rel);
    if (earlier != ~0ull)
        closesocket(static_cast<SOCKET>(earlier));
}

// One connection's goodbye, on a thread of its own: a client that does not
// read holds up only its own.
std::uint32_t say_goodbye(void* slot)
{
    Q_TASK& t = *static_cast<Q_TASK*>(slot);
    if (!load(t.ws.upgraded) || !send_close(t, WS_CLOSE_GOING_AWAY))
        wait_until_writer_idle(t);
    (void)t.ws.tls.end_sending();
    // The last access to anything shared.
    g_stop.goodbyes_running.fetch_sub(1, std::memory_order_acq_rel);
    return 0;
}

bool any_connected(const Q_TASK* tasks, std::uint16_t n)
{
    for (std::uint16_t i = 0; i < n; ++i)
        if (load(tasks[i].connected))
            return true;
    return false;
}

// Starts the goodbye of every connection that relays and has not had one.
void start_goodbyes(Q_STOP& s, Q_TASK* tasks, std::uint16_t n)
{
    for (std::uint16_t i = 0; i < n; ++i) {
        Q_TASK& t = tasks[i];
        if (t.state() != slot_state::relaying || load(s.said[i]))
            continue;
        store(s.said[i], 1);
        s.goodbyes_running.fetch_add(1, std::memory_order_acq_rel);
        if (s.goodbye[i].start(say_goodbye, &t, STOP_STACK) != 0) {
            s.goodbyes_running.fetch_sub(1, std::memory_order_acq_rel);
            (void)t.ws.tls.end_sending();
        }
        // Detached at once: the stop waits for the count instead, so a
        // process that a second signal ends leaves no finished thread behind.
        s.goodbye[i].release();
    }
}

std::uint32_t run_stop(void* stop)
{
    Q_STOP& s = *static_cast<Q_STOP*>(stop);
    Q_TASK* tasks = g_engine.tasks.load(std::memory_order_acquire);
    const std::uint16_t n = load(g_engine.slot_count);
    // A SYN line still waiting for its kind is ended first.
    if (g_engine.line_open.exchange(0, std::memory_order_relaxed))
        out("\n");
    out(":: %s: no new connections; closing %d\n", s.stopped_by(), load(g_engine.active_count));

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Q_STOP::LIMIT_MS);
    while (std::chrono::steady_clock::now() < deadline) {
        shut_listening_socket(s);
        start_goodbyes(s, tasks, n);
        if (!any_connected(tasks, n))
            break;
        std::this_thread::sleep_for(POLL);
    }
    // Whoever is still connected now is cut; this also ends a goodbye that
    // waits for a writer stuck on a client that does not read.
    for (std::uint16_t i = 0; i < n; ++i)
        if (load(tasks[i].connected))
            tasks[i].ws.tls.drop_connection();
    // The drop makes every goodbye's waits end quickly.
    const auto limit = std::chrono::steady_clock::now() + GOODBYE_END_LIMIT;
    while (s.goodbyes_running.load(std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

} // namespace

Q_STOP::Q_STOP()
{
    (void)lock.create(true);
}

void Q_STOP::begin_serving()
{
    take_lock(lock);
    serving = 1;
    const bool early = requested.load(std::memory_order_acquire) != 0;
    give_lock(lock);
    // A stop requested before the run began serving ends it as it starts.
    if (early)
        store(g_engine.stop, 1);
}

void Q_STOP::end_serving()
{
    take_lock(lock);
    serving = 0;
    served = 1;
    give_lock(lock);
    controller.join();
    controller.release();
    std::uint64_t so = listening.exchange(~0ull, std::memory_order_acq_rel);
    if (so != ~0ull)
        closesocket(static_cast<SOCKET>(so));
}

Q_STOP::answer Q_STOP::request(const char* why)
{
    if (requested.exchange(1, std::memory_order_acq_rel) != 0)
        return answer::repeated;
    take_lock(lock);
    // Once the run has returned, it ended for a reason of its own.
    const bool over = served != 0;
    if (!over) {
        reason.store(why, std::memory_order_release);
        g_engine.stop.store(1, std::memory_order_seq_cst);
    }
    if (serving && controller.start(run_stop, this, STOP_STACK) != 0)
        shut_listening_socket(*this);
    give_lock(lock);
    return over ? answer::no_run : answer::stopping;
}

void Q_STOP::no_run_ahead()
{
    take_lock(lock);
    served = 1;
    give_lock(lock);
}
