#include "relay/engine_state.h"
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

std::uint32_t Q_TASK::relay_loop(std::uint64_t held)
{
    const std::uint64_t L = load(g_engine.packet_length);
    std::uint64_t carried = 0;
    std::int64_t n = 0;

    // What classification read beyond an opening request, or a TLS client's
    // first data, goes first.
    if (held && !load(ws.upgraded)) {
        const payload_ref packet{recv_buf, held};
        broadcast(this, &packet, 1);
    } else if (held && relay_frames(*this, held, carried) == decoded::closed) {
        return 0;
    }

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
