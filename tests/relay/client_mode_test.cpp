// Client mode: the slots connect out to a remote server from consecutive
// local ports, read what it sends, and the run returns when every
// connection has ended. A small server on 127.0.0.1 plays the remote side.

#include "relay/engine_state.h"
#include "relay/q_socket.h"
#include "shell/q_config.h"
#include "tests/common/testkit.h"

#include <arpa/inet.h>
#include <algorithm>
#include <memory>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The remote side. It lets its accept queue fill before it accepts anything:
// with a backlog of b the kernel queues b + 1 connections and drops the SYN
// of the next one. It then accepts what is queued, greets each connection and
// closes its listening socket, so the dropped connection's retried SYN is
// refused. A moment later it closes the accepted connections.
struct remote_server {
    int fd = -1;
    std::uint16_t port = 0;
    std::thread worker;
    std::vector<std::uint16_t> peer_ports;
    std::size_t bytes_received = 0;

    void start(int backlog)
    {
        // Non-blocking, so the accepting loop ends when the queue is empty.
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        socklen_t len = sizeof(a);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        ASSERT_EQ(::listen(fd, backlog), 0);
        worker = std::thread([this] { serve(); });
    }

    void serve()
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0)
            return;
        // The hub connects its slots one after another at once; let them queue.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::vector<int> conns;
        for (;;) {
            sockaddr_in peer{};
            socklen_t len = sizeof(peer);
            int c = ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK);
            if (c < 0)
                break;
            peer_ports.push_back(ntohs(peer.sin_port));
            conns.push_back(c);
        }
        ::close(fd);
        fd = -1;
        const char greeting[] = "hello from the remote side";
        for (int c : conns)
            (void)::send(c, greeting, sizeof(greeting), MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (int c : conns) {
            char buf[256];
            ssize_t n = ::recv(c, buf, sizeof(buf), MSG_DONTWAIT);
            if (n > 0)
                bytes_received += static_cast<std::size_t>(n);
            ::close(c);
        }
    }

    void finish()
    {
        if (worker.joinable())
            worker.join();
    }

    ~remote_server()
    {
        finish();
        if (fd >= 0)
            ::close(fd);
    }
};

// Four consecutive ports that can be bound right now.
std::uint16_t free_port_run(int count)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::uint16_t base = static_cast<std::uint16_t>(20000 + (::getpid() * 7 + attempt * 97) % 30000);
        bool all_free = true;
        for (int i = 0; i < count && all_free; ++i) {
            int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<std::uint16_t>(base + i));
            all_free = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
            ::close(s);
        }
        if (all_free)
            return base;
    }
    return 0;
}

struct client_run {
    std::string output;
    int result = 0;
    std::uint16_t local_port_after = 0;
};

// An engine in client mode against `remote_port`: the defaults are changed
// only while it is built, since the command line cannot clear `listen`.
std::unique_ptr<Q_SOCKET> client_engine(std::uint16_t remote_port, std::uint16_t connections,
                                        std::uint16_t local_port, std::uint8_t log_connections)
{
    Q_CONFIG saved = g_config_defaults;
    g_config_defaults.listen = 0;
    g_config_defaults.log_connections = log_connections;
    std::strcpy(g_config_defaults.addr_remote_ip, "127.0.0.1");
    g_config_defaults.addr_remote_port = remote_port;
    g_config_defaults.addr_local_port = local_port;
    g_config_defaults.cw_connections = connections;
    char16_t arg0[] = u"relayhub";
    char16_t* argv[] = {arg0, nullptr};
    auto engine = std::make_unique<Q_SOCKET>(1, argv);
    g_config_defaults = saved;
    engine->fill_addresses();
    return engine;
}

// Builds an engine in client mode and runs it to its end.
client_run run_client_mode(std::uint16_t remote_port, std::uint16_t connections, std::uint16_t local_port,
                           std::uint8_t log_connections)
{
    client_run run;
    testing::internal::CaptureStdout();
    {
        auto engine = client_engine(remote_port, connections, local_port, log_connections);
        EXPECT_EQ(engine->ready, 1);
        run.result = engine->run_client();
        run.local_port_after = engine->cfg.addr_local_port;
    }
    run.output = testing::internal::GetCapturedStdout();
    return run;
}

std::size_t count_of(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(ClientMode, EverySlotWorksOnceAndTheRunReturnsAfterTheLastClose)
{
    remote_server server;
    server.start(16);
    std::uint16_t base = free_port_run(4);
    ASSERT_NE(base, 0);

    client_run run = run_client_mode(server.port, 4, base, 1);

    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.output.find(":: connecting to server (127.0.0.1:" + std::to_string(server.port) + ")"),
              std::string::npos) << run.output;
    EXPECT_EQ(count_of(run.output, ".working  active"), 4u) << run.output;
    EXPECT_EQ(count_of(run.output, ":: client_"), 8u) << run.output;
    EXPECT_EQ(count_of(run.output, ".fin  active"), 4u) << run.output;
    for (int slot = 0; slot < 4; ++slot)
        EXPECT_NE(run.output.find(":: client_0" + std::to_string(slot) + ".fin"), std::string::npos);

    // Consecutive local ports, and the configured port advanced past them.
    server.finish();
    std::vector<std::uint16_t> ports = server.peer_ports;
    std::sort(ports.begin(), ports.end());
    ASSERT_EQ(ports.size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ports[i], base + i);
    EXPECT_EQ(run.local_port_after, base + 4);
    // What the remote side sent went nowhere, and nothing was sent to it.
    EXPECT_EQ(server.bytes_received, 0u);
}

TEST(ClientMode, RefusedThirdConnectionStopsTheRestAndWaitsForTheFirstTwo)
{
    remote_server server;
    server.start(1);  // queues two connections, drops the third
    client_run run = run_client_mode(server.port, 4, 0, 1);

    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.output.find(":: client_00.working"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(":: client_01.working"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find(":: client_02"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find(":: client_03"), std::string::npos) << run.output;
    EXPECT_EQ(count_of(run.output, ".fin  active"), 2u) << run.output;
    EXPECT_NE(run.output.find("connect(tasks[i]->so, (sockaddr *) &addr_remote, addr_remote_size)\n   ^ERROR: 111, "),
              std::string::npos) << run.output;
    // With per-connection logging on, the failed connect carries no prefix.
    EXPECT_EQ(run.output.find(":: connect("), std::string::npos) << run.output;
}

TEST(ClientMode, QuietRunPrefixesTheFailedConnectAndPrintsNoConnectionLines)
{
    remote_server server;
    server.start(0);  // queues one connection, drops the second
    client_run run = run_client_mode(server.port, 3, 0, 0);

    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.output.find(":: connect(1) connect(tasks[i]->so"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find(".working"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find(".fin"), std::string::npos) << run.output;
}

TEST(ClientMode, AbortedConnectEndsThatSlotAloneSoTheRunStillReturns)
{
    testing::internal::CaptureStdout();
    {
        auto engine = client_engine(9, 3, 0, 1);
        ASSERT_EQ(engine->ready, 1);
        EXPECT_EQ(engine->settle_failed_connect(1, WSAECONNABORTED), Q_SOCKET::connect_outcome::next_slot);
        // The slot's reader wakes, finds the slot ended and gives itself back;
        // the other slots still wait for their connections.
        Q_TASK& aborted = engine->tasks[1];
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (aborted.thread_r.is_created() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(aborted.thread_r.is_created());
        EXPECT_EQ(load(aborted.running), 0);
        EXPECT_TRUE(engine->tasks[0].thread_r.is_created());
        EXPECT_EQ(engine->settle_failed_connect(2, WSAECONNREFUSED), Q_SOCKET::connect_outcome::stop_from_here);
        EXPECT_EQ(engine->settle_failed_connect(2, EHOSTUNREACH), Q_SOCKET::connect_outcome::give_up);
    }
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find("connect(tasks[i]->so, (sockaddr *) &addr_remote, addr_remote_size)\n   ^ERROR: " +
                          std::to_string(WSAECONNABORTED)), std::string::npos) << output;
}
