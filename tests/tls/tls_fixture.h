// Test server parts for the TLS transport: a listening socket on 127.0.0.1,
// the transport record driven the way the accept path drives it, the test
// pattern, a count of freed SSL objects and the clients' command lines.
#pragma once

#include "support/sockets.h"
#include "tests/common/testkit.h"
#include "tls/q_tls.h"
#include "tls/q_tls_conn.h"

#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace tls_test {

using namespace std::chrono_literals;

// How long the handshake waits for the client's next flight, as in the
// accept path; and how long any other socket wait of a test may take.
constexpr std::uint32_t HANDSHAKE_TIMEOUT_MS = 500;
constexpr std::uint32_t DATA_TIMEOUT_MS = 15000;
constexpr auto CLIENT_LIMIT = 30s;

inline std::string source_dir()
{
    const char* root = std::getenv("RELAYHUB_SOURCE");
    if (root)
        return std::string(root) + "/tests/tls";
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/'));
}

inline std::string peer_script() { return source_dir() + "/tls_peer.py"; }

// The endless test pattern; tls_peer.py makes the same bytes.
inline std::uint8_t pattern_byte(std::uint64_t i) { return static_cast<std::uint8_t>(((i % 251) * 7 + 3) % 251); }

inline std::vector<std::uint8_t> pattern(std::uint64_t offset, std::size_t n)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = pattern_byte(offset + i);
    return v;
}

inline bool is_pattern(const std::uint8_t* p, std::size_t n, std::uint64_t offset)
{
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != pattern_byte(offset + i))
            return false;
    return true;
}

// A listening socket on 127.0.0.1; accept gives up after DATA_TIMEOUT_MS.
struct listener {
    SOCKET so = INVALID_SOCKET;
    std::uint16_t port = 0;

    bool open()
    {
        for (int attempt = 0; attempt < 20 && so == INVALID_SOCKET; ++attempt) {
            SOCKET s = ws2::socket(ws2::af_inet, ws2::sock_stream, ws2::ipproto_tcp);
            if (s == INVALID_SOCKET)
                return false;
            ws2::set_option(s, ws2::option::reuse_address, 1);
            ws2::address addr{};
            addr.ip = ws2::inet_addr("127.0.0.1");
            std::uint16_t p = testkit::free_port();
            addr.port = ws2::host_to_net16(p);
            if (ws2::bind(s, addr) == 0 && ws2::listen(s, 8) == 0) {
                ws2::set_recv_timeout(s, DATA_TIMEOUT_MS);
                so = s;
                port = p;
            } else {
                closesocket(s);
            }
        }
        return so != INVALID_SOCKET;
    }

    SOCKET accept_one() { return ws2::accept(so, nullptr, nullptr); }

    ~listener()
    {
        if (so != INVALID_SOCKET)
            closesocket(so);
    }
};

// The count of SSL objects freed among those watched: the library calls the
// free function of an ex_data index for every SSL object it frees.
inline void count_free(void*, void* counter, CRYPTO_EX_DATA*, int, long, void*)
{
    if (counter)
        static_cast<std::atomic<int>*>(counter)->fetch_add(1);
}

inline int free_watch_index()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, count_free);
    return index;
}

struct free_watch {
    std::atomic<int> frees{0};
    void watch(ssl_st* s) { SSL_set_ex_data(s, free_watch_index(), &frees); }
};

// The record with its handshake buffer, set up the way the engine sets up a
// slot, and the accept path's steps.
struct server_conn {
    q_tls_conn_t rec;
    std::vector<std::uint8_t> recv_buf;

    explicit server_conn(std::size_t p_recv_size = 4096) : recv_buf(p_recv_size)
    {
        rec.p_recv = recv_buf.data();
        rec.p_recv_size = recv_buf.size();
    }

    bool accept_plain(listener& l)
    {
        SOCKET so = l.accept_one();
        if (so == INVALID_SOCKET)
            return false;
        ws2::set_recv_timeout(so, DATA_TIMEOUT_MS);
        rec.so.store(so);
        return true;
    }

    // accept, start, accept_handshake with the accept path's time-out; the
    // handshake's result, or -2 when no client came or start failed.
    int accept_tls(listener& l)
    {
        SOCKET so = l.accept_one();
        if (so == INVALID_SOCKET)
            return -2;
        ws2::set_recv_timeout(so, HANDSHAKE_TIMEOUT_MS);
        rec.so.store(so);
        if (rec.start() != 0)
            return -2;
        int r = rec.accept_handshake();
        ws2::set_recv_timeout(so, DATA_TIMEOUT_MS);
        return r;
    }

    // Plaintext until `n` bytes have come, or the connection ends.
    bool recv_exact(std::uint8_t* dst, std::size_t n)
    {
        std::size_t got = 0;
        while (got < n) {
            std::int64_t r = rec.recv(dst + got, n - got);
            if (r <= 0)
                return false;
            got += static_cast<std::size_t>(r);
        }
        return true;
    }

    // Reads until the client closes; true when it did so within the data
    // time-out.
    bool wait_for_client_close()
    {
        std::uint8_t sink[4096];
        for (;;) {
            std::int64_t r = rec.recv(sink, sizeof(sink));
            if (r <= 0)
                return rec.last_recv_error.load() != ws2::error_timed_out;
        }
    }
};

// A Python client from tls_peer.py.
inline bool spawn_peer(testkit::child& c, const testkit::temp_dir& dir, std::uint16_t port,
                       const std::vector<std::string>& args, const std::string& log = "peer.log")
{
    // execv does not search PATH: outside ctest the interpreter needs its full name.
    std::string python = testkit::python();
    if (python.find('/') == std::string::npos)
        python = "/usr/bin/python3";
    std::vector<std::string> argv = {python, peer_script()};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--port");
    argv.push_back(std::to_string(port));
    return c.spawn(argv, "", dir.file(log));
}

// A shell command (an openssl client with its input) as a child process.
inline bool spawn_shell(testkit::child& c, const testkit::temp_dir& dir, const std::string& command,
                        const std::string& log = "shell.log")
{
    return c.spawn({"/bin/sh", "-c", command}, "", dir.file(log));
}

// A thread whose end a test waits for with a time-out. When the time runs
// out, `unblock` is called (it drops the connection the thread is blocked
// on) so the thread can still be joined.
struct bounded_thread {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread thread;

    explicit bounded_thread(std::function<void()> body)
        : thread([this, body = std::move(body)] {
              body();
              done.set_value();
          })
    {
    }

    bool join_within(std::chrono::milliseconds limit, const std::function<void()>& unblock)
    {
        bool in_time = finished.wait_for(limit) == std::future_status::ready;
        if (!in_time)
            unblock();
        thread.join();
        return in_time;
    }

    ~bounded_thread()
    {
        if (thread.joinable())
            thread.join();
    }
};

// Brings g_tls up with the PEM file, as config does at start-up.
inline bool load_server_pem(const std::string& pem)
{
    g_tls.teardown();
    testing::internal::CaptureStdout();
    g_tls.create_ctx();
    std::u16string name(pem.begin(), pem.end());
    int r = g_tls.load_cer(name.c_str(), name.c_str());
    std::string said = testing::internal::GetCapturedStdout();
    if (r != 0)
        ADD_FAILURE() << "load_cer failed: " << said;
    return r == 0;
}

} // namespace tls_test
