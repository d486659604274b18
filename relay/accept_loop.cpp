#include "relay/engine_state.h"
#include "relay/opening.h"
#include "relay/peer_slots.h"
#include "relay/q_access.h"
#include "relay/q_task.h"
#include "relay/writer.h"
#include "shell/console.h"
#include "tls/q_tls.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr std::uint32_t CLASSIFY_TIMEOUT_MS = 500;
constexpr std::uint64_t MIN_WEBSOCKET_PACKET = 256;
constexpr std::uint8_t TLS_HANDSHAKE_RECORD = 22;
constexpr std::uint8_t TLS_CLIENT_HELLO = 1;
// How long an accepting slot waits before it tries again when the process
// or the system is short of descriptors or memory.
constexpr auto ACCEPT_SHORTAGE_PAUSE = std::chrono::milliseconds(100);
constexpr std::int64_t SHORTAGE_OVER_MS = 2000;

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

// "GET " opens a request. A client that writes it a byte at a time is
// still sending one, so while its bytes so far begin "GET " and the next one
// comes within the classification window, the look goes on.
constexpr std::uint8_t GET_PREFIX[4] = {'G', 'E', 'T', ' '};
constexpr std::chrono::milliseconds PREFIX_POLL{10};

bool is_get_prefix(const std::uint8_t* data, std::uint64_t n)
{
    return n < sizeof(GET_PREFIX) && std::memcmp(data, GET_PREFIX, n) == 0;
}

bool begins_with_get(const std::uint8_t* data, std::uint64_t n)
{
    return n >= sizeof(GET_PREFIX) && std::memcmp(data, GET_PREFIX, sizeof(GET_PREFIX)) == 0;
}

bool plain_opens_with_get(Q_TASK& t, SOCKET so)
{
    std::uint8_t head[4] = {};
    int seen = 0;
    steady_time grew = std::chrono::steady_clock::now();
    for (;;) {
        int n = peek(t.ws.tls, so, head, sizeof(head));
        if (n <= 0)
            return false;
        if (begins_with_get(head, static_cast<std::uint64_t>(n)))
            return true;
        if (!is_get_prefix(head, static_cast<std::uint64_t>(n)))
            return false;
        const steady_time now = std::chrono::steady_clock::now();
        if (n > seen) {
            seen = n;
            grew = now;
        } else if (now - grew >= std::chrono::milliseconds(CLASSIFY_TIMEOUT_MS)) {
            return false;
        }
        std::this_thread::sleep_for(PREFIX_POLL);
    }
}

// A TLS client's first plaintext, read into recv_buf: one read, or more
// while what came so far begins "GET " (each within the classification
// window). The bytes read.
std::uint64_t read_first_plaintext(Q_TASK& t, std::uint64_t capacity)
{
    std::uint64_t held = 0;
    do {
        std::int64_t n = t.ws.tls.recv(t.recv_buf + held, capacity - held);
        if (n <= 0)
            break;
        held += static_cast<std::uint64_t>(n);
    } while (is_get_prefix(t.recv_buf, held));
    return held;
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

const char RESPONSE_403[] = "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
const char RESPONSE_408[] = "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
const char RESPONSE_431[] =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

// After a refusal the client may still be sending its request. Reading it
// away for a moment lets the connection end with an orderly close, so the
// refusal is not lost to a reset.
constexpr std::uint32_t DISCARD_QUIET_MS = 200;
constexpr std::chrono::milliseconds DISCARD_LIMIT{1000};

void refuse_opening(Q_TASK& t, SOCKET so, const char* response, std::uint64_t length)
{
    (void)t.ws.tls.send(response, length);
    ws2::set_recv_timeout(so, DISCARD_QUIET_MS);
    const steady_time end = std::chrono::steady_clock::now() + DISCARD_LIMIT;
    std::uint8_t sink[4096];
    while (std::chrono::steady_clock::now() < end && ws2::recv(so, sink, sizeof(sink), 0) > 0) {
    }
}

// The Origin a browser names must be one of -o's; a request without one
// does not come from a web page and is not affected.
bool origin_allowed(const opening_request& request)
{
    const char* value = nullptr;
    std::uint64_t length = 0;
    if (!g_access.origin_count || !request.header("Origin", value, length))
        return true;
    return g_access.admits_origin(value, length);
}

// What the opening leaves to the relay.
struct opening_result {
    bool relay;          // false: the connection is to be closed
    std::uint64_t held;  // bytes already read that belong to the client's stream
};

// Answers the complete opening request at the start of recv_buf. Whatever
// the client sent behind the request stays for the relay, moved to the
// start of the buffer: frames of an upgraded client, data of another.
opening_result answer_request(Q_TASK& t, SOCKET so, opening_request& request)
{
    // The request was the client's traffic: the idle time-out counts from here.
    t.last_traffic_ms.store(steady_ms(), std::memory_order_relaxed);
    if (!origin_allowed(request)) {
        out("\n\tWebSocket request from an Origin not allowed: answered 403\n");
        refuse_opening(t, so, RESPONSE_403, sizeof(RESPONSE_403) - 1);
        return {false, 0};
    }
    char c_header_server[q_ws_t::RESPONSE_SIZE] = {};
    // The handshake reads the request as NUL-terminated text; the byte the
    // NUL covers belongs to what follows and is put back.
    const std::uint8_t after = t.recv_buf[request.length];
    t.recv_buf[request.length] = 0;
    std::int64_t m = t.ws.handshake(reinterpret_cast<char*>(t.recv_buf), request.length, c_header_server);
    t.recv_buf[request.length] = after;
    const std::uint64_t rest = request.held - request.length;
    if (rest)
        std::memmove(t.recv_buf, t.recv_buf + request.length, rest);
    if (m <= 0) {
        out("\n\tInvalid or unsupported WebSocket handshake from the client!\n");
        return {true, rest};
    }
    if (t.ws.tls.send(c_header_server, static_cast<std::uint64_t>(m)) != m) {
        out("[%i] tls.send(c_header_server, c_header_server_size)\n", WSAGetLastError());
        return {true, rest};
    }
    t.ws.reset_scan();
    store(t.ws.upgraded, 1);
    return {true, rest};
}

// Reads a plain client's request when it opens with "GET ", and a TLS
// client's first plaintext: a request when it begins with "GET ", the
// client's first data otherwise, which is then relayed from its first byte.
// No byte of a request reaches another client: it is answered, refused
// (408, 431, 403) or, when it is no WebSocket handshake, dropped.
opening_result read_opening(Q_TASK& t, SOCKET so, steady_time deadline)
{
    const std::uint64_t L = load(g_engine.packet_length);
    if (!t.recv_buf || L < MIN_WEBSOCKET_PACKET)
        return {true, 0};
    opening_request request;
    request.buffer = t.recv_buf;
    request.capacity = L - 1;
    if (!t.ws.tls.ssl.load(std::memory_order_relaxed)) {
        if (!plain_opens_with_get(t, so))
            return {true, 0};
    } else {
        request.held = read_first_plaintext(t, L - 1);
        if (request.held)
            t.last_traffic_ms.store(steady_ms(), std::memory_order_relaxed);
        if (!begins_with_get(t.recv_buf, request.held))
            return {true, request.held};
    }
    t.ws.need_more = 0;
    t.ws.more_frames = 0;
    t.ws.fragmented = 0;

    switch (request.read(t.ws.tls, so, deadline)) {
    case opening_request::outcome::complete:
        return answer_request(t, so, request);
    case opening_request::outcome::too_large:
        out("\n\tOpening request longer than %llu bytes: answered 431\n",
            static_cast<unsigned long long>(request.capacity));
        refuse_opening(t, so, RESPONSE_431, sizeof(RESPONSE_431) - 1);
        return {false, 0};
    case opening_request::outcome::too_slow:
        out("\n\tOpening request not complete within %lld ms: answered 408\n",
            static_cast<long long>(OPENING_DEADLINE.count()));
        refuse_opening(t, so, RESPONSE_408, sizeof(RESPONSE_408) - 1);
        return {false, 0};
    case opening_request::outcome::closed:
        break;
    }
    return {false, 0};
}

std::uint32_t host_order(std::uint32_t network_ip)
{
    const auto* a = reinterpret_cast<const std::uint8_t*>(&network_ip);
    return (std::uint32_t{a[0]} << 24) | (std::uint32_t{a[1]} << 16) | (std::uint32_t{a[2]} << 8) | a[3];
}

// One connection-log line for a connection turned away at accept; an open
// SYN line of another connection is ended first, as a fin line would.
void print_refusal(const Q_TASK& t, const ws2::address& peer, const char* why, std::uint32_t count)
{
    if (!t.log_connections)
        return;
    if (load(g_engine.line_open)) {
        store(g_engine.line_open, 0);
        out("\n\n");
    }
    const auto* a = reinterpret_cast<const std::uint8_t*>(&peer.ip);
    // One output call for the whole line: refusals of several accepting
    // threads at once must not interleave their pieces.
    char reason[128];
    std::snprintf(reason, sizeof(reason), why, count);
    out(":: server_%02u.refused  %u.%u.%u.%u:%u  %s\n", t.id, a[0], a[1], a[2], a[3], ws2::net_to_host16(peer.port),
        reason);
}

// The accept-time checks of -a and -m. A connection they refuse is closed
// at once, before anything is read from it.
bool admit_peer(const Q_TASK& t, SOCKET so, const ws2::address& peer)
{
    const std::uint32_t ip = host_order(peer.ip);
    const char* why = nullptr;
    if (!g_access.admits_address(ip))
        why = "not an allowed address";
    else if (!g_peer_slots.take(t.id, ip, g_access.per_address_max))
        why = "this address holds %u connections already";
    if (!why)
        return true;
    closesocket(so);
    print_refusal(t, peer, why, g_access.per_address_max);
    return false;
}

// Every accepting slot meets the same shortage, again after each pause, and
// an accept may succeed in between on a descriptor another connection gave
// back: a shortage is reported once, and counts as over only when no accept
// has failed for a while.
bool starts_shortage()
{
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch()).count();
    const std::int64_t last = g_engine.accept_short_at.exchange(now, std::memory_order_relaxed);
    return last == 0 || now - last > SHORTAGE_OVER_MS;
}

void report_accept_failure(std::uint32_t id, SOCKET listening, const ws2::address& peer, int peer_size, int e)
{
    out("!! server %02u  accept(so_listen:%08llx, (sockaddr *) &addr_listen:%08llx, &addr_listen_size:%u)\n", id,
        static_cast<unsigned long long>(static_cast<std::uint32_t>(listening)),
        static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&peer)), static_cast<unsigned>(peer_size));
    report_error(static_cast<std::uint32_t>(e), nullptr);
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
            SOCKET listening = load(g_engine.so_listen);
            // Out of descriptors or memory: the listening socket is fine, and
            // the shortage passes as connections end. The connection waits
            // in the backlog meanwhile.
            if (listening != INVALID_SOCKET && ws2::is_accept_pause_error(e)) {
                if (starts_shortage())
                    report_accept_failure(id, listening, peer, peer_size, e);
                std::this_thread::sleep_for(ACCEPT_SHORTAGE_PAUSE);
                continue;
            }
            store(g_engine.stop, 1);
            store(running, 0);
            if (listening != INVALID_SOCKET)
                report_accept_failure(id, listening, peer, peer_size, e);
            return -1;
        }

        if (!admit_peer(*this, so, peer))
            continue;

        last_traffic_ms.store(steady_ms(), std::memory_order_relaxed);
        std::int32_t count = g_engine.active_count.fetch_add(1) + 1;
        store(connected, 1);
        const std::uint16_t slots = load(g_engine.slot_count);
        if (log_connections) {
            const auto* a = reinterpret_cast<const std::uint8_t*>(&peer.ip);
            out("\r:: SYN from %u.%u.%u.%u:%u  :: server_%02u.working  active %02u/%02u  ",
                a[0], a[1], a[2], a[3], ws2::net_to_host16(peer.port), id, count, slots);
            store(g_engine.line_open, 1);
        }

        const steady_time deadline = std::chrono::steady_clock::now() + OPENING_DEADLINE;
        apply_keepalive_options(so);
        ws2::set_recv_timeout(so, CLASSIFY_TIMEOUT_MS);
        ws.tls.so.store(so);

        opening_result opening{false, 0};
        if (set_up_tls(*this, so))
            opening = read_opening(*this, so, deadline);
        if (opening.relay) {
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
            relay_loop(opening.held);
        }

        ws.tls.drop_connection();
        g_peer_slots.release(id);
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
