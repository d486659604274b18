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
// Hands several packets over at once: each is copied, or framed in as many
// complete frames as it needs, behind the previous one in the current half,
// so the writer sends them with one call. A batch that does not fit one half
// is handed over half by half. True when anything was queued.
bool send_packets(Q_TASK& x, const payload_ref* packets, std::uint32_t count);
// Appends what is left of one payload (from `done`) to x's half at `used`:
// copied for a raw or TLS receiver, framed for a WebSocket receiver (its
// WebSocket view). Advances `used` and `done`; false when the half filled
// up before the payload was all in.
bool append_packet(Q_TASK& x, std::uint64_t& used, const payload_ref& packet, std::uint64_t& done);

// Frames the hub sends by itself go through the writer like data, in a
// hand-over of their own, after everything already handed over to x.
//
// A pong carrying a ping's payload (at most 125 bytes); false when none
// was handed over (not RFC 6455, the connection closed).
bool send_pong(Q_TASK& x, const std::uint8_t* payload, std::uint64_t n);
// Ends x's WebSocket framing with a close frame with `code` (hixie-76: its
// closing frame) and returns once the writer has sent it, flushed through
// TLS when the client uses it. Nothing is framed for x afterwards, and x's
// reader stops decoding (WS_ENDED); the caller then ends the connection.
// Any thread may call it (x's own reader, or one that stops the hub); false
// for a client without WebSocket framing or one already closed (it returns
// once the earlier close frame has been sent, too).
bool send_close(Q_TASK& x, std::uint16_t code);

// The writer role: sends each hand-over until data_ready is released.
void serve_writes(Q_TASK& t);
// Returns once no hand-over to t is in flight.
void wait_until_writer_idle(Q_TASK& t);
