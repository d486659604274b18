// Q_TASK: one connection slot with its events, send halves, WebSocket and
// transport state, flags and its reader and writer threads.
#pragma once

#include "support/q_event.h"
#include "support/q_thread.h"
#include "websocket/q_ws.h"

#include <atomic>
#include <cstdint>

// One payload of a batch: the decoded frames of one read, handed to each
// receiver together. Raw and TLS receivers get data[0, length); WebSocket
// receivers get ws_data[0, ws_length), which for a raw sender holds whole
// characters only (a character its read cut is held back until its next
// read). ws_message: WebSocket receivers get a message even when it is
// empty (an empty frame from a WebSocket sender).
struct payload_ref {
    const std::uint8_t* data;
    std::uint64_t length;
    const std::uint8_t* ws_data;
    std::uint64_t ws_length;
    bool ws_message;
};

// A slot's connection states and the flags that mirror them (`so` is the
// socket of the slot's transport record):
//
// | state       | running | connected | active | so     | the slot                                     |
// |-------------|---------|-----------|--------|--------|----------------------------------------------|
// | ended       | 0       | any       | any    | any    | is not in use, or one of its threads ended   |
// | waiting     | 1       | 0         | 0      | any    | waits for its next connection                |
// | classifying | 1       | 1         | 0      | socket | classifies a new connection, runs handshakes |
// | relaying    | 1       | 1         | 1      | socket | takes part in the relay                      |
// | closing     | 1       | 1         | any    | none   | its connection was dropped (a failed send,   |
// |             |         |           |        |        | the end of the read, tear-down); the reader  |
// |             |         |           |        |        | is finishing with it                         |
enum class slot_state : std::uint8_t { ended, waiting, classifying, relaying, closing };

// The calls whose failure may be reported.
enum class failed_call : std::uint8_t { read, send };

// Whether a failed read or send of a slot is worth a line. An ordinary end
// is not: the client left (closed, reset, aborted, a broken pipe), or the
// hub itself had already dropped the connection (a closed socket, a TLS
// session gone), or the slot is ending. `state` is the slot's state when the
// failure is looked at; `error` the socket error (0: none).
bool worth_a_line(failed_call call, slot_state state, int error);

struct Q_TASK {
    // Payloads of one read collected before they are handed over; a read
    // with more frames is handed over in several batches.
    static constexpr std::uint32_t BATCH_MAX = 256;

    Q_EVENT start_r;
    Q_EVENT start_w;
    Q_EVENT data_ready;
    Q_EVENT buffer_free;
    std::atomic<std::int64_t> send_result{0};
    std::atomic<std::uint32_t> send_error{0};
    std::uint8_t fill_second = 0;
    std::uint8_t* send_base = nullptr;
    std::uint8_t* send_fill = nullptr;
    std::uint8_t* p_send = nullptr;
    std::uint64_t half_size = 0;
    std::uint64_t size_send = 0;
    q_ws_t ws;
    std::atomic<std::uint8_t> connected{0};
    std::atomic<std::uint8_t> active{0};
    std::atomic<std::uint8_t> running{0};
    // When the connection last moved a byte either way (steady_ms), for the
    // idle time-out; the reader and the writer both write it.
    std::atomic<std::int64_t> last_traffic_ms{0};
    Q_THREAD thread_r;
    Q_THREAD thread_w;
    std::uint32_t id = 0;
    std::uint8_t log_connections = 0;
    std::atomic<std::uint8_t> write{0};
    std::uint8_t* recv_buf = nullptr;
    payload_ref batch[BATCH_MAX] = {};

    enum class role { writer, reader };

    Q_TASK();
    Q_TASK(const Q_TASK&) = delete;
    Q_TASK& operator=(const Q_TASK&) = delete;
    ~Q_TASK();

    // The state the flags show now (each read relaxed: a snapshot).
    slot_state state() const;

    // Server: accept, classify, hand to the relay, repeat until stop.
    int accept_loop();
    // Reads the connection and broadcasts every packet to the other active slots.
    // `held`: bytes of the stream already at the start of recv_buf.
    std::uint32_t relay_loop(std::uint64_t held = 0);
    // The writer role (work_w, relay/writer.h) or the client-mode reader role.
    int work_loop(Q_EVENT& idle, role r);
    // One client-mode connection on this slot's reader thread.
    void serve_client_connection();
};

std::uint32_t bootstrap_r(void* slot);
std::uint32_t bootstrap_w(void* slot);
std::uint32_t bootstrap_p(void* tasks);

// How long a receiver may take none of what the hub sends it. Sent data
// that stays unacknowledged this long, also behind a window the receiver
// keeps closed, fails the connection (the user time-out): the writer's send
// fails, the connection is dropped, and the senders held up by its one
// hand-over in flight go on. So this is also about the longest one stalled
// client, or one that vanished without FIN or RST, can hold up the others.
// A slow client that keeps reading opens its window again and is served at
// its pace. The same time on the send itself (the send time-out) bounds a
// send that no byte leaves where the system has no user time-out.
inline constexpr std::uint32_t SEND_STALL_LIMIT_MS = 5000;

// The two socket option sets of accepted, listening and client sockets.
void apply_buffer_options(SOCKET so);
void apply_keepalive_options(SOCKET so);
