// The writer side of a slot: how the readers of other slots hand packets to
// this slot's writer thread, and what the writer thread does with them.
//
// The hand-over protocol, all on the receiving slot's fields:
//
// | step | who                    | action                                                        |
// |------|------------------------|---------------------------------------------------------------|
// | 1    | sender (a reader)      | takes `buffer_free`: one sender at a time, only while the     |
// |      |                        | writer is idle; a failed last send or a closed connection     |
// |      |                        | gives it back at once (hand_over_begin)                       |
// | 2    | sender                 | writes into the half at `send_fill` (copied, or framed for    |
// |      |                        | WebSocket)                                                    |
// | 3    | sender                 | stores `p_send`/`size_send`, switches `send_fill` to the      |
// |      |                        | other half, signals `data_ready`; keeps `buffer_free`         |
// |      |                        | (hand_over_pass)                                              |
// | 4    | writer                 | wakes on `data_ready`, sends `size_send` bytes from `p_send`  |
// | 5    | writer                 | records `send_result`/`send_error` (a failed send drops the   |
// |      |                        | connection), then gives `buffer_free` back                    |
//
// So one hand-over per receiver is in flight, consecutive ones lie in
// alternating halves, and the writer is the only thread that sends on the
// connection. Whoever holds `buffer_free` owns `send_fill` and its half; the
// writer owns `p_send`/`size_send` from `data_ready` until it gives
// `buffer_free` back.
//
// Anything else meant for a slot's client (a frame the hub answers with
// itself) travels the same way: hand_over_begin, write the bytes into the
// half at `send_fill` (`half_size` bytes), hand_over_pass.
#pragma once

#include <cstdint>

struct Q_TASK;
struct payload_ref;

enum class hand_over_outcome {
    taken,        // the caller holds buffer_free and fills send_fill
    send_failed,  // the slot's last send failed (reported when worth a line)
    closed,       // the slot no longer relays or has no socket
    no_writer,    // the slot has no writer thread: nothing can be handed to it
};

// Step 1. Only `taken` leaves buffer_free with the caller.
hand_over_outcome hand_over_begin(Q_TASK& x);
// Step 3: the `size` bytes at `start` (inside the half at send_fill) go to
// the writer.
void hand_over_pass(Q_TASK& x, std::uint8_t* start, std::uint64_t size);
// Gives buffer_free back without handing anything over.
void hand_over_cancel(Q_TASK& x);

// Hands one packet to x's writer; true when it was queued.
bool send_packet(Q_TASK& x, const std::uint8_t* data, std::uint64_t length);
// Hands several packets over at once: each is copied or framed behind the
// previous one in the current half, so the writer sends them with one call.
// A batch that does not fit one half is handed over half by half. True when
// anything was queued.
bool send_packets(Q_TASK& x, const payload_ref* packets, std::uint32_t count);
// Appends one payload to x's half at `used`: framed for a WebSocket receiver,
// copied for the others. Null when it does not fit; otherwise the start of
// what was written, and `size` its length.
std::uint8_t* append_packet(Q_TASK& x, std::uint64_t used, const payload_ref& packet, std::uint64_t& size);

// The writer role: sends each hand-over until data_ready is released.
void serve_writes(Q_TASK& t);
// Returns once no hand-over to t is in flight.
void wait_until_writer_idle(Q_TASK& t);
