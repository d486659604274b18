#include "relay/q_socket.h"

#include "relay/engine_state.h"
#include "relay/orderly_stop.h"
#include "relay/q_access.h"
#include "shell/console.h"
#include "support/process.h"
#include "tls/q_tls.h"

#include <cstring>

namespace {

constexpr std::uint64_t BUFFER_ALIGN = 4096;
constexpr std::uint64_t DATAGRAM_PACKET_MAX = 65112;
constexpr std::uint64_t DATAGRAM_BUFFER_UNIT = 65536;

} // namespace

packet_sizes normalise_packet_length(std::uint64_t requested, std::uint64_t unit, std::int32_t protocol)
{
    std::uint64_t length = requested;
    if (length == 0 || length > unit)
        length = unit;
    if (protocol != ws2::ipproto_tcp && length > DATAGRAM_PACKET_MAX)
        return {DATAGRAM_PACKET_MAX, DATAGRAM_BUFFER_UNIT};
    return {length, (length + BUFFER_ALIGN - 1) / BUFFER_ALIGN * BUFFER_ALIGN};
}

namespace {

// No -b, or -b 0.0.0.0: every interface of the machine.
bool listens_everywhere(const Q_CONFIG& cfg)
{
    std::uint32_t address = 0;
    const char* ip = cfg.addr_local_ip;
    return ip[0] == 0 || (parse_ipv4(ip, std::strlen(ip), address) && address == 0);
}

[[noreturn]] void fail_thread_start(int result, const char* text)
{
    report_error(static_cast<std::uint32_t>(result), text);
    exit_process(static_cast<std::uint32_t>(result));
}

} // namespace

Q_SOCKET::Q_SOCKET(int argc, char16_t** argv)
{
    ram.unit_size = Q_RAM::large_page_minimum(&ram.physical);
    ram.page_size = system_page_size();
    ram.allocation_granularity = system_page_size();

    ready = 0;
    if (cfg.config(argc, argv) != 0)
        return;
    ready = 1;
    set_runtime_locale();

    packet_sizes sizes = normalise_packet_length(cfg.packet_length_r, ram.unit_size, cfg.cso_protocol);
    cfg.packet_length_r = sizes.length;
    const std::uint64_t L = sizes.length;
    const std::uint64_t B = sizes.buffer_unit;
    const std::uint64_t U = ram.unit_size;
    const std::uint64_t n = cfg.cw_connections;

    ram.verbose = 1;
    ram.init((n * 3 * B + U - 1) / U);
    if (!ram.base)
        exit_process(1);

    store(g_engine.listen_mode, cfg.listen);
    store(g_engine.thread_stack_size, ram.allocation_granularity);
    g_engine.tasks.store(tasks, std::memory_order_release);
    store(g_engine.slot_count, cfg.cw_connections);
    store(g_engine.packet_length, L);
    store(g_engine.sndbuf_size, 2 * L);
    store(g_engine.stop, 0);
    store(g_engine.active_count, 0);
    store(g_engine.line_open, 0);
    store(g_engine.accept_short_at, 0);
    g_access = cfg.access;

    const std::uint64_t stack = load(g_engine.thread_stack_size);
    auto* base = static_cast<std::uint8_t*>(ram.base);
    for (std::uint64_t i = 0; i < n; ++i) {
        Q_TASK& t = tasks[i];
        t.log_connections = cfg.log_connections;
        store(t.write, cfg.write);
        t.recv_buf = base + 3 * B * i;
        t.send_base = t.recv_buf + B;
        t.send_fill = t.send_base;
        t.ws.tls.p_recv = t.recv_buf;
        t.ws.tls.p_recv_size = L;
        t.p_send = nullptr;
        t.fill_second = 0;
        t.half_size = L;
        store(t.running, 1);

        t.start_r.create(false);
        int r = t.thread_r.start(bootstrap_r, &t, stack);
        int w = 0;
        if (r == 0 && cfg.write) {
            t.start_w.create(false);
            w = t.thread_w.start(bootstrap_w, &t, stack);
        }
        if (r != 0)
            fail_thread_start(r, "CreateThread(NULL, 0, bootstrap_r/w, this, 0, NULL)");
        if (w != 0)
            fail_thread_start(w, "CreateThread(NULL, 0, bootstrap_r/w, this, 0, NULL)");
    }
    for (std::uint64_t i = n; i < SLOTS; ++i)
        store(tasks[i].running, 0);

    // A companion left over from an earlier engine of this process must be
    // gone before its event is made again.
    g_engine.thread_p.join();
    g_engine.event_p.create(false);
    int p = g_engine.thread_p.start(bootstrap_p, tasks, stack);
    if (p != 0)
        fail_thread_start(p, "CreateThread(NULL, 0, bootstrap_p, this, 0, NULL)");
}

Q_SOCKET::~Q_SOCKET()
{
    if (ready) {
        ready = 0;
        g_tls.teardown();
    }
    // The slots are destroyed next, from the last to the first, and the pool
    // last of all: a slot that is still connected may have a thread inside
    // its buffers until the slot's tear-down has ended it.
}

void Q_SOCKET::fill_addresses()
{
    addr_local = {};
    addr_remote = {};
    addr_local.port = ws2::host_to_net16(cfg.addr_local_port);
    addr_local.ip = cfg.addr_local_ip[0] ? ws2::inet_addr(cfg.addr_local_ip) : 0;
    addr_remote.port = ws2::host_to_net16(cfg.addr_remote_port);
    addr_remote.ip = ws2::inet_addr(cfg.addr_remote_ip);
}

int Q_SOCKET::run_server()
{
    SOCKET so = ws2::socket(ws2::af_inet, cfg.cso_type, cfg.cso_protocol);
    if (so == INVALID_SOCKET) {
        report_error(static_cast<std::uint32_t>(WSAGetLastError()), "socket(AF_INET, cso_type, cso_protocol)");
        return -1;
    }
    apply_buffer_options(so);

    if (listens_everywhere(cfg) && !g_access.restricts_peers())
        out(":: any address may connect and read the relay: restrict it with -b, -a or -o\n");
    out(":: bind(%s:%u)  ", cfg.addr_local_ip[0] ? cfg.addr_local_ip : "0.0.0.0", cfg.addr_local_port);
    if (ws2::bind(so, addr_local) != 0) {
        report_error(static_cast<std::uint32_t>(WSAGetLastError()),
                     "\nbind(so, (sockaddr *) &addr_local, sizeof(addr_local))");
        closesocket(so);
        return -1;
    }
    if (ws2::listen(so, cfg.cw_connections) != 0) {
        report_error(static_cast<std::uint32_t>(WSAGetLastError()), "listen(so, cw_connections)");
        closesocket(so);
        return -1;
    }
    bool tls_on = g_tls.enabled.load(std::memory_order_relaxed) != 0;
    out("RAW%s WS%s  max connections: %u\n:: waiting for client connection...\n\n",
        tls_on ? " TLS" : "", tls_on ? " WSS" : "", cfg.cw_connections);

    g_engine.so_listen.store(so);
    g_stop.begin_serving();
    for (std::uint32_t i = 0; i < cfg.cw_connections; ++i)
        tasks[i].start_r.set();
    for (std::uint32_t i = 0; i < cfg.cw_connections; ++i)
        if (tasks[i].thread_r.is_created())
            tasks[i].thread_r.join();
    g_stop.end_serving();
    return 0;
}
