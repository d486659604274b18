#include "relay/engine_state.h"
#include "relay/q_access.h"
#include "relay/q_task.h"
#include "relay/writer.h"
#include "shell/console.h"
#include "support/sockets.h"

#include <cstring>

namespace {

// Hands packets to every other slot that takes part in the relay, in slot
// order; each hand-over waits until that slot's writer is free.
void broadcast(const Q_TASK* from, const payload_ref* packets, std::uint32_t count)
{
    if (count == 0)
        return;
    Q_TASK* tasks = g_engine.tasks.load(std::memory_order_acquire);
    const std::uint16_t slots = load(g_engine.slot_count);
    for (std::uint16_t i = 0; i < slots; ++i) {
        Q_TASK& x = tasks[i];
        if (&x != from && x.active.load(std::memory_order_acquire))
            send_packets(x, packets, count);
    }
}

enum class decoded { more_data, closed };

// How long an ending connection is read on after the hub's close frame, so
// that the client's close reply and anything still on its way are taken
// in rather than reset: closing a socket with unread data would reset the
// connection, and a reset can discard what was sent last.
constexpr std::uint32_t LINGER_MS = 1000;
constexpr std::uint32_t LINGER_STEP_MS = 250;

// After the close frame: no more sending (the client sees the end of the
// stream behind the close frame), then read whatever is left until the
// client closes too, falls silent for a step, or the time is up.
void linger_after_close(Q_TASK& t)
{
    const std::uint64_t L = load(g_engine.packet_length);
    t.ws.tls.linger(t.recv_buf, static_cast<std::int32_t>(L - 1), LINGER_STEP_MS, LINGER_MS);
}

// The line that tells why a client was let go for sending a message the
// hub cannot hold.
void log_too_big(const Q_TASK& t)
{
    if (!t.log_connections)
        return;
    if (load(g_engine.line_open)) {
        store(g_engine.line_open, 0);
        out("\n");
    }
    const std::uint64_t L = load(g_engine.packet_length);
    out(":: server_%02u  message of %llu bytes is larger than %llu bytes (-L %llu), closed with 1009\n", t.id,
        static_cast<unsigned long long>(t.ws.payload_size), static_cast<unsigned long long>(L - 1),
        static_cast<unsigned long long>(L));
}

// A decoder result that ends the connection: the close frame that says why
// goes to the client behind what is already queued for it.
void end_websocket(Q_TASK& t, std::int64_t result)
{
    std::uint16_t code = WS_CLOSE_PROTOCOL_ERROR;
    if (result == WS_ENDED)
        return;  // someone else closed it (the hub stops, an idle time-out)
    if (result == WS_CLOSE_RECEIVED)
        code = WS_CLOSE_NORMAL;
    if (result == WS_TOO_BIG) {
        code = WS_CLOSE_TOO_BIG;
        log_too_big(t);
    }
    if (send_close(t, code))
        linger_after_close(t);
}

// The idle time-out (-i): the socket's receive time-out is the idle limit,
// so a read that times out finds out whether the writer moved anything
// meanwhile. If so, the read waits on for the rest of the limit.
struct idle_watch {
    std::int64_t limit = 0;  // ms; 0: off
    bool shortened = false;  // the receive time-out is below the limit
    bool expired = false;

    // The time since the connection's last traffic (its arrival, at first)
    // already counts.
    explicit idle_watch(Q_TASK& t) : limit(idle_limit_ms())
    {
        if (!limit)
            return;
        const std::int64_t quiet = steady_ms() - t.last_traffic_ms.load(std::memory_order_relaxed);
        shortened = true;
        set_timeout(t, quiet >= limit ? 1 : limit - quiet);
    }

    void saw_traffic(Q_TASK& t)
    {
        if (!limit)
            return;
        t.last_traffic_ms.store(steady_ms(), std::memory_order_relaxed);
        if (shortened) {
            shortened = false;
            set_timeout(t, limit);
        }
    }

    // After a failed read: true when it only timed out and the connection
    // has not been idle for the whole limit, so the read is made again.
    bool waits_on(Q_TASK& t)
    {
        if (!limit || t.ws.tls.last_recv_error.load(std::memory_order_relaxed) != ws2::error_timed_out)
            return false;
        const std::int64_t quiet = steady_ms() - t.last_traffic_ms.load(std::memory_order_relaxed);
        if (quiet >= limit) {
            expired = true;
            return false;
        }
        t.ws.tls.last_recv_error.store(0, std::memory_order_relaxed);
        shortened = true;
        set_timeout(t, limit - quiet);
        return true;
    }

    static void set_timeout(Q_TASK& t, std::int64_t ms)
    {
        t.ws.tls.set_recv_timeout(static_cast<std::uint32_t>(ms));
    }
};

// An idle connection is let go with a line saying so; a WebSocket client
// is told with close 1001 (going away) behind what is queued for it.
void end_idle(Q_TASK& t)
{
    const bool websocket = load(t.ws.upgraded) != 0;
    if (t.log_connections) {
        if (load(g_engine.line_open)) {
            store(g_engine.line_open, 0);
            out("\n");
        }
        out(":: server_%02u  idle for %u s, closed%s\n", t.id, g_access.idle_seconds,
            websocket ? " with 1001" : "");
    }
    if (websocket && send_close(t, WS_CLOSE_GOING_AWAY))
        linger_after_close(t);
}

// Decodes every complete frame of the `held` bytes at the start of recv_buf
// and broadcasts their payloads, several frames per hand-over. An unfinished
// frame is moved to the start of the buffer (after the payloads before it
// have been handed over, since the move overwrites them) and its length kept
// in `carried` for the next read. A ping is answered through this slot's
// own writer; a pong needs nothing.
decoded relay_frames(Q_TASK& t, std::uint64_t held, std::uint64_t& carried)
{
    std::uint8_t* frame = t.recv_buf;
    std::uint32_t collected = 0;
    carried = 0;
    for (;;) {
        std::uint8_t* payload = nullptr;
        std::int64_t result = t.ws.decrypt(frame, held, &payload);
        if (result < 0) {
            broadcast(&t, t.batch, collected);
            end_websocket(t, result);
            return decoded::closed;
        }
        if (t.ws.need_more) {
            broadcast(&t, t.batch, collected);
            if (frame > t.recv_buf && held)
                std::memmove(t.recv_buf, frame, held);
            carried = held;
            return decoded::more_data;
        }
        // The payload, and its NUL, lie within the bytes held.
        const std::uint64_t span = static_cast<std::uint64_t>(result);
        const std::uint64_t in_front = static_cast<std::uint64_t>(payload - frame);
        if (in_front + t.ws.payload_size > held) {
            broadcast(&t, t.batch, collected);
            out("ws.decrypt returned size beyond msg_size_read  2 + %llu > %llu\n",
                static_cast<unsigned long long>(span), static_cast<unsigned long long>(held));
            return decoded::closed;
        }
        const std::uint64_t size = t.ws.payload_size;
        if (t.ws.frame_opcode == WS_OP_PING) {
            broadcast(&t, t.batch, collected);
            collected = 0;
            send_pong(t, payload, size);
        } else if (t.ws.frame_opcode != WS_OP_PONG) {
            t.batch[collected++] = {payload, size, payload, size, true};
            if (collected == Q_TASK::BATCH_MAX) {
                broadcast(&t, t.batch, collected);
                collected = 0;
            }
        }
        if (!t.ws.more_frames) {
            broadcast(&t, t.batch, collected);
            return decoded::more_data;
        }
        std::uint8_t* next = payload + span;
        held -= static_cast<std::uint64_t>(next - frame);
        frame = next;
    }
}

// A raw or TLS sender's read: raw receivers get all of it, WebSocket
// receivers whole characters (a character the read cut waits for the
// sender's next read).
void relay_raw(Q_TASK& t, std::uint8_t* data, std::uint64_t n)
{
    const std::uint8_t* whole = nullptr;
    const std::uint64_t whole_length = t.ws.held_back.wrap(data, n, &whole);
    const payload_ref packet{data, n, whole, whole_length, false};
    broadcast(&t, &packet, 1);
}

// At a raw sender's end, what it held back goes to its WebSocket receivers
// on its own.
void release_held_back(Q_TASK& t)
{
    const std::uint8_t* rest = nullptr;
    const std::uint64_t n = t.ws.held_back.release(&rest);
    if (n == 0)
        return;
    const payload_ref packet{rest, 0, rest, n, false};
    broadcast(&t, &packet, 1);
}

} // namespace

std::uint32_t Q_TASK::relay_loop(std::uint64_t held)
{
    const std::uint64_t L = load(g_engine.packet_length);
    std::uint64_t carried = 0;
    std::int64_t n = 0;
    // A frame longer than the buffer could never complete: the decoder
    // refuses it as soon as its header says so.
    ws.frame_limit = L - 1;
    ws.held_back.clear();
    // A raw sender's reads leave room in front for the character the read
    // before cut.
    const std::uint64_t front = load(ws.upgraded) ? 0 : q_utf8_hold_t::ROOM;

    // The classification's peeks and reads ended on their time-outs; what
    // they left is no cause of any failure of the relay.
    ws.tls.last_recv_error.store(0, std::memory_order_relaxed);

    // What classification read beyond an opening request, or a TLS client's
    // first data, goes first.
    // Nothing is held back yet, so these bytes need no room in front.
    if (held && !load(ws.upgraded)) {
        relay_raw(*this, recv_buf, held);
    } else if (held && relay_frames(*this, held, carried) == decoded::closed) {
        return 0;
    }

    idle_watch idle(*this);
    for (;;) {
        n = ws.tls.recv(recv_buf + front + carried, L - 1 - front - carried);
        if (n <= 0) {
            if (idle.waits_on(*this))
                continue;
            break;
        }
        idle.saw_traffic(*this);
        if (!load(ws.upgraded)) {
            relay_raw(*this, recv_buf + front, static_cast<std::uint64_t>(n));
            continue;
        }
        if (relay_frames(*this, static_cast<std::uint64_t>(n) + carried, carried) == decoded::closed)
            return 0;
    }
    if (!load(ws.upgraded))
        release_held_back(*this);
    if (idle.expired) {
        end_idle(*this);
        return 0;
    }

    // The read ended. An orderly close is not worth a message, nor any end
    // worth_a_line calls ordinary.
    int e = WSAGetLastError();
    if (e == 0)
        e = ws.tls.last_recv_error.load(std::memory_order_relaxed);
    if (n == 0 || !worth_a_line(failed_call::read, state(), e))
        return 0;
    if (e != 0) {
        out("\n!! recv(%u)\n", id);
        report_error(static_cast<std::uint32_t>(e), "");
        return static_cast<std::uint32_t>(e);
    }
    std::int32_t ssl_error = ws.tls.last_ssl_error.load(std::memory_order_relaxed);
    if (ssl_error != 0)
        out("\n!! recv(%u)  TLS error %i\n", id, ssl_error);
    return 0;
}
