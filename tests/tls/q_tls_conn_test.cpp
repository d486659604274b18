// The transport record against real clients on 127.0.0.1: openssl s_client
// and Python's ssl (tls_peer.py), with certificates made by openssl.
#include "tests/tls/tls_fixture.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>

#include <cstdio>
#include <cstring>

namespace {

using namespace tls_test;

// A server certificate for the whole suite; g_tls carries it.
class TlsConn : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        certs_ = new testkit::temp_dir();
        ASSERT_TRUE(testkit::make_pem(certs_->file("server.pem")));
    }

    static void TearDownTestSuite()
    {
        g_tls.teardown();
        delete certs_;
        certs_ = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(load_server_pem(pem_file()));
        ASSERT_TRUE(server.open());
    }

    virtual std::string pem_file() const { return certs_->file("server.pem"); }

    static testkit::temp_dir* certs_;
    testkit::temp_dir logs;
    listener server;
};

testkit::temp_dir* TlsConn::certs_ = nullptr;

std::string said(const testkit::child& c) { return c.output(); }

// Reads "ping\n" and answers "pong\n": the server side of the ping mode and
// of the s_client runs.
bool answer_ping(server_conn& sc)
{
    std::string got;
    char buffer[256];
    while (got.find('\n') == std::string::npos) {
        std::int64_t n = sc.rec.recv(buffer, sizeof(buffer));
        if (n <= 0)
            return false;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got == "ping\n" && sc.rec.send("pong\n", 5) == 5;
}

// The record holds no session and no socket, and nothing of a session is
// left to free.
void expect_idle(const q_tls_conn_t& rec)
{
    EXPECT_EQ(rec.ssl.load(), nullptr);
    EXPECT_EQ(rec.session.load(), nullptr);
    EXPECT_EQ(rec.refs.load(), 0);
    EXPECT_EQ(rec.so.load(), INVALID_SOCKET);
}

// Waits (bounded) until `done` holds.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// --- Handshakes -------------------------------------------------------------

struct handshake_case {
    const char* name;
    bool s_client;
    const char* version;  // "1.2" or "1.3"
    // What the client must report: the version and the cipher the server prefers.
    const char* expect;
};

class TlsHandshake : public TlsConn, public testing::WithParamInterface<handshake_case> {};

TEST_P(TlsHandshake, CompletesWithASelfSignedCertificateAndCarriesData)
{
    const handshake_case& c = GetParam();
    testkit::child client;
    if (c.s_client) {
        std::string flag = std::string("-tls1_") + c.version[2];
        ASSERT_TRUE(spawn_shell(client, logs,
                                "printf 'ping\\n' | timeout 20 openssl s_client -connect 127.0.0.1:" +
                                    std::to_string(server.port) + " " + flag + " -ign_eof 2>&1"));
    } else {
        ASSERT_TRUE(spawn_peer(client, logs, server.port, {"ping", "--tls", c.version}));
    }
    server_conn sc;
    ASSERT_EQ(sc.accept_tls(server), 0) << said(client);
    EXPECT_EQ(sc.rec.last_ssl_error.load(), SSL_ERROR_NONE);
    EXPECT_TRUE(answer_ping(sc)) << said(client);
    sc.rec.drop_connection();

    EXPECT_GE(client.wait_exit(CLIENT_LIMIT), 0);
    std::string out = said(client);
    EXPECT_NE(out.find(c.expect), std::string::npos) << out;
    EXPECT_NE(out.find("pong"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Clients, TlsHandshake,
    testing::Values(
        handshake_case{"s_client_tls12", true, "1.2", "New, TLSv1.2, Cipher is ECDHE-RSA-CHACHA20-POLY1305"},
        handshake_case{"s_client_tls13", true, "1.3", "New, TLSv1.3, Cipher is TLS_CHACHA20_POLY1305_SHA256"},
        handshake_case{"python_tls12", false, "1.2", "handshake ok TLSv1.2 ECDHE-RSA-CHACHA20-POLY1305"},
        handshake_case{"python_tls13", false, "1.3", "handshake ok TLSv1.3 TLS_CHACHA20_POLY1305_SHA256"}),
    [](const testing::TestParamInfo<handshake_case>& info) { return std::string(info.param.name); });

struct refused_case {
    const char* name;
    bool s_client;
};

class TlsRefused : public TlsConn, public testing::WithParamInterface<refused_case> {};

// The client offers TLS 1.1 only; the server's floor is TLS 1.2. A library
// failure (not a socket failure) shows the ClientHello did arrive, and the
// client is told why with an alert.
TEST_P(TlsRefused, Tls11ClientIsRefusedWithAnAlert)
{
    testkit::child client;
    if (GetParam().s_client) {
        ASSERT_TRUE(spawn_shell(client, logs,
                                "timeout 20 openssl s_client -connect 127.0.0.1:" + std::to_string(server.port) +
                                    " -tls1_1 -cipher 'DEFAULT:@SECLEVEL=0' </dev/null 2>&1"));
    } else {
        ASSERT_TRUE(spawn_peer(client, logs, server.port, {"ping", "--tls", "1.1"}));
    }
    server_conn sc;
    EXPECT_EQ(sc.accept_tls(server), -1);
    EXPECT_EQ(sc.rec.last_ssl_error.load(), SSL_ERROR_SSL);
    sc.rec.drop_connection();

    EXPECT_GE(client.wait_exit(CLIENT_LIMIT), 0);
    std::string out = said(client);
    EXPECT_NE(out.find("alert protocol version"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Clients, TlsRefused,
                         testing::Values(refused_case{"s_client", true}, refused_case{"python", false}),
                         [](const testing::TestParamInfo<refused_case>& info) { return std::string(info.param.name); });

TEST_F(TlsConn, ClientHelloThenSilenceEndsAtTheReceiveTimeOut)
{
    testkit::child client;
    ASSERT_TRUE(spawn_peer(client, logs, server.port, {"hello-only"}));
    server_conn sc;
    EXPECT_EQ(sc.accept_tls(server), -1);
    // The socket gave up, not the library.
    EXPECT_EQ(sc.rec.last_ssl_error.load(), 0);
    EXPECT_EQ(sc.rec.last_recv_error.load(), ws2::error_timed_out);
    sc.rec.drop_connection();
    expect_idle(sc.rec);

    EXPECT_EQ(client.wait_exit(CLIENT_LIMIT), 0) << said(client);
    EXPECT_NE(said(client).find("closed"), std::string::npos);
}

TEST_F(TlsConn, HandshakeWithoutReceiveBufferIsRefused)
{
    testkit::child client;
    ASSERT_TRUE(spawn_peer(client, logs, server.port, {"hello-only"}));
    server_conn sc;
    sc.rec.p_recv = nullptr;
    testing::internal::CaptureStdout();
    EXPECT_EQ(sc.accept_tls(server), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "p_recv or p_recv_size not set\n");
    // The handshake's reference was given back: only the connection's own is left.
    EXPECT_EQ(sc.rec.refs.load(), 1);
    sc.rec.drop_connection();
    expect_idle(sc.rec);
    EXPECT_EQ(client.wait_exit(CLIENT_LIMIT), 0) << said(client);
}

TEST_F(TlsConn, StartWithoutAServerContextFails)
{
    testkit::child client;
    ASSERT_TRUE(spawn_peer(client, logs, server.port, {"hello-only"}));
    g_tls.teardown();
    server_conn sc;
    EXPECT_EQ(sc.accept_tls(server), -2);
    EXPECT_EQ(sc.rec.ssl.load(), nullptr);
    sc.rec.drop_connection();
    expect_idle(sc.rec);
    EXPECT_EQ(client.wait_exit(CLIENT_LIMIT), 0) << said(client);
}

// --- A server flight larger than the handshake buffer ----------------------

// A chain of a 4096-bit leaf (with many names) and two intermediates: the
// first flight is well over 4 KB. The client checks the chain against the
// root, so every certificate must arrive.
class TlsLongChain : public TlsConn, public testing::WithParamInterface<std::tuple<std::size_t, const char*>> {
protected:
    static void SetUpTestSuite()
    {
        TlsConn::SetUpTestSuite();
        std::string sans = "subjectAltName=IP:127.0.0.1";
        for (int i = 0; i < 120; ++i)
            sans += ",DNS:name-" + std::to_string(i) + ".relayhub.test";
        std::string ca_ext = "basicConstraints=critical,CA:TRUE\\nkeyUsage=critical,keyCertSign,cRLSign\\n";
        std::string cmd =
            "cd '" + certs_->path + "' && printf '" + ca_ext + "' > ca.ext && printf '" + sans + "\\n' > leaf.ext && "
            "openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 30 -subj /CN=relayhub-test-root "
            "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign && "
            "openssl req -new -newkey rsa:2048 -nodes -keyout mid1.key -out mid1.csr -subj /CN=relayhub-test-mid1 && "
            "openssl x509 -req -in mid1.csr -CA root.pem -CAkey root.key -CAcreateserial -days 30 -extfile ca.ext -out mid1.pem && "
            "openssl req -new -newkey rsa:2048 -nodes -keyout mid2.key -out mid2.csr -subj /CN=relayhub-test-mid2 && "
            "openssl x509 -req -in mid2.csr -CA mid1.pem -CAkey mid1.key -CAcreateserial -days 30 -extfile ca.ext -out mid2.pem && "
            "openssl req -new -newkey rsa:4096 -nodes -keyout leaf.key -out leaf.csr -subj /CN=127.0.0.1 && "
            "openssl x509 -req -in leaf.csr -CA mid2.pem -CAkey mid2.key -CAcreateserial -days 30 -extfile leaf.ext -out leaf.pem && "
            "cat leaf.pem mid2.pem mid1.pem leaf.key > chain.pem";
        std::string output;
        ASSERT_EQ(testkit::run("(" + cmd + ")", &output), 0) << output;
    }

    std::string pem_file() const override { return certs_->file("chain.pem"); }

    // The bytes the Certificate message carries: every certificate of the chain file.
    static std::size_t chain_bytes()
    {
        std::size_t total = 0;
        std::FILE* f = std::fopen(certs_->file("chain.pem").c_str(), "r");
        if (!f)
            return 0;
        while (X509* x = PEM_read_X509(f, nullptr, nullptr, nullptr)) {
            total += static_cast<std::size_t>(i2d_X509(x, nullptr));
            X509_free(x);
        }
        std::fclose(f);
        return total;
    }
};

TEST_P(TlsLongChain, HandshakeCompletesWhateverTheBufferSize)
{
    auto [p_recv_size, version] = GetParam();
    ASSERT_GT(chain_bytes(), 4096u);
    testkit::child client;
    ASSERT_TRUE(spawn_peer(client, logs, server.port, {"ping", "--tls", version, "--cafile", certs_->file("root.pem")}));
    server_conn sc(p_recv_size);
    ASSERT_EQ(sc.accept_tls(server), 0) << said(client);
    EXPECT_TRUE(answer_ping(sc)) << said(client);
    sc.rec.drop_connection();
    EXPECT_EQ(client.wait_exit(CLIENT_LIMIT), 0) << said(client);
    EXPECT_NE(said(client).find("answer pong"), std::string::npos) << said(client);
}

INSTANTIATE_TEST_SUITE_P(Buffers, TlsLongChain,
                         testing::Combine(testing::Values(std::size_t{1472}, std::size_t{4096}), testing::Values("1.2", "1.3")),
                         [](const testing::TestParamInfo<std::tuple<std::size_t, const char*>>& info) {
                             return "p_recv_" + std::to_string(std::get<0>(info.param)) + "_tls1" +
                                    std::string(std::get<1>(info.param)).substr(2);
                         });

// --- Data ---------------------------------------------------------------------

struct echo_case {
    const char* name;
    std::vector<std::string> args;
    std::size_t size;
};

class TlsEcho : public TlsConn, public testing::WithParamInterface<echo_case> {};

// The client sends the pattern in chunks and wants each chunk back; the
// server checks every byte it receives and sends it back with send.
TEST_P(TlsEcho, DataArrivesIntactBothWays)
{
    const echo_case& c = GetParam();
    std::vector<std::string> args = {"echo", "--size", std::to_string(c.size)};
    args.insert(args.end(), c.args.begin(), c.args.end());
    testkit::child client;
    ASSERT_TRUE(spawn_peer(client, logs, server.port, args));
    server_conn sc;
    ASSERT_EQ(sc.accept_tls(server), 0) << said(client);

    std::vector<std::uint8_t> buffer(16384);
    std::uint64_t total = 0;
    std::int64_t n;
    while ((n = sc.rec.recv(buffer.data(), buffer.size())) > 0) {
        ASSERT_TRUE(is_pattern(buffer.data(), static_cast<std::size_t>(n), total)) << "at " << total;
        ASSERT_EQ(sc.rec.send(buffer.data(), static_cast<std::uint64_t>(n)), n);
        total += static_cast<std::uint64_t>(n);
    }
    EXPECT_EQ(total, c.size);
    // The client ended with close_notify.
    EXPECT_EQ(n, 0);
    EXPECT_EQ(sc.rec.last_ssl_error.load(), SSL_ERROR_ZERO_RETURN);
    sc.rec.drop_connection();
    EXPECT_EQ(client.wait_exit(CLIENT_LIMIT), 0) << said(client);
    EXPECT_NE(said(client).find("echo ok " + std::to_string(c.size)), std::string::npos) << said(client);
}

INSTANTIATE_TEST_SUITE_P(
    Traffic, TlsEcho,
    testing::Values(echo_case{"large_chunks", {"--chunk", "65536"}, 1 << 20},
                    // Every record reaches the server in 7-byte socket writes.
                    echo_case{"records_split_over_many_reads", {"--chunk", "300", "--data-piece", "7", "--pause", "0.003"}, 1500},
                    echo_case{"handshake_split_over_many_reads", {"--chunk", "500", "--hs-piece", "16", "--pause", "0.003"}, 1000}),
    [](const testing::TestParamInfo<echo_case>& info) { return std::string(info.param.name); });

TEST_F(TlsConn, SendCutsIntoLibraryCallsOf0x30000Bytes)
{
    constexpr std::uint64_t piece = 0x30000;
    testkit::child client;
    ASSERT_TRUE(spawn_peer(client, logs, server.port, {"receive", "--size", std::to_string(2 * piece + 1)}));
    server_conn sc;
    ASSERT_EQ(sc.accept_tls(server), 0) << said(client);
    std::vector<std::uint8_t> data = pattern(0, 2 * piece + 1);

    std::uint64_t before = q_tls_conn_t::ssl_write_calls.load();
    EXPECT_EQ(sc.rec.send(data.data(), piece), static_cast<std::int64_t>(piece));
    EXPECT_EQ(q_tls_conn_t::ssl_write_calls.load() - before, 1u);

    before = q_tls_conn_t::ssl_write_calls.load();
    EXPECT_EQ(sc.rec.send(data.data() + piece, piece + 1), static_cast<std::int64_t>(piece + 1));
    EXPECT_EQ(q_tls_conn_t::ssl_write_calls.load() - before, 2u);

    EXPECT_TRUE(sc.wait_for_client_close());
    sc.rec.drop_connection();
    EXPECT_EQ(client.wait_exit(CLIENT_LIMIT), 0) << said(client);
    EXPECT_NE(said(client).find("receive ok"), std::string::npos) << said(client);
}

// Two threads send on one record at once (the writer and the reader's
// WebSocket replies do). The records must reach the socket in the order the
// library numbered them, or the client cannot decrypt them.
TEST_F(TlsConn, ConcurrentSendsKeepTheRecordOrder)
{
    constexpr int sends = 400;
    constexpr std::size_t size = 5000;
    testkit::child client;
    ASSERT_TRUE(spawn_peer(client, logs, server.port,
                           {"receive", "--any-bytes", "--size", std::to_string(2 * sends * size)}));
    server_conn sc;
    ASSERT_EQ(sc.accept_tls(server), 0) << said(client);

    std::atomic<int> failures{0};
    auto sender = [&] {
        std::vector<std::uint8_t> data = pattern(0, size);
        for (int i = 0; i < sends; ++i)
            if (sc.rec.send(data.data(), size) != static_cast<std::int64_t>(size))
                failures++;
    };
    auto unblock = [&] { sc.rec.drop_connection(); };
    bounded_thread a(sender), b(sender);
    EXPECT_TRUE(a.join_within(30s, unblock));
    EXPECT_TRUE(b.join_within(30s, unblock));
    EXPECT_EQ(failures.load(), 0);

    EXPECT_TRUE(sc.wait_for_client_close());
    sc.rec.drop_connection();
    EXPECT_EQ(client.wait_exit(CLIENT_LIMIT), 0) << said(client);
}

// Fills the socket with Linux non-blocking sends and reads it with a client
// of its own over Linux sockets: built on Linux only.
#if !defined(_WIN32)
namespace {

// A TLS 1.2 client made with the library inside the test, over a socket the
// test also reads raw: it can ask for a renegotiation, which the server
// refuses with an alert that its SSL_read writes.
struct raw_tls_client {
    int fd = -1;
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;

    bool connect(std::uint16_t port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
            return false;
        ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        return true;
    }

    // Raw bytes from the socket until `enough` says so or 10 s have passed.
    template <typename Enough>
    std::vector<std::uint8_t> read_raw(Enough enough)
    {
        std::vector<std::uint8_t> got;
        timeval tv{0, 200000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        const auto end = std::chrono::steady_clock::now() + 10s;
        std::uint8_t buffer[65536];
        while (!enough(got) && std::chrono::steady_clock::now() < end) {
            ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n == 0)
                break;
            if (n > 0)
                got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    ~raw_tls_client()
    {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        if (fd >= 0)
            ::close(fd);
    }
};

// The TLS record types in `bytes` from `at` on, as far as they are whole.
std::vector<int> record_types(const std::vector<std::uint8_t>& bytes, std::size_t at)
{
    std::vector<int> types;
    while (at + 5 <= bytes.size()) {
        const std::size_t length = (std::size_t{bytes[at + 3]} << 8) | bytes[at + 4];
        if (at + 5 + length > bytes.size())
            break;
        types.push_back(bytes[at]);
        at += 5 + length;
    }
    return types;
}

} // namespace

// The reader's SSL_read writes an alert (the refusal of a renegotiation) and
// its flush waits for room on the socket, outside the lock. A send on the
// writer's side meanwhile finds the flush under way and leaves its records
// in wbio behind the alert: the flush under way must take them along, or the
// send reports success while its data never leaves.
TEST_F(TlsConn, RecordsLeftBehindTheReadersFlushGoOutWithIt)
{
    raw_tls_client client;
    std::atomic<int> connected{0};
    std::thread connecting([&] {
        connected = client.connect(server.port) && SSL_connect(client.ssl) == 1 ? 1 : -1;
    });
    server_conn sc;
    const int accepted = sc.accept_tls(server);
    connecting.join();
    ASSERT_EQ(accepted, 0);
    ASSERT_EQ(connected.load(), 1);

    // The socket is filled up, so the next flush has to wait: raw bytes
    // straight onto it, which the client skips when it reads.
    const SOCKET so = sc.rec.so.load();
    ws2::set_option(so, ws2::option::send_buffer, 4096);
    // Filled again after each pause, until even the client's window is
    // closed and nothing more goes in.
    std::size_t filler = 0;
    std::uint8_t block[4096] = {};
    for (bool more = true; more;) {
        more = false;
        for (;;) {
            ssize_t n = ::send(so, block, sizeof(block), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0)
                break;
            filler += static_cast<std::size_t>(n);
            more = true;
        }
        std::this_thread::sleep_for(200ms);
    }
    ASSERT_GT(filler, 0u);

    std::atomic<bool> reader_done{false};
    bounded_thread reader([&] {
        std::uint8_t sink[4096];
        while (sc.rec.recv(sink, sizeof(sink)) > 0) {
        }
        reader_done = true;
    });
    // The renegotiation request; the reader answers it with the alert. The
    // client reads nothing more itself (an empty memory buffer in place of
    // the socket): the test reads the socket raw.
    SSL_set0_rbio(client.ssl, BIO_new(BIO_s_mem()));
    ASSERT_EQ(SSL_renegotiate(client.ssl), 1);
    SSL_do_handshake(client.ssl);
    std::this_thread::sleep_for(500ms);
    ASSERT_FALSE(reader_done.load()) << "the session ended at the request";

    std::vector<std::uint8_t> tail(1000, 0xa5);
    EXPECT_EQ(sc.rec.send(tail.data(), tail.size()), static_cast<std::int64_t>(tail.size()));

    // After the filler: the alert (21), then the data (23).
    const std::vector<std::uint8_t> got = client.read_raw([&](const std::vector<std::uint8_t>& bytes) {
        if (bytes.size() < filler)
            return false;
        const std::vector<int> types = record_types(bytes, filler);
        return std::find(types.begin(), types.end(), 23) != types.end();
    });
    ASSERT_GE(got.size(), filler);
    const std::vector<int> types = record_types(got, filler);
    ASSERT_FALSE(types.empty()) << "nothing came after the filler";
    EXPECT_EQ(types.front(), 21) << "the alert does not come first";
    EXPECT_NE(std::find(types.begin(), types.end(), 23), types.end()) << "the sent data never left wbio";

    auto unblock = [&] { sc.rec.drop_connection(); };
    unblock();
    EXPECT_TRUE(reader.join_within(30s, unblock));
}
#endif

class TlsAlert : public TlsConn, public testing::WithParamInterface<const char*> {};

// The client damages one record while the writer floods it with data. The
// server's SSL_read then writes a fatal alert into wbio, most likely while
// the writer's records are on their way to the socket. The alert must reach
// the client after those records, neither lost nor mixed into them.
TEST_P(TlsAlert, AlertWrittenByTheReaderDuringAFlushReachesTheClient)
{
    testkit::child client;
    ASSERT_TRUE(spawn_peer(client, logs, server.port, {"corrupt", "--tls", GetParam(), "--size", "1000000"}));
    server_conn sc;
    ASSERT_EQ(sc.accept_tls(server), 0) << said(client);

    std::atomic<bool> reader_done{false};
    bounded_thread reader([&] {
        std::vector<std::uint8_t> buffer(4096);
        while (sc.rec.recv(buffer.data(), buffer.size()) > 0) {
        }
        reader_done = true;
    });
    bounded_thread writer([&] {
        std::vector<std::uint8_t> data = pattern(0, 64 * 1024);
        for (int i = 0; i < 20000 && !reader_done; ++i)
            if (sc.rec.send(data.data(), data.size()) <= 0)
                break;
    });
    auto unblock = [&] { sc.rec.drop_connection(); };
    EXPECT_TRUE(reader.join_within(30s, unblock));
    EXPECT_TRUE(writer.join_within(30s, unblock));

    // The client reads on until the alert; only then is the socket closed.
    EXPECT_EQ(client.wait_exit(CLIENT_LIMIT), 0) << said(client);
    sc.rec.drop_connection();
    EXPECT_NE(said(client).find("alert received"), std::string::npos) << said(client);
}

INSTANTIATE_TEST_SUITE_P(Versions, TlsAlert, testing::Values("1.2", "1.3"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return "tls1" + std::string(info.param).substr(2);
                         });

// --- Plain connections --------------------------------------------------------

// A plain TCP client made with the socket layer.
struct plain_client {
    SOCKET so = ws2::socket(ws2::af_inet, ws2::sock_stream, ws2::ipproto_tcp);

    bool connect(std::uint16_t port)
    {
        ws2::set_recv_timeout(so, DATA_TIMEOUT_MS);
        ws2::address addr{};
        addr.ip = ws2::inet_addr("127.0.0.1");
        addr.port = ws2::host_to_net16(port);
        return ws2::connect(so, addr) == 0;
    }

    void close()
    {
        if (so != INVALID_SOCKET)
            closesocket(so);
        so = INVALID_SOCKET;
    }

    ~plain_client() { close(); }
};

TEST_F(TlsConn, PlainRecvReturnsOneSocketReadAndZeroWhenThePeerCloses)
{
    plain_client client;
    ASSERT_TRUE(client.connect(server.port));
    server_conn sc;
    ASSERT_TRUE(sc.accept_plain(server));
    ASSERT_EQ(ws2::send(client.so, "0123456789", 10), 10);

    char buffer[64] = {};
    EXPECT_EQ(sc.rec.recv(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    // What is there, not what was asked for.
    EXPECT_EQ(sc.rec.recv(buffer, sizeof(buffer)), 6);
    EXPECT_EQ(std::string(buffer, 6), "456789");

    client.close();
    EXPECT_EQ(sc.rec.recv(buffer, sizeof(buffer)), 0);
    EXPECT_EQ(sc.rec.last_recv_error.load(), 0);
    EXPECT_EQ(sc.rec.refs.load(), 0);
    sc.rec.drop_connection();
    expect_idle(sc.rec);
}

TEST_F(TlsConn, PlainSendDeliversEverything)
{
    plain_client client;
    ASSERT_TRUE(client.connect(server.port));
    server_conn sc;
    ASSERT_TRUE(sc.accept_plain(server));
    EXPECT_EQ(sc.rec.send("hello", 5), 5);
    char buffer[8] = {};
    EXPECT_EQ(ws2::recv(client.so, buffer, sizeof(buffer), 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    sc.rec.drop_connection();
}

// --- Closing ------------------------------------------------------------------

TEST_F(TlsConn, SendAfterDropIsAPlainSendOnNoSocket)
{
    testkit::child client;
    ASSERT_TRUE(spawn_peer(client, logs, server.port, {"idle"}));
    server_conn sc;
    ASSERT_EQ(sc.accept_tls(server), 0) << said(client);
    sc.rec.drop_connection();
    sc.rec.last_ssl_error.store(12345);

    const std::int64_t sent = sc.rec.send("x", 1);
    // Read at once: on Windows any later system call may overwrite it.
    const int error = WSAGetLastError();
    EXPECT_EQ(sent, -1);
    EXPECT_EQ(sc.rec.last_send_error.load(), ws2::error_not_socket);
    EXPECT_EQ(error, ws2::error_not_socket);
    // No TLS step was made.
    EXPECT_EQ(sc.rec.last_ssl_error.load(), 12345);
    EXPECT_EQ(client.wait_exit(CLIENT_LIMIT), 0) << said(client);
}

enum class dropper { same_thread_twice, writer_while_reader_in_recv };

class TlsDrop : public TlsConn, public testing::WithParamInterface<dropper> {};

TEST_P(TlsDrop, FreesTheSessionExactlyOnce)
{
    testkit::child client;
    ASSERT_TRUE(spawn_peer(client, logs, server.port, {"idle"}));
    server_conn sc;
    ASSERT_EQ(sc.accept_tls(server), 0) << said(client);
    free_watch w;
    w.watch(sc.rec.ssl.load());

    if (GetParam() == dropper::same_thread_twice) {
        sc.rec.drop_connection();
        EXPECT_EQ(w.frees.load(), 1);
        sc.rec.drop_connection();
    } else {
        std::int64_t result = 1;
        bounded_thread reader([&] {
            char buffer[256];
            result = sc.rec.recv(buffer, sizeof(buffer));
        });
        // The reader holds its reference once it is inside recv.
        ASSERT_TRUE(eventually([&] { return sc.rec.refs.load() == 2; }));
        sc.rec.drop_connection();
        EXPECT_TRUE(reader.join_within(10s, [] {}));
        EXPECT_LE(result, 0);
        sc.rec.drop_connection();
    }
    EXPECT_EQ(w.frees.load(), 1);
    expect_idle(sc.rec);
    EXPECT_EQ(client.wait_exit(CLIENT_LIMIT), 0) << said(client);
}

INSTANTIATE_TEST_SUITE_P(Callers, TlsDrop,
                         testing::Values(dropper::same_thread_twice, dropper::writer_while_reader_in_recv),
                         [](const testing::TestParamInfo<dropper>& info) {
                             return info.param == dropper::same_thread_twice ? std::string("same_thread_twice")
                                                                             : std::string("writer_while_reader_in_recv");
                         });

// A send that finds no session takes the plain path. While drop_connection
// runs, a concurrent call must therefore never find the session gone and
// the socket still open: it would put unencrypted data on the wire. A thread
// looks at the record as such a call would, for as long as the drop runs.
TEST_F(TlsConn, DropNeverLeavesTheSocketOpenWithoutTheSession)
{
    testkit::child client;
    ASSERT_TRUE(spawn_peer(client, logs, server.port, {"idle"}));
    server_conn sc;
    ASSERT_EQ(sc.accept_tls(server), 0) << said(client);

    std::atomic<bool> dropped{false};
    std::atomic<long> looks{0};
    std::atomic<long> open_without_session{0};
    bounded_thread observer([&] {
        while (!dropped) {
            ssl_st* s = sc.rec.ssl.load();
            SOCKET fd = sc.rec.so.load();
            if (!s && fd != INVALID_SOCKET)
                open_without_session++;
            looks++;
        }
    });
    ASSERT_TRUE(eventually([&] { return looks.load() > 1000; }));
    sc.rec.drop_connection();
    dropped = true;
    EXPECT_TRUE(observer.join_within(10s, [] {}));
    EXPECT_EQ(open_without_session.load(), 0);
    expect_idle(sc.rec);
    EXPECT_EQ(client.wait_exit(CLIENT_LIMIT), 0) << said(client);
}

// An operation of the slot's previous session still holds its reference when
// the next client arrives. Its late drop must free that old session only,
// never count against the next one.
TEST_F(TlsConn, LateReferenceOfThePreviousSessionNeverReachesTheNext)
{
    testkit::child first;
    ASSERT_TRUE(spawn_peer(first, logs, server.port, {"idle"}, "first.log"));
    server_conn sc;
    ASSERT_EQ(sc.accept_tls(server), 0) << said(first);
    free_watch old_session;
    old_session.watch(sc.rec.ssl.load());
    ASSERT_TRUE(sc.rec.add_ref());  // the operation still running
    sc.rec.drop_connection();
    EXPECT_EQ(old_session.frees.load(), 0);

    testkit::child second;
    ASSERT_TRUE(spawn_peer(second, logs, server.port, {"ping"}, "second.log"));
    SOCKET so = server.accept_one();
    ASSERT_NE(so, INVALID_SOCKET);
    ws2::set_recv_timeout(so, HANDSHAKE_TIMEOUT_MS);
    sc.rec.so.store(so);
    std::atomic<int> started{-2};
    bounded_thread starting([&] { started = sc.rec.start(); });
    // start must still be waiting for the old operation.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(started.load(), -2);

    sc.rec.drop_ref();  // the late drop
    EXPECT_EQ(old_session.frees.load(), 1);
    ASSERT_TRUE(starting.join_within(15s, [] {}));
    ASSERT_EQ(started.load(), 0);
    EXPECT_EQ(sc.rec.refs.load(), 1);
    free_watch new_session;
    new_session.watch(sc.rec.ssl.load());

    ASSERT_EQ(sc.rec.accept_handshake(), 0) << said(second);
    ws2::set_recv_timeout(so, DATA_TIMEOUT_MS);
    EXPECT_TRUE(answer_ping(sc)) << said(second);
    EXPECT_EQ(new_session.frees.load(), 0);
    sc.rec.drop_connection();
    EXPECT_EQ(new_session.frees.load(), 1);
    EXPECT_EQ(old_session.frees.load(), 1);
    expect_idle(sc.rec);
    EXPECT_EQ(second.wait_exit(CLIENT_LIMIT), 0) << said(second);
    EXPECT_EQ(first.wait_exit(CLIENT_LIMIT), 0) << said(first);
}

// A reader and a writer run on one record against a client that floods both
// ways, and the connection is dropped from the writer, the reader or a third
// thread at a different moment each round. The session is freed exactly
// once, and the client never sees a damaged record.
TEST_F(TlsConn, ReaderWriterAndDropsOnOneRecordFreeTheSessionOnce)
{
    constexpr int rounds = 9;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const int who = round % 3;  // 0: writer drops, 1: reader drops, 2: a third thread
        const int drop_after = 3 + (round * 37) % 80;
        testkit::child client;
        ASSERT_TRUE(spawn_peer(client, logs, server.port,
                               {"flood", "--seed", std::to_string(round), "--chunk", "3000"},
                               "flood" + std::to_string(round) + ".log"));
        server_conn sc;
        ASSERT_EQ(sc.accept_tls(server), 0) << said(client);
        free_watch w;
        w.watch(sc.rec.ssl.load());

        std::atomic<int> steps{0};
        bounded_thread reader([&] {
            std::vector<std::uint8_t> buffer(16384);
            int reads = 0;
            while (sc.rec.recv(buffer.data(), buffer.size()) > 0) {
                steps++;
                if (++reads == drop_after && who == 1)
                    sc.rec.drop_connection();
            }
            sc.rec.drop_connection();
        });
        bounded_thread writer([&] {
            std::vector<std::uint8_t> data = pattern(0, 20000);
            for (int i = 0; i < 3000; ++i) {
                if (sc.rec.send(data.data(), 1 + (static_cast<std::size_t>(i) * 7919) % data.size()) <= 0)
                    break;
                steps++;
                if (i + 1 == drop_after && who == 0)
                    sc.rec.drop_connection();
            }
            sc.rec.drop_connection();
        });
        if (who == 2) {
            eventually([&] { return steps.load() >= drop_after; });
            sc.rec.drop_connection();
        }
        auto unblock = [&] { sc.rec.drop_connection(); };
        EXPECT_TRUE(reader.join_within(30s, unblock));
        EXPECT_TRUE(writer.join_within(30s, unblock));

        EXPECT_EQ(w.frees.load(), 1);
        expect_idle(sc.rec);
        EXPECT_EQ(client.wait_exit(CLIENT_LIMIT), 0) << said(client);
    }
}

} // namespace
