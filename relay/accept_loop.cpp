#include "relay/engine_state.h"
#include "relay/q_task.h"
#include "relay/writer.h"
#include "shell/console.h"
#include "tls/q_tls.h"

#include <cstring>

namespace {

constexpr std::uint32_t CLASSIFY_TIMEOUT_MS = 500;
constexpr std::uint64_t MIN_WEBSOCKET_PACKET = 256;
constexpr std::uint8_t TLS_HANDSHAKE_RECORD = 22;
constexpr std::uint8_t TLS_CLIENT_HELLO = 1;

// Peeks at the first bytes without taking them; an interrupted call is made
// again, anything else (the 500 ms time-out included) ends the peek.
int peek(q_tls_conn_t& tls, SOCKET so, std::uint8_t* buffer, int length)
{
    for (;;) {
        int n = ws2::recv(so, buffer, length, ws2::msg_peek);
        if (n > 0)
            return n;
        int e = WSAGetLastError();
        tls.last_recv_error.store(e, std::memory_order_relaxed);
        if (!ws2::is_retry_error(e))
            return n;
        WSASetLastError(0);
    }
}

bool is_client_hello(const std::uint8_t* head, int n)
{
    return n == 6 && head[0] == TLS_HANDSHAKE_RECORD && head[5] == TLS_CLIENT_HELLO;
}

const char* connection_kind(const Q_TASK& t)
{
    bool tls = t.ws.tls.ssl.load(std::memory_order_relaxed) != nullptr;
    bool ws = load(t.ws.upgraded) != 0;
    if (tls && ws)
        return "WSS";
    if (tls)
        return "TLS";
    if (ws)
        return "WS";
    return "RAW";
}

// Brings up TLS when the client opens with a ClientHello. False when the
// connection is to be closed (no certificate, or the handshake failed).
bool set_up_tls(Q_TASK& t, SOCKET so)
{
    std::uint8_t head[6] = {};
    int n = peek(t.ws.tls, so, head, sizeof(head));
    if (!is_client_hello(head, n))
        return true;
    if (!g_tls.enabled.load(std::memory_order_relaxed))
        return false;
    if (t.ws.tls.start() != 0)
        return false;
    return t.ws.tls.accept_handshake() == 0;
}

// Answers a WebSocket opening handshake when the client sends one. The bytes
// read for the attempt are consumed whatever its outcome.
void try_websocket_upgrade(Q_TASK& t, SOCKET so)
{
    const std::uint64_t L = load(g_engine.packet_length);
    if (!t.recv_buf || L < MIN_WEBSOCKET_PACKET)
        return;
    if (!t.ws.tls.ssl.load(std::memory_order_relaxed)) {
        std::uint8_t head[4] = {};
        if (peek(t.ws.tls, so, head, sizeof(head)) != 4 || std::memcmp(head, "GET ", 4) != 0)
            return;
    }
    t.ws.need_more = 0;
    t.ws.more_frames = 0;
    t.ws.fragmented = 0;
    char c_header_server[q_ws_t::RESPONSE_SIZE] = {};

    std::int64_t n = t.ws.tls.recv(t.recv_buf, L - 1);
    if (n <= 0)
        return;
    t.recv_buf[n] = 0;
    std::int64_t m = t.ws.handshake(reinterpret_cast<char*>(t.recv_buf), static_cast<std::uint64_t>(n), c_header_server);
    if (m <= 0) {
        out("\n\tInvalid or unsupported WebSocket handshake from the client!\n");
        return;
    }
    if (t.ws.tls.send(c_header_server, static_cast<std::uint64_t>(m)) != m) {
        out("[%i] tls.send(c_header_server, c_header_server_size)\n", WSAGetLastError());
        return;
    }
    t.ws.reset_scan();
    store(t.ws.upgraded, 1);
}

} // namespace

int Q_TASK::accept_loop()
{
    for (;;) {
        if (load(g_engine.stop))
            return 0;

        // Each accepting thread keeps its own peer address, so the SYN line
        // always names the peer of this connection.
        ws2::address peer{};
        int peer_size = ws2::address_size;
        SOCKET so = ws2::accept(load(g_engine.so_listen), &peer, &peer_size);
        if (so == INVALID_SOCKET) {
            int e = WSAGetLastError();
            if (ws2::is_accept_retry_error(e))
                continue;
            if (load(g_engine.stop))
                return -1;
            store(g_engine.stop, 1);
            store(running, 0);
            SOCKET listening = load(g_engine.so_listen);
            if (listening != INVALID_SOCKET) {
                out("!! server %02u  accept(so_listen:%08llx, (sockaddr *) &addr_listen:%08llx, &addr_listen_size:%u)\n",
                    id, static_cast<unsigned long long>(static_cast<std::uint32_t>(listening)),
                    static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&peer)),
                    static_cast<unsigned>(peer_size));
                report_error(static_cast<std::uint32_t>(e), nullptr);
            }
            return -1;
        }

        std::int32_t count = g_engine.active_count.fetch_add(1) + 1;
        store(connected, 1);
        const std::uint16_t slots = load(g_engine.slot_count);
        if (log_connections) {
            const auto* a = reinterpret_cast<const std::uint8_t*>(&peer.ip);
            out("\r:: SYN from %u.%u.%u.%u:%u  :: server_%02u.working  active %02u/%02u  ",
                a[0], a[1], a[2], a[3], ws2::net_to_host16(peer.port), id, count, slots);
            store(g_engine.line_open, 1);
        }

        apply_keepalive_options(so);
        ws2::set_recv_timeout(so, CLASSIFY_TIMEOUT_MS);
        ws.tls.so.store(so);

        if (set_up_tls(*this, so)) {
            try_websocket_upgrade(*this, so);

            if (log_connections && g_engine.active_count.fetch_add(0) == count) {
                store(g_engine.line_open, 0);
                out("%s\n", connection_kind(*this));
            }
            ws2::set_recv_timeout(so, 0);
            store(send_result, 0);
            store(send_error, 0);
            // Release: a sender that sees the slot active also sees all the
            // set-up before, the socket's classification included.
            active.store(1, std::memory_order_release);
            start_w.set();
            relay_loop();
        }

        ws.tls.drop_connection();
        store(active, 0);
        wait_until_writer_idle(*this);
        store(connected, 0);
        store(ws.upgraded, 0);
        std::int32_t left = g_engine.active_count.fetch_sub(1) - 1;
        if (log_connections) {
            if (load(g_engine.line_open)) {
                store(g_engine.line_open, 0);
                out("\n\n");
            }
            out(":: server_%02u.fin  active %02u/%02u\n", id, left, slots);
        }
        if (load(g_engine.stop))
            return 0;
    }
}
