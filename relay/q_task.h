// Q_TASK: one connection slot with its events, send halves, WebSocket and
// transport state, flags and its reader and writer threads.
#pragma once

#include "support/q_event.h"
#include "support/q_thread.h"
#include "websocket/q_ws.h"

#include <atomic>
#include <cstdint>

// One payload of a batch: the decoded frames of one read, handed to each
// receiver together.
struct payload_ref {
    const std::uint8_t* data;
    std::uint64_t length;
};

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

    // Server: accept, classify, hand to the relay, repeat until stop.
    int accept_loop();
    // Reads the connection and broadcasts every packet to the other active slots.
    std::uint32_t relay_loop();
    // Hands one packet to this slot's writer; true when it was queued.
    bool send_packet(const std::uint8_t* data, std::uint64_t length);
    // Hands several packets over at once: each is copied or framed behind the
    // previous one in the current half, so the writer sends them with one
    // call. A batch that does not fit one half is handed over half by half.
    // True when anything was queued.
    bool send_packets(const payload_ref* packets, std::uint32_t count);
    // The writer role (work_w) or the client-mode reader role.
    int work_loop(Q_EVENT& idle, role r);
    std::uint8_t* append_packet(std::uint64_t used, const payload_ref& packet, std::uint64_t& size);
    // Returns once no hand-over to this slot is in flight.
    void wait_until_writer_idle();
    // The writer role: sends each packet handed over until data_ready ends.
    void serve_writes();
    // One client-mode connection on this slot's reader thread.
    void serve_client_connection();
};

std::uint32_t bootstrap_r(void* slot);
std::uint32_t bootstrap_w(void* slot);
std::uint32_t bootstrap_p(void* tasks);

// The two socket option sets of accepted, listening and client sockets.
void apply_buffer_options(SOCKET so);
void apply_keepalive_options(SOCKET so);
