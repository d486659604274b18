#include "relay/engine_state.h"
#include "relay/q_socket.h"
#include "shell/console.h"

namespace {

// Stops the slots from `first` to the last in use: each reader wakes, finds
// its slot not running and ends, and its end ends the slot's writer.
void stop_slots(Q_TASK* tasks, std::uint32_t first, std::uint32_t count)
{
    for (std::uint32_t i = first; i < count; ++i) {
        store(tasks[i].running, 0);
        tasks[i].start_r.set();
    }
}

} // namespace

int Q_SOCKET::run_client()
{
    out(":: connecting to server (%s:%u)\n", cfg.addr_remote_ip, cfg.addr_remote_port);
    store(g_engine.stop, 1);

    const std::uint32_t count = cfg.cw_connections;
    for (std::uint32_t i = 0; i < count; ++i) {
        SOCKET so = ws2::socket(ws2::af_inet, cfg.cso_type, cfg.cso_protocol);
        if (so == INVALID_SOCKET) {
            report_error(static_cast<std::uint32_t>(WSAGetLastError()), "socket(AF_INET, cso_type, cso_protocol)");
            return -1;
        }
        apply_buffer_options(so);
        apply_keepalive_options(so);
        addr_local.port = ws2::host_to_net16(cfg.addr_local_port);
        if (cfg.addr_local_port != 0)
            cfg.addr_local_port++;
        if (ws2::bind(so, addr_local) != 0) {
            report_error(static_cast<std::uint32_t>(WSAGetLastError()),
                         "\nbind(tasks[i]->so, (sockaddr *) &addr_local, sizeof(addr_local))");
            closesocket(so);
            return -1;
        }
        tasks[i].ws.tls.so.store(so);
    }

    std::uint32_t stop_from = count;
    for (std::uint32_t i = 0; i < count && stop_from == count; ++i) {
        Q_TASK& t = tasks[i];
        if (ws2::connect(t.ws.tls.so.load(), addr_remote) == 0) {
            store(t.connected, 1);
            t.start_r.set();
            continue;
        }
        int e = WSAGetLastError();
        switch (settle_failed_connect(i, e)) {
        case connect_outcome::next_slot:
            continue;
        case connect_outcome::stop_from_here:
            stop_from = i;
            break;
        case connect_outcome::give_up:
            return e;
        }
    }
    stop_slots(tasks, stop_from, count);

    for (std::uint32_t i = 0; i < count; ++i)
        tasks[i].start_w.set();
    for (std::uint32_t i = 0; i < count; ++i)
        if (tasks[i].thread_r.is_created())
            tasks[i].thread_r.join();
    return 0;
}

Q_SOCKET::connect_outcome Q_SOCKET::settle_failed_connect(std::uint32_t i, int e)
{
    Q_TASK& t = tasks[i];
    t.ws.tls.drop_connection();
    if (e == 0) {
        out(":: new_client(%u)  failed  %i\n\n", t.id, t.ws.tls.last_ssl_error.load());
        return connect_outcome::stop_from_here;
    }
    if (!cfg.log_connections)
        out(":: connect(%u) ", t.id);
    report_error(static_cast<std::uint32_t>(e), "connect(tasks[i]->so, (sockaddr *) &addr_remote, addr_remote_size)");
    if (e == WSAECONNABORTED) {
        // Neither connected nor stopped, its reader would wait for ever and
        // the final join with it: end this slot alone and try the next.
        stop_slots(tasks, i, i + 1);
        return connect_outcome::next_slot;
    }
    if (e == WSAECONNREFUSED)
        return connect_outcome::stop_from_here;
    return connect_outcome::give_up;
}

void Q_TASK::serve_client_connection()
{
    std::int32_t count = g_engine.active_count.fetch_add(1) + 1;
    if (log_connections)
        out(":: client_%02u.working  active %02u  %s\n", id, count,
            ws.tls.ssl.load(std::memory_order_relaxed) ? "TLS" : "RAW");
    relay_loop();
    ws.tls.drop_connection();
    std::int32_t left = g_engine.active_count.fetch_sub(1) - 1;
    if (log_connections)
        out(":: client_%02u.fin  active %02u\n", id, left);
}
