#include "relay/engine_state.h"
#include "relay/q_task.h"
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
            x.send_packets(packets, count);
    }
}

enum class decoded { more_data, closed };

// Decodes every complete frame of the `held` bytes at the start of recv_buf
// and broadcasts their payloads, several frames per hand-over. An unfinished
// frame is moved to the start of the buffer (after the payloads before it
// have been handed over, since the move overwrites them) and its length kept
// in `carried` for the next read.
decoded relay_frames(Q_TASK& t, std::uint64_t held, std::uint64_t& carried)
{
    std::uint8_t* frame = t.recv_buf;
    std::uint32_t collected = 0;
    carried = 0;
    for (;;) {
        std::uint8_t* payload = nullptr;
        std::int64_t result = t.ws.decrypt(frame, held, &payload);
        if (result <= 0) {
            broadcast(&t, t.batch, collected);
            return decoded::closed;
        }
        if (t.ws.need_more) {
            broadcast(&t, t.batch, collected);
            if (frame > t.recv_buf && held)
                std::memmove(t.recv_buf, frame, held);
            carried = held;
            return decoded::more_data;
        }
        // A hixie-76 result counts the terminator's place: its payload is one
        // byte shorter, and the frame has one byte in front of the payload.
        const bool hixie = t.ws.version.load(std::memory_order_relaxed) < 13;
        const std::uint64_t span = static_cast<std::uint64_t>(result);
        if (span + (hixie ? 1 : 2) > held) {
            broadcast(&t, t.batch, collected);
            out("ws.decrypt returned size beyond msg_size_read  2 + %llu > %llu\n",
                static_cast<unsigned long long>(span), static_cast<unsigned long long>(held));
            return decoded::closed;
        }
        t.batch[collected++] = {payload, hixie ? span - 1 : span};
        if (collected == Q_TASK::BATCH_MAX) {
            broadcast(&t, t.batch, collected);
            collected = 0;
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

} // namespace

std::uint32_t Q_TASK::relay_loop()
{
    const std::uint64_t L = load(g_engine.packet_length);
    std::uint64_t carried = 0;
    std::int64_t n = 0;

    for (;;) {
        n = ws.tls.recv(recv_buf + carried, L - 1 - carried);
        if (n <= 0)
            break;
        if (!load(ws.upgraded)) {
            const payload_ref packet{recv_buf, static_cast<std::uint64_t>(n)};
            broadcast(this, &packet, 1);
            continue;
        }
        if (relay_frames(*this, static_cast<std::uint64_t>(n) + carried, carried) == decoded::closed)
            return 0;
    }

    // The read ended. An orderly close, a slot that is shutting down and a
    // peer that reset the connection are not worth a message.
    int e = WSAGetLastError();
    if (e == 0)
        e = ws.tls.last_recv_error.load(std::memory_order_relaxed);
    if (n == 0 || !load(running) || ws2::is_disconnect_error(e))
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

bool Q_TASK::send_packet(const std::uint8_t* data, std::uint64_t length)
{
    const payload_ref packet{data, length};
    return send_packets(&packet, 1);
}

namespace {

// A failed send to a client that went away, or whose connection this slot
// had already closed itself (a bad descriptor), or that failed inside TLS
// without a socket error, is part of a connection's end, not news.
bool worth_reporting(std::uint32_t error)
{
    const int e = static_cast<int>(error);
    return e != 0 && e != EBADF && !ws2::is_disconnect_error(e);
}

// Bytes an RFC 6455 header takes in front of a payload of n bytes.
std::uint64_t header_size(std::uint64_t n)
{
    return n <= 125 ? 2 : n <= 65535 ? 4 : 10;
}

} // namespace

// Appends one payload to the half at `used`: framed for a WebSocket receiver,
// copied for the others. Null when it does not fit; otherwise the start of
// what was written, and `size` its length.
std::uint8_t* Q_TASK::append_packet(std::uint64_t used, const payload_ref& packet, std::uint64_t& size)
{
    std::uint8_t* half = send_fill;
    size = packet.length;
    if (!load(ws.upgraded)) {
        if (packet.length > half_size - used)
            return nullptr;
        std::memcpy(half + used, packet.data, packet.length);
        return half + used;
    }
    if (used == 0 || ws.version.load(std::memory_order_relaxed) < 13)
        return ws.encode(half + used, half_size - used, packet.data, &size);
    // encode writes its header right in front of the payload, which it puts
    // at a fixed head-room: start that far back, over the end of the frame
    // before (encode writes nothing ahead of the header), so this frame
    // follows it without a gap.
    const std::uint64_t back = q_ws_t::HEAD_ROOM - header_size(packet.length);
    return ws.encode(half + used - back, half_size - used + back, packet.data, &size);
}

bool Q_TASK::send_packets(const payload_ref* packets, std::uint32_t count)
{
    // A slot without a writer would never give buffer_free back: what is
    // handed to it is dropped.
    if (!load(write))
        return false;
    bool queued = false;
    std::uint32_t i = 0;
    while (i < count) {
        if (buffer_free.is_valid())
            buffer_free.wait();

        if (load(send_result) == -1) {
            if (buffer_free.is_valid())
                buffer_free.set();
            std::uint32_t e = load(send_error);
            if (worth_reporting(e))
                report_error(e, "!! send_packet() !! work_w() !! send(so, p_send, size_send, SO_SEND_FLAGS)");
            return queued;
        }
        if (!active.load(std::memory_order_acquire) || ws.tls.so.load(std::memory_order_relaxed) == INVALID_SOCKET) {
            if (buffer_free.is_valid())
                buffer_free.set();
            return queued;
        }

        std::uint8_t* start = nullptr;
        std::uint64_t used = 0;
        for (; i < count; ++i) {
            if (packets[i].length == 0)
                continue;
            std::uint64_t size = 0;
            std::uint8_t* at = append_packet(used, packets[i], size);
            if (!at) {
                if (used == 0)
                    continue;  // never fits this receiver: dropped for it
                break;         // the half is full: hand it over, go on in the other
            }
            if (!start)
                start = at;
            used = static_cast<std::uint64_t>(at + size - send_fill);
        }

        if (!start) {
            if (buffer_free.is_valid())
                buffer_free.set();
            return queued;
        }
        p_send = start;
        size_send = static_cast<std::uint64_t>(send_fill + used - start);
        // The halves switch before the writer is woken: once it has sent, it
        // gives buffer_free to the next sender, which reads send_fill at once.
        send_fill = fill_second ? send_base : send_base + half_size;
        fill_second = !fill_second;
        if (data_ready.is_valid())
            data_ready.set();
        queued = true;
    }
    return queued;
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
                serve_writes();
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

void Q_TASK::serve_writes()
{
    while (data_ready.is_valid()) {
        std::uint32_t w = data_ready.wait_status();
        if (w != 0 || !data_ready.is_valid())
            break;
        std::int64_t sent = ws.tls.send(p_send, size_send);
        // A send that fell short failed as much as one that returned -1.
        if (sent <= 0 || static_cast<std::uint64_t>(sent) != size_send) {
            int e = WSAGetLastError();
            if (e == 0)
                e = ws.tls.last_send_error.load(std::memory_order_relaxed);
            store(send_error, static_cast<std::uint32_t>(e));
            store(send_result, -1);
            // Closing the socket also ends this slot's read, so the reader
            // ends the connection.
            ws.tls.drop_connection();
        } else {
            store(send_result, sent);
        }
        if (buffer_free.is_valid())
            buffer_free.set();
    }
}
