#include "relay/q_task.h"

#include "relay/engine_state.h"
#include "relay/writer.h"
#include "shell/console.h"

Q_TASK::Q_TASK()
{
    data_ready.create(false);
    buffer_free.create(true);
    id = g_engine.next_id++;
}

slot_state Q_TASK::state() const
{
    if (!load(running))
        return slot_state::ended;
    if (!load(connected))
        return slot_state::waiting;
    if (ws.tls.so.load(std::memory_order_relaxed) == INVALID_SOCKET)
        return slot_state::closing;
    return load(active) ? slot_state::relaying : slot_state::classifying;
}

bool worth_a_line(failed_call call, slot_state state, int error)
{
    if (ws2::is_disconnect_error(error) || error == ws2::error_not_socket)
        return false;
    if (call == failed_call::send)
        // A send that failed inside TLS without a socket error is part of the
        // connection's end; the read that follows tells the cause.
        return error != 0;
    // A read on a connection this slot has dropped itself (its writer's send
    // failed, or the slot is ending) fails with whatever the closed socket or
    // TLS session gives, which says nothing about the client.
    return state != slot_state::ended && state != slot_state::closing;
}

int Q_TASK::work_loop(Q_EVENT& idle, role r)
{
    if (!load(running))
        return 0;
    // Once woken for a connection, a writer takes hand-overs from then on,
    // even when that connection is already over by the time it looks: a
    // packet handed over while the connection was active must still be
    // taken (its send fails), or buffer_free never comes back and the
    // slot's reader, and every reader sending to the slot, wait for ever.
    bool woken = false;
    for (;;) {
        const bool keep_serving = r == role::writer && woken && data_ready.is_valid();
        if (!keep_serving && (!load(connected) || ws.tls.so.load(std::memory_order_relaxed) == INVALID_SOCKET)) {
            std::uint32_t w = idle.wait_status();
            if (!idle.is_valid() || w != 0)
                return -1;
            woken = true;
        } else {
            if (r == role::writer)
                serve_writes(*this);
            else
                serve_client_connection();
            store(connected, 0);
            if (load(g_engine.stop))
                return 0;
        }
        if (!load(running))
            return 0;
    }
}

namespace {

// Stores INVALID_SOCKET first, so no other thread picks the socket up again,
// then shuts it down: that is what wakes the threads blocked in accept.
void close_listening_socket()
{
    SOCKET so = g_engine.so_listen.exchange(INVALID_SOCKET);
    if (so != INVALID_SOCKET) {
        ws2::shutdown(so, SD_BOTH);
        closesocket(so);
    }
}

} // namespace

Q_TASK::~Q_TASK()
{
    g_engine.next_id--;
    store(running, 0);
    store(active, 0);
    store(write, 0);
    recv_buf = nullptr;

    // The companion waits only for this release; once it has ended, nothing
    // is left for the process exit to terminate.
    if (id == 0) {
        g_engine.event_p.release();
        g_engine.thread_p.join();
    }

    ws.tls.drop_connection();

    start_r.release();
    start_w.release();
    data_ready.release();
    buffer_free.release();

    if (thread_r.is_created()) {
        if (load(connected)) {
            out(":: server_terminate_r(%2u)\n", id);
            thread_r.terminate();
        } else {
            close_listening_socket();
            thread_r.join();
        }
        thread_r.release();
    }
    if (thread_w.is_created()) {
        if (load(connected)) {
            out(":: server_terminate_w(%2u)\n", id);
            thread_w.terminate();
        } else {
            thread_w.join();
        }
        thread_w.release();
    }
}

std::uint32_t bootstrap_r(void* slot)
{
    Q_TASK* t = static_cast<Q_TASK*>(slot);
    if (t->start_r.is_valid()) {
        std::uint32_t w = t->start_r.wait_status();
        if (w == 0 && t->start_r.is_valid()) {
            if (load(g_engine.listen_mode))
                t->accept_loop();
            else
                t->work_loop(t->start_r, Q_TASK::role::reader);
        }
    }
    store(t->running, 0);

    // Wakes this slot's writer wherever it waits, and every other slot's
    // reader that waits to hand a packet to this slot.
    t->data_ready.release();
    t->buffer_free.release();
    t->start_w.release();

    t->ws.tls.drop_connection();
    if (t->thread_w.is_created())
        t->thread_w.join();
    t->thread_r.release();
    return 0;
}

std::uint32_t bootstrap_w(void* slot)
{
    Q_TASK* t = static_cast<Q_TASK*>(slot);
    if (load(g_engine.listen_mode)) {
        t->work_loop(t->start_w, Q_TASK::role::writer);
    } else if (t->start_w.is_valid()) {
        std::uint32_t w = t->start_w.wait_status();
        if (w == 0 && t->start_w.is_valid())
            t->work_loop(t->start_w, Q_TASK::role::writer);
    }
    store(t->running, 0);
    t->start_r.release();
    t->ws.tls.drop_connection();
    t->thread_w.release();
    return 0;
}

std::uint32_t bootstrap_p(void* tasks)
{
    Q_TASK* first = static_cast<Q_TASK*>(tasks);
    std::uint32_t w = 0;
    do {
        w = g_engine.event_p.wait_status();
    } while (load(first->running) && w == 0 && g_engine.event_p.is_valid());
    if (g_engine.thread_p.is_created())
        g_engine.thread_p.release();
    return 0;
}

void apply_buffer_options(SOCKET so)
{
    std::uint64_t length = load(g_engine.packet_length);
    std::uint64_t sndbuf = load(g_engine.sndbuf_size);
    ws2::set_option(so, ws2::option::recv_buffer, static_cast<int>(static_cast<std::uint32_t>(length)));
    ws2::set_option(so, ws2::option::send_buffer, static_cast<int>(static_cast<std::uint32_t>(sndbuf)));
    ws2::set_option(so, ws2::option::no_delay, 1);
    ws2::set_option(so, ws2::option::reuse_address, 1);
}

void apply_keepalive_options(SOCKET so)
{
    ws2::set_option(so, ws2::option::keep_alive, 1);
    ws2::set_option(so, ws2::option::keep_idle, 75);
    ws2::set_option(so, ws2::option::keep_interval, 75);
    ws2::set_option(so, ws2::option::keep_count, 8);
    ws2::set_option(so, ws2::option::user_timeout, static_cast<int>(SEND_STALL_LIMIT_MS));
    ws2::set_send_timeout(so, SEND_STALL_LIMIT_MS);
}
