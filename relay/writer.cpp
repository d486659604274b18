#include "relay/writer.h"

#include "relay/engine_state.h"
#include "relay/q_access.h"
#include "relay/q_task.h"
#include "shell/console.h"
#include "support/sockets.h"

#include <cstring>

namespace {

void give_buffer_free(Q_TASK& x)
{
    if (x.buffer_free.is_valid())
        x.buffer_free.set();
}

} // namespace

hand_over_outcome hand_over_begin(Q_TASK& x)
{
    // A slot without a writer would never give buffer_free back: nothing is
    // handed to it.
    if (!load(x.write))
        return hand_over_outcome::no_writer;
    if (x.buffer_free.is_valid())
        x.buffer_free.wait();

    if (load(x.send_result) == -1) {
        give_buffer_free(x);
        const int e = static_cast<int>(load(x.send_error));
        if (worth_a_line(failed_call::send, x.state(), e))
            report_error(static_cast<std::uint32_t>(e), "!! send_packet() !! work_w() !! send(so, p_send, size_send, SO_SEND_FLAGS)");
        return hand_over_outcome::send_failed;
    }
    if (!x.active.load(std::memory_order_acquire) || x.ws.tls.so.load(std::memory_order_relaxed) == INVALID_SOCKET) {
        give_buffer_free(x);
        return hand_over_outcome::closed;
    }
    return hand_over_outcome::taken;
}

void hand_over_pass(Q_TASK& x, std::uint8_t* start, std::uint64_t size)
{
    x.p_send = start;
    x.size_send = size;
    // The halves switch before the writer is woken: once it has sent, it
    // gives buffer_free to the next sender, which reads send_fill at once.
    x.send_fill = x.fill_second ? x.send_base : x.send_base + x.half_size;
    x.fill_second = !x.fill_second;
    if (x.data_ready.is_valid())
        x.data_ready.set();
}

void hand_over_cancel(Q_TASK& x)
{
    give_buffer_free(x);
}

bool append_packet(Q_TASK& x, std::uint64_t& used, const payload_ref& packet, std::uint64_t& done)
{
    std::uint8_t* half = x.send_fill;
    if (!load(x.ws.upgraded)) {
        const std::uint64_t room = x.half_size - used;
        const std::uint64_t n = packet.length - done < room ? packet.length - done : room;
        if (n)
            std::memcpy(half + used, packet.data + done, n);
        used += n;
        done += n;
        return done == packet.length;
    }
    if (packet.ws_length == 0 && !packet.ws_message)
        return true;
    // As many complete frames as the payload needs: each ends where the
    // half would cut it (a text frame on a character boundary), the next
    // one goes on from there, in this half or the next.
    do {
        std::uint64_t taken = 0;
        const std::uint64_t size =
            x.ws.encode_part(half + used, x.half_size - used, packet.ws_data + done, packet.ws_length - done, &taken);
        if (size == 0)
            return used == 0;  // never fits this receiver (or no framing left): dropped for it
        used += size;
        done += taken;
    } while (done < packet.ws_length);
    return true;
}

bool send_packet(Q_TASK& x, const std::uint8_t* data, std::uint64_t length)
{
    const payload_ref packet{data, length, data, length, false};
    return send_packets(x, &packet, 1);
}

bool send_packets(Q_TASK& x, const payload_ref* packets, std::uint32_t count)
{
    bool queued = false;
    std::uint32_t i = 0;
    std::uint64_t done = 0;
    while (i < count) {
        if (hand_over_begin(x) != hand_over_outcome::taken)
            return queued;

        std::uint64_t used = 0;
        for (; i < count; ++i, done = 0) {
            if (!append_packet(x, used, packets[i], done))
                break;  // the half is full: hand it over, go on in the other
        }

        if (used == 0) {
            hand_over_cancel(x);
            return queued;
        }
        hand_over_pass(x, x.send_fill, used);
        queued = true;
    }
    return queued;
}

namespace {

// A frame the hub sends by itself, made by `make` in the half at send_fill
// (its length, 0 for none) and handed over alone: behind everything handed
// over before, never inside another frame.
template <typename Make>
bool send_own_frame(Q_TASK& x, Make make)
{
    if (hand_over_begin(x) != hand_over_outcome::taken)
        return false;
    const std::uint64_t size = make(x.send_fill, x.half_size);
    if (size == 0) {
        hand_over_cancel(x);
        return false;
    }
    hand_over_pass(x, x.send_fill, size);
    return true;
}

} // namespace

bool send_pong(Q_TASK& x, const std::uint8_t* payload, std::uint64_t n)
{
    return send_own_frame(x, [&](std::uint8_t* dst, std::uint64_t cap) { return x.ws.encode_pong(dst, cap, payload, n); });
}

bool send_close(Q_TASK& x, std::uint16_t code)
{
    if (!load(x.ws.upgraded))
        return false;
    const bool made =
        send_own_frame(x, [&](std::uint8_t* dst, std::uint64_t cap) { return x.ws.encode_close(dst, cap, code); });
    // Also when another thread's close came first: that one is sent too
    // before the caller ends the connection.
    wait_until_writer_idle(x);
    return made;
}

void serve_writes(Q_TASK& t)
{
    while (t.data_ready.is_valid()) {
        std::uint32_t w = t.data_ready.wait_status();
        if (w != 0 || !t.data_ready.is_valid())
            break;
        std::int64_t sent = t.ws.tls.send(t.p_send, t.size_send);
        // A send that fell short failed as much as one that returned -1.
        if (sent <= 0 || static_cast<std::uint64_t>(sent) != t.size_send) {
            int e = WSAGetLastError();
            if (e == 0)
                e = t.ws.tls.last_send_error.load(std::memory_order_relaxed);
            store(t.send_error, static_cast<std::uint32_t>(e));
            store(t.send_result, -1);
            // Closing the socket also ends this slot's read, so the reader
            // ends the connection.
            t.ws.tls.drop_connection();
        } else {
            store(t.send_result, sent);
            if (g_access.idle_seconds)
                t.last_traffic_ms.store(steady_ms(), std::memory_order_relaxed);
        }
        give_buffer_free(t);
    }
}

// A packet handed over before the connection ended may still be on its way
// through the writer. Once the writer has given buffer_free back it is idle,
// and since `active` is clear no new hand-over starts: nothing of this
// connection can reach the slot's next one, and a failing late send cannot
// drop the next connection.
void wait_until_writer_idle(Q_TASK& t)
{
    if (!load(t.write) || !t.buffer_free.is_valid())
        return;
    t.buffer_free.wait();
    give_buffer_free(t);
}
