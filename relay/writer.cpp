#include "relay/writer.h"

#include "relay/engine_state.h"
#include "relay/q_task.h"
#include "shell/console.h"
#include "support/sockets.h"

#include <cstring>

namespace {

// Bytes an RFC 6455 header takes in front of a payload of n bytes.
std::uint64_t header_size(std::uint64_t n)
{
    return n <= 125 ? 2 : n <= 65535 ? 4 : 10;
}

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

std::uint8_t* append_packet(Q_TASK& x, std::uint64_t used, const payload_ref& packet, std::uint64_t& size)
{
    std::uint8_t* half = x.send_fill;
    size = packet.length;
    if (!load(x.ws.upgraded)) {
        if (packet.length > x.half_size - used)
            return nullptr;
        std::memcpy(half + used, packet.data, packet.length);
        return half + used;
    }
    if (used == 0 || x.ws.version.load(std::memory_order_relaxed) < 13)
        return x.ws.encode(half + used, x.half_size - used, packet.data, &size);
    // encode writes its header right in front of the payload, which it puts
    // at a fixed head-room: start that far back, over the end of the frame
    // before (encode writes nothing ahead of the header), so this frame
    // follows it without a gap.
    const std::uint64_t back = q_ws_t::HEAD_ROOM - header_size(packet.length);
    return x.ws.encode(half + used - back, x.half_size - used + back, packet.data, &size);
}

bool send_packet(Q_TASK& x, const std::uint8_t* data, std::uint64_t length)
{
    const payload_ref packet{data, length};
    return send_packets(x, &packet, 1);
}

bool send_packets(Q_TASK& x, const payload_ref* packets, std::uint32_t count)
{
    bool queued = false;
    std::uint32_t i = 0;
    while (i < count) {
        if (hand_over_begin(x) != hand_over_outcome::taken)
            return queued;

        std::uint8_t* start = nullptr;
        std::uint64_t used = 0;
        for (; i < count; ++i) {
            if (packets[i].length == 0)
                continue;
            std::uint64_t size = 0;
            std::uint8_t* at = append_packet(x, used, packets[i], size);
            if (!at) {
                if (used == 0)
                    continue;  // never fits this receiver: dropped for it
                break;         // the half is full: hand it over, go on in the other
            }
            if (!start)
                start = at;
            used = static_cast<std::uint64_t>(at + size - x.send_fill);
        }

        if (!start) {
            hand_over_cancel(x);
            return queued;
        }
        hand_over_pass(x, start, static_cast<std::uint64_t>(x.send_fill + used - start));
        queued = true;
    }
    return queued;
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
