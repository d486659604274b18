// relayhub_bench: a load generator that measures a broadcast relay from the
// outside. It connects R receivers and one sender to the relay (raw TCP,
// RFC 6455 WebSocket, or WebSocket over TLS), pushes M messages of S bytes
// with at most W of them ahead of the slowest receiver, checks that every
// receiver gets every message once, in order and intact, and that nothing
// comes back to the sender, and prints one JSON line with the result.
// With --stalled N, N more receivers connect with a small receive buffer and
// never read; with --duration SEC the run counts what the reading receivers
// got in that time instead of waiting for all M messages.
//
// Everything runs on one thread around one epoll set with non-blocking
// sockets: the relay, not the generator, has to be the bottleneck, and on a
// two-core machine a second busy generator thread would take a core away from
// the relay under test. The data path allocates nothing: the sender builds
// whole batches of frames in one buffer and writes them with one call, and
// each receiver parses and checks what one read brought in place, carrying
// only an unfinished message to the front of its buffer.

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum class Mode { raw, ws, wss };

const char* mode_name(Mode m)
{
    switch (m) {
    case Mode::raw: return "raw";
    case Mode::ws: return "ws";
    case Mode::wss: return "wss";
    }
    return "?";
}

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    Mode mode = Mode::ws;
    std::size_t size = 64;
    int receivers = 1;
    std::uint64_t messages = 100000;
    std::uint64_t window = 32;
    bool latency = false;
    long relay_pid = 0;
    double timeout = 60.0;
    double settle = -1.0;     // raw receivers: wait before probing; <0 = by mode
    double stall = 5.0;       // no progress for this long is a failure
    double connect_wait = 5.0; // retry refused connects while the relay starts
    int drain_ms = 200;       // quiet time after the last message
    long rcvlowat = -1;       // messages a receiver waits for; <0 = by window
    std::string path = "/";
    std::string label;
    int stalled = 0;          // receivers that never read
    double duration = 0;      // >0: measure this long, then stop
};

// Exit codes: what bench/run and a person need to tell apart.
constexpr int exit_ok = 0;
constexpr int exit_verify = 1;  // lost, extra, reordered or damaged data
constexpr int exit_timeout = 2; // time-out or stall
constexpr int exit_setup = 3;   // connect, TLS or WebSocket handshake failed
constexpr int exit_usage = 64;

std::uint64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(ts.tv_nsec);
}

double now_s() { return static_cast<double>(now_ns()) / 1e9; }

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string json_escape(const std::string& s)
{
    std::string r;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            r += '\\';
            r += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            r += format("\\u%04x", c);
        } else {
            r += static_cast<char>(c);
        }
    }
    return r;
}

// ---------------------------------------------------------------- /proc ----

struct ProcSample {
    bool ok = false;
    double cpu_s = 0;  // user + system time of all threads
    long rss_kb = -1;
};

ProcSample read_proc(long pid)
{
    ProcSample s;
    if (pid <= 0)
        return s;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    if (FILE* f = std::fopen(path, "r")) {
        char buf[2048];
        std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[n] = 0;
        // The command name may hold spaces and parentheses: fields are
        // counted from the last ')'. utime and stime are fields 14 and 15.
        if (const char* p = std::strrchr(buf, ')')) {
            unsigned long long ut = 0, st = 0;
            if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) == 2) {
                const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
                s.cpu_s = static_cast<double>(ut + st) / tick;
                s.ok = true;
            }
        }
    }
    std::snprintf(path, sizeof path, "/proc/%ld/status", pid);
    if (FILE* f = std::fopen(path, "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            if (std::strncmp(line, "VmRSS:", 6) == 0) {
                s.rss_kb = std::strtol(line + 6, nullptr, 10);
                break;
            }
        }
        std::fclose(f);
    }
    return s;
}

double self_cpu_s()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// ------------------------------------------------------------ transport ----

constexpr long io_again = -1;
constexpr long io_error = -2;

struct Conn {
    int fd = -1;
    SSL* ssl = nullptr;
    std::vector<std::uint8_t> buf; // received bytes; an unfinished message stays at the front
    std::size_t held = 0;
    std::uint64_t got = 0;         // data messages received and checked
    std::uint64_t bytes = 0;
    std::uint64_t text_frames = 0;
    std::uint64_t binary_frames = 0;
    bool probed = false;
    std::string last_error;
};

std::string ssl_errors()
{
    std::string r;
    unsigned long e;
    while ((e = ERR_get_error()) != 0) {
        char b[256];
        ERR_error_string_n(e, b, sizeof b);
        if (!r.empty())
            r += "; ";
        r += b;
    }
    return r;
}

long conn_read(Conn& c, void* p, std::size_t n)
{
    if (c.ssl) {
        ERR_clear_error();
        int r = SSL_read(c.ssl, p, static_cast<int>(std::min<std::size_t>(n, INT_MAX)));
        if (r > 0)
            return r;
        int e = SSL_get_error(c.ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
            return io_again;
        if (e == SSL_ERROR_ZERO_RETURN)
            return 0;
        if (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && (r == 0 || errno == 0))
            return 0; // the peer closed the socket without close_notify
        c.last_error = format("TLS read error %d (%s) %s", e, std::strerror(errno), ssl_errors().c_str());
        return io_error;
    }
    for (;;) {
        ssize_t r = recv(c.fd, p, n, 0);
        if (r >= 0)
            return r;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return io_again;
        c.last_error = format("recv: %s", std::strerror(errno));
        return io_error;
    }
}

long conn_write(Conn& c, const void* p, std::size_t n)
{
    if (c.ssl) {
        ERR_clear_error();
        int r = SSL_write(c.ssl, p, static_cast<int>(std::min<std::size_t>(n, INT_MAX)));
        if (r > 0)
            return r;
        int e = SSL_get_error(c.ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
            return io_again;
        c.last_error = format("TLS write error %d (%s) %s", e, std::strerror(errno), ssl_errors().c_str());
        return io_error;
    }
    for (;;) {
        ssize_t r = send(c.fd, p, n, MSG_NOSIGNAL);
        if (r >= 0)
            return r;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return io_again;
        c.last_error = format("send: %s", std::strerror(errno));
        return io_error;
    }
}

// Waits until fd is ready for `events` or the deadline passes.
bool wait_fd(int fd, short events, double deadline)
{
    for (;;) {
        double left = deadline - now_s();
        if (left <= 0)
            return false;
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, static_cast<int>(left * 1000) + 1);
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
    }
}

// Connects with retries while the relay is still starting (connection
// refused), bounded by `refused_deadline` and the overall deadline.
int connect_to(const Options& o, double refused_deadline, double deadline, std::string& err, int rcvbuf = 0)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(o.port));
    if (inet_pton(AF_INET, o.host.c_str(), &a.sin_addr) != 1) {
        err = "bad --host address: " + o.host;
        return -1;
    }
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            err = format("socket: %s", std::strerror(errno));
            return -1;
        }
        // Before connecting, so the window offered is small from the start.
        if (rcvbuf > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        int r = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        int e = r == 0 ? 0 : errno;
        if (e == EINPROGRESS) {
            if (!wait_fd(fd, POLLOUT, deadline)) {
                close(fd);
                err = "connect timed out";
                return -1;
            }
            socklen_t len = sizeof e;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len);
        }
        if (e == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        close(fd);
        if (e == ECONNREFUSED && now_s() < std::min(refused_deadline, deadline)) {
            usleep(50000);
            continue;
        }
        err = format("connect %s:%d: %s", o.host.c_str(), o.port, std::strerror(e));
        return -1;
    }
}

bool tls_connect(Conn& c, SSL_CTX* ctx, double deadline, std::string& err)
{
    c.ssl = SSL_new(ctx);
    if (!c.ssl || SSL_set_fd(c.ssl, c.fd) != 1) {
        err = "SSL_new: " + ssl_errors();
        return false;
    }
    SSL_set_tlsext_host_name(c.ssl, "localhost");
    for (;;) {
        ERR_clear_error();
        int r = SSL_connect(c.ssl);
        if (r == 1)
            return true;
        int e = SSL_get_error(c.ssl, r);
        short ev = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
        if (!ev) {
            err = format("TLS handshake failed (%d): %s", e, ssl_errors().c_str());
            return false;
        }
        if (!wait_fd(c.fd, ev, deadline)) {
            err = "TLS handshake timed out";
            return false;
        }
    }
}

bool write_all(Conn& c, const void* data, std::size_t n, double deadline, std::string& err)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (n) {
        long r = conn_write(c, p, n);
        if (r > 0) {
            p += r;
            n -= static_cast<std::size_t>(r);
        } else if (r == io_again) {
            if (!wait_fd(c.fd, POLLIN | POLLOUT, deadline)) {
                err = "write timed out";
                return false;
            }
        } else {
            err = c.last_error;
            return false;
        }
    }
    return true;
}

std::string base64(const std::uint8_t* p, std::size_t n)
{
    std::string out(4 * ((n + 2) / 3) + 1, '\0');
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), p, static_cast<int>(n));
    out.resize(static_cast<std::size_t>(len));
    return out;
}

// Case-insensitive search for a header at a line start; returns its value
// without leading and trailing blanks, or an empty string.
std::string header_value(const std::string& head, const char* name)
{
    const std::size_t nl = std::strlen(name);
    std::size_t pos = head.find("\r\n");
    while (pos != std::string::npos) {
        std::size_t line = pos + 2;
        if (line + nl <= head.size() && strncasecmp(head.c_str() + line, name, nl) == 0 &&
            head[line + nl] == ':') {
            std::size_t v = line + nl + 1;
            std::size_t end = head.find("\r\n", v);
            if (end == std::string::npos)
                end = head.size();
            while (v < end && (head[v] == ' ' || head[v] == '\t'))
                ++v;
            while (end > v && (head[end - 1] == ' ' || head[end - 1] == '\t'))
                --end;
            return head.substr(v, end - v);
        }
        pos = head.find("\r\n", line);
    }
    return {};
}

// RFC 6455 opening handshake from the client side. Bytes the relay sent
// after the response stay in c.buf for the frame parser.
bool ws_handshake(Conn& c, const Options& o, double deadline, std::string& err)
{
    std::uint8_t nonce[16];
    RAND_bytes(nonce, sizeof nonce);
    const std::string key = base64(nonce, sizeof nonce);
    const std::string guid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    std::uint8_t digest[SHA_DIGEST_LENGTH];
    const std::string k = key + guid;
    SHA1(reinterpret_cast<const unsigned char*>(k.data()), k.size(), digest);
    const std::string expect = base64(digest, sizeof digest);

    const std::string req = "GET " + o.path + " HTTP/1.1\r\n"
                            "Host: " + o.host + ":" + std::to_string(o.port) + "\r\n"
                            "Upgrade: websocket\r\n"
                            "Connection: Upgrade\r\n"
                            "Sec-WebSocket-Key: " + key + "\r\n"
                            "Sec-WebSocket-Version: 13\r\n\r\n";
    if (!write_all(c, req.data(), req.size(), deadline, err))
        return false;

    std::size_t end = 0;
    for (;;) {
        if (c.held > 0) {
            const void* m = memmem(c.buf.data(), c.held, "\r\n\r\n", 4);
            if (m) {
                end = static_cast<std::size_t>(static_cast<const std::uint8_t*>(m) - c.buf.data()) + 4;
                break;
            }
        }
        if (c.held >= 16384) {
            err = "handshake response too long";
            return false;
        }
        long r = conn_read(c, c.buf.data() + c.held, c.buf.size() - c.held);
        if (r > 0) {
            c.held += static_cast<std::size_t>(r);
        } else if (r == io_again) {
            if (!wait_fd(c.fd, POLLIN, deadline)) {
                err = "no handshake response in time";
                return false;
            }
        } else {
            err = r == 0 ? "relay closed the connection during the handshake" : c.last_error;
            return false;
        }
    }
    const std::string head(reinterpret_cast<const char*>(c.buf.data()), end);
    if (head.compare(0, 12, "HTTP/1.1 101") != 0) {
        err = "handshake refused: " + head.substr(0, head.find("\r\n"));
        return false;
    }
    const std::string accept = header_value(head, "Sec-WebSocket-Accept");
    if (accept != expect) {
        err = "wrong Sec-WebSocket-Accept '" + accept + "', expected '" + expect + "'";
        return false;
    }
    std::memmove(c.buf.data(), c.buf.data() + end, c.held - end);
    c.held -= end;
    return true;
}

// ------------------------------------------------------------- messages ----

// A message is S printable ASCII bytes (so WebSocket frames stay text): eight
// lower-case hex digits of its sequence number, then a slice of a fixed
// pattern whose start depends on the sequence number. A lost, repeated or
// reordered message shows in the header; a shifted, merged or damaged one in
// the slice. Probes, sent before the data to prove every receiver is
// admitted, carry the tag below instead of the header.
constexpr char probe_tag[8] = {'~', 'p', 'r', 'o', 'b', 'e', '~', '~'};
constexpr std::size_t header_len = 8;
constexpr std::uint64_t pattern_period = 61;

void put_hex8(std::uint8_t* d, std::uint64_t v)
{
    static const char digits[] = "0123456789abcdef";
    for (int i = 7; i >= 0; --i) {
        d[i] = static_cast<std::uint8_t>(digits[v & 15]);
        v >>= 4;
    }
}

struct Run {
    Options o;
    std::size_t S = 0;
    std::uint64_t M = 0;
    int R = 0;
    std::vector<std::uint8_t> pattern;
    std::vector<Conn> rx;
    Conn tx;
    int ep = -1;
    SSL_CTX* ctx = nullptr;

    // sender
    std::vector<std::uint8_t> out;
    std::size_t out_len = 0, out_off = 0;
    std::uint64_t sent = 0;   // data messages put into `out`
    bool tx_blocked = false;  // waiting for EPOLLOUT
    std::uint64_t xs = 0x9e3779b97f4a7c15ull; // masking keys
    std::uint64_t probes_sent = 0;

    // progress
    std::uint64_t finished = 0; // receivers that have all M messages
    bool failed = false;
    int exit_code = exit_ok;
    std::string status = "ok";
    std::string error;

    // latency
    std::vector<std::uint64_t> t_send;
    std::vector<std::uint64_t> t_last;
    std::vector<std::uint32_t> samples;

    void fail(int code, const char* st, std::string what)
    {
        if (failed)
            return;
        failed = true;
        exit_code = code;
        status = st;
        error = std::move(what);
    }

    std::size_t frame_max() const { return S + 14; }

    std::uint32_t next_mask()
    {
        xs ^= xs << 13;
        xs ^= xs >> 7;
        xs ^= xs << 17;
        return static_cast<std::uint32_t>(xs >> 16);
    }

    // Appends one message (data or probe) to the sender's batch, framed and
    // masked for WebSocket modes.
    void append(bool probe, std::uint64_t seq)
    {
        std::uint8_t* d = out.data() + out_len;
        std::uint8_t* payload = d;
        if (o.mode != Mode::raw) {
            std::size_t h = 0;
            d[h++] = 0x81; // FIN, text
            if (S < 126) {
                d[h++] = static_cast<std::uint8_t>(0x80 | S);
            } else if (S <= 0xffff) {
                d[h++] = 0x80 | 126;
                d[h++] = static_cast<std::uint8_t>(S >> 8);
                d[h++] = static_cast<std::uint8_t>(S);
            } else {
                d[h++] = 0x80 | 127;
                for (int i = 7; i >= 0; --i)
                    d[h++] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(S) >> (8 * i));
            }
            const std::uint32_t key = next_mask();
            std::memcpy(d + h, &key, 4);
            h += 4;
            payload = d + h;
            out_len += h;
        }
        if (probe) {
            std::memcpy(payload, probe_tag, header_len);
            std::memcpy(payload + header_len, pattern.data(), S - header_len);
        } else {
            put_hex8(payload, seq);
            std::memcpy(payload + header_len, pattern.data() + seq % pattern_period, S - header_len);
        }
        if (o.mode != Mode::raw) {
            std::uint8_t kb[4];
            std::memcpy(kb, payload - 4, 4);
            std::uint64_t k8;
            std::memcpy(&k8, kb, 4);
            std::memcpy(reinterpret_cast<std::uint8_t*>(&k8) + 4, kb, 4);
            std::size_t i = 0;
            for (; i + 8 <= S; i += 8) {
                std::uint64_t v;
                std::memcpy(&v, payload + i, 8);
                v ^= k8;
                std::memcpy(payload + i, &v, 8);
            }
            for (; i < S; ++i)
                payload[i] ^= kb[i & 3];
        }
        out_len += S;
    }

    // Receivers read in batches: the kernel wakes one only when a few
    // messages are queued, so the generator spends one read and one wake-up
    // on several deliveries and stays out of the relay's way. The slowest
    // receiver always gets there, since the window lets the sender keep W
    // messages queued for it; the last stretch goes back to single bytes.
    // The batch stays small (8 messages): each small segment a relay sends
    // takes far more receive-buffer memory than its payload, and a mark of
    // hundreds of tiny messages closes the TCP window before it is reached,
    // leaving the relay in zero-window probes (200 ms stalls) that say
    // nothing about the relay.
    int lowat_bytes = 1;

    void set_lowat(int bytes)
    {
        for (Conn& c : rx)
            setsockopt(c.fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
        lowat_bytes = bytes;
    }

    int lowat_for_window() const
    {
        const std::size_t wire = S + (o.mode == Mode::raw ? 0 : (S < 126 ? 2 : S <= 0xffff ? 4 : 10));
        std::uint64_t n = o.rcvlowat >= 0 ? static_cast<std::uint64_t>(o.rcvlowat) : std::min<std::uint64_t>(8, o.window / 4);
        n = std::min<std::uint64_t>(n, o.window / 2);
        if (o.rcvlowat < 0)
            n = std::min<std::uint64_t>(n, std::max<std::size_t>(1, 32768 / wire));
        return static_cast<int>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(n * wire, 1u << 20)));
    }

    std::uint64_t min_got() const
    {
        std::uint64_t m = UINT64_MAX;
        for (const Conn& c : rx)
            m = std::min(m, c.got);
        return m;
    }

    void set_tx_out(bool on)
    {
        epoll_event ev{};
        ev.events = EPOLLIN | (on ? EPOLLOUT : 0u);
        ev.data.u32 = static_cast<std::uint32_t>(R);
        epoll_ctl(ep, EPOLL_CTL_MOD, tx.fd, &ev);
    }

    // Writes what is pending, then fills a new batch as far as the window
    // allows, until the socket is full or the window closes.
    void pump(bool data_phase, bool want_probe)
    {
        while (!failed && !tx_blocked) {
            if (out_off == out_len) {
                out_off = out_len = 0;
                if (!data_phase) {
                    if (!want_probe)
                        return;
                    append(true, 0);
                    ++probes_sent;
                    want_probe = false;
                } else {
                    const std::uint64_t floor = min_got();
                    const std::uint64_t limit = std::min(M, floor + o.window);
                    while (sent < limit && out_len + frame_max() <= out.size()) {
                        if (o.latency)
                            t_send[sent] = now_ns();
                        append(false, sent);
                        ++sent;
                    }
                    if (sent == M && lowat_bytes > 1)
                        set_lowat(1);
                    if (out_len == 0)
                        return;
                }
            }
            long r = conn_write(tx, out.data() + out_off, out_len - out_off);
            if (r > 0) {
                out_off += static_cast<std::size_t>(r);
            } else if (r == io_again) {
                tx_blocked = true;
                set_tx_out(true);
            } else {
                fail(exit_verify, "error", "sender: " + tx.last_error);
            }
        }
    }

    void check_message(Conn& c, std::size_t idx, const std::uint8_t* p, std::size_t n, std::uint64_t t)
    {
        if (n != S) {
            fail(exit_verify, "verify", format("receiver %zu: message after #%" PRIu64 " has %zu bytes, expected %zu",
                                               idx, c.got, n, S));
            return;
        }
        if (std::memcmp(p, probe_tag, header_len) == 0) {
            if (c.got) {
                fail(exit_verify, "verify", format("receiver %zu: probe after data message #%" PRIu64, idx, c.got));
                return;
            }
            if (std::memcmp(p + header_len, pattern.data(), S - header_len) != 0) {
                fail(exit_verify, "verify", format("receiver %zu: damaged probe", idx));
                return;
            }
            c.probed = true;
            return;
        }
        if (c.got >= M) {
            fail(exit_verify, "verify", format("receiver %zu: extra message after the last one (header '%.8s')", idx,
                                               reinterpret_cast<const char*>(p)));
            return;
        }
        std::uint8_t h[header_len];
        put_hex8(h, c.got);
        if (std::memcmp(p, h, header_len) != 0) {
            fail(exit_verify, "verify", format("receiver %zu: expected message #%" PRIu64 " (%.8s), got header '%.8s'",
                                               idx, c.got, reinterpret_cast<const char*>(h),
                                               reinterpret_cast<const char*>(p)));
            return;
        }
        const std::uint8_t* want = pattern.data() + c.got % pattern_period;
        if (std::memcmp(p + header_len, want, S - header_len) != 0) {
            std::size_t i = header_len;
            while (p[i] == want[i - header_len])
                ++i;
            fail(exit_verify, "verify", format("receiver %zu: message #%" PRIu64 " damaged at byte %zu", idx, c.got, i));
            return;
        }
        if (o.latency) {
            const std::uint64_t d = t - t_send[c.got];
            samples.push_back(static_cast<std::uint32_t>(std::min<std::uint64_t>(d, UINT32_MAX)));
            t_last[c.got] = std::max(t_last[c.got], t);
        }
        if (++c.got == M)
            ++finished;
    }

    // Takes every complete message from the front of c.buf and keeps the rest.
    void parse(Conn& c, std::size_t idx, std::uint64_t t)
    {
        std::size_t pos = 0;
        const std::uint8_t* b = c.buf.data();
        if (o.mode == Mode::raw) {
            // The relay may merge or split writes: the stream is cut into
            // S-byte messages here.
            while (!failed && c.held - pos >= S) {
                check_message(c, idx, b + pos, S, t);
                pos += S;
            }
        } else {
            while (!failed && c.held - pos >= 2) {
                const std::uint8_t b0 = b[pos], b1 = b[pos + 1];
                std::size_t h = 2;
                std::uint64_t len = b1 & 0x7f;
                if (len == 126)
                    h = 4;
                else if (len == 127)
                    h = 10;
                if (c.held - pos < h)
                    break;
                if (len == 126) {
                    len = static_cast<std::uint64_t>(b[pos + 2]) << 8 | b[pos + 3];
                } else if (len == 127) {
                    len = 0;
                    for (int i = 0; i < 8; ++i)
                        len = len << 8 | b[pos + 2 + static_cast<std::size_t>(i)];
                }
                if (b1 & 0x80) {
                    fail(exit_verify, "verify", format("receiver %zu: masked frame from the relay", idx));
                    return;
                }
                if (len > c.buf.size() - h) {
                    fail(exit_verify, "verify", format("receiver %zu: frame of %" PRIu64 " bytes", idx, len));
                    return;
                }
                if (c.held - pos < h + len)
                    break;
                const unsigned op = b0 & 0x0f;
                if ((b0 & 0x70) != 0 || !(b0 & 0x80)) {
                    fail(exit_verify, "verify", format("receiver %zu: frame byte 0x%02x (fragment or RSV bits)", idx, b0));
                    return;
                }
                if (op == 1 || op == 2) {
                    ++(op == 1 ? c.text_frames : c.binary_frames);
                    check_message(c, idx, b + pos + h, static_cast<std::size_t>(len), t);
                } else if (op == 8) {
                    fail(exit_verify, "verify", format("receiver %zu: close frame from the relay", idx));
                    return;
                } else if (op != 9 && op != 10) {
                    fail(exit_verify, "verify", format("receiver %zu: opcode %u", idx, op));
                    return;
                }
                pos += h + static_cast<std::size_t>(len);
            }
        }
        if (pos) {
            std::memmove(c.buf.data(), c.buf.data() + pos, c.held - pos);
            c.held -= pos;
        }
    }

    void on_receiver(std::size_t idx)
    {
        Conn& c = rx[idx];
        while (!failed) {
            const std::size_t room = c.buf.size() - c.held;
            long r = conn_read(c, c.buf.data() + c.held, room);
            if (r > 0) {
                const std::uint64_t t = o.latency ? now_ns() : 0;
                c.held += static_cast<std::size_t>(r);
                c.bytes += static_cast<std::uint64_t>(r);
                parse(c, idx, t);
                // A short plain read emptied the socket; epoll says when more
                // comes. TLS reads stop at record ends, so those go on until
                // the library wants more input.
                if (!c.ssl && static_cast<std::size_t>(r) < room)
                    return;
            } else if (r == io_again) {
                return;
            } else if (r == 0) {
                fail(exit_verify, "error", format("receiver %zu: relay closed the connection after %" PRIu64 " messages", idx, c.got));
            } else {
                fail(exit_verify, "error", format("receiver %zu: %s", idx, c.last_error.c_str()));
            }
        }
    }

    void on_sender_readable()
    {
        std::uint8_t scratch[4096];
        for (;;) {
            long r = conn_read(tx, scratch, sizeof scratch);
            if (r > 0) {
                fail(exit_verify, "verify", format("sender received %ld bytes back from the relay", r));
                return;
            }
            if (r == io_again)
                return;
            if (r == 0)
                fail(exit_verify, "error", "relay closed the sender connection");
            else
                fail(exit_verify, "error", "sender: " + tx.last_error);
            return;
        }
    }

    std::string progress() const
    {
        std::uint64_t lo = UINT64_MAX, hi = 0;
        std::string who;
        for (std::size_t i = 0; i < rx.size(); ++i) {
            lo = std::min(lo, rx[i].got);
            hi = std::max(hi, rx[i].got);
        }
        int shown = 0;
        for (std::size_t i = 0; i < rx.size() && shown < 8; ++i) {
            if (rx[i].got == lo) {
                if (shown)
                    who += ',';
                who += std::to_string(i);
                ++shown;
            }
        }
        std::size_t unprobed = 0;
        for (const Conn& c : rx)
            unprobed += c.probed ? 0 : 1;
        return format("sent %" PRIu64 " of %" PRIu64 " (+%" PRIu64 " probes), receivers got %" PRIu64 "..%" PRIu64
                      " (slowest: %s), not yet probed: %zu",
                      sent, M, probes_sent, lo, hi, who.c_str(), unprobed);
    }
};

[[noreturn]] void usage(const char* msg)
{
    if (msg)
        std::fprintf(stderr, "relayhub_bench: %s\n", msg);
    std::fprintf(stderr,
                 "usage: relayhub_bench --port P [options]\n"
                 "  --host A          relay address (127.0.0.1)\n"
                 "  --mode M          ws, raw or wss (ws)\n"
                 "  --size S          message payload bytes, at least 8 (64)\n"
                 "  --receivers R     receiving clients (1)\n"
                 "  --messages M      data messages sent (100000)\n"
                 "  --window W        messages ahead of the slowest receiver (32)\n"
                 "  --latency         one message in flight; report one-way times\n"
                 "  --relay-pid PID   relay process for CPU and resident memory\n"
                 "  --timeout SEC     bound for the whole run (60)\n"
                 "  --stall SEC       fail when nothing moves this long (5)\n"
                 "  --settle SEC      wait after connecting before the first probe\n"
                 "                    (raw: 1.3, so silent clients get classified)\n"
                 "  --connect-wait SEC  retry refused connects this long (5)\n"
                 "  --drain-ms MS     quiet time checked after the last message (200)\n"
                 "  --rcvlowat N      wake a receiver only when N messages are queued\n"
                 "                    (default: 8, at most a quarter of the window and 32 KiB;\n"
                 "                    1 in latency mode)\n"
                 "  --path P          WebSocket request path (/)\n"
                 "  --label TEXT      copied into the JSON line\n"
                 "  --stalled N       N more receivers that connect and never read (0)\n"
                 "  --duration SEC    stop after SEC of data; rate = what the readers got\n"
                 "  --free-port       print a free loopback TCP port and exit\n");
    std::exit(exit_usage);
}

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return -1;
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

Options parse_args(int argc, char** argv)
{
    Options o;
    auto need = [&](int& i) -> const char* {
        if (i + 1 >= argc)
            usage(format("%s needs a value", argv[i]).c_str());
        return argv[++i];
    };
    auto num = [&](int& i) -> double {
        const char* name = argv[i];
        const char* v = need(i);
        char* end = nullptr;
        double d = std::strtod(v, &end);
        if (!end || *end || end == v || d < 0)
            usage(format("bad value for %s: %s", name, v).c_str());
        return d;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--host") o.host = need(i);
        else if (a == "--port") o.port = static_cast<int>(num(i));
        else if (a == "--mode") {
            const std::string m = need(i);
            if (m == "ws") o.mode = Mode::ws;
            else if (m == "raw") o.mode = Mode::raw;
            else if (m == "wss") o.mode = Mode::wss;
            else usage(("unknown mode " + m).c_str());
        }
        else if (a == "--size") o.size = static_cast<std::size_t>(num(i));
        else if (a == "--receivers") o.receivers = static_cast<int>(num(i));
        else if (a == "--messages") o.messages = static_cast<std::uint64_t>(num(i));
        else if (a == "--window") o.window = static_cast<std::uint64_t>(num(i));
        else if (a == "--latency") o.latency = true;
        else if (a == "--relay-pid") o.relay_pid = static_cast<long>(num(i));
        else if (a == "--timeout") o.timeout = num(i);
        else if (a == "--stall") o.stall = num(i);
        else if (a == "--settle") o.settle = num(i);
        else if (a == "--connect-wait") o.connect_wait = num(i);
        else if (a == "--drain-ms") o.drain_ms = static_cast<int>(num(i));
        else if (a == "--rcvlowat") o.rcvlowat = static_cast<long>(num(i));
        else if (a == "--path") o.path = need(i);
        else if (a == "--label") o.label = need(i);
        else if (a == "--stalled") o.stalled = static_cast<int>(num(i));
        else if (a == "--duration") o.duration = num(i);
        else if (a == "--free-port") {
            int p = free_port();
            if (p <= 0) {
                std::fprintf(stderr, "relayhub_bench: no free port\n");
                std::exit(exit_setup);
            }
            std::printf("%d\n", p);
            std::exit(0);
        }
        else if (a == "-h" || a == "--help") usage(nullptr);
        else usage(("unknown option " + a).c_str());
    }
    if (o.port <= 0 || o.port > 65535)
        usage("--port is required");
    if (o.size < header_len || o.size > (1u << 24))
        usage("--size must be between 8 and 16777216");
    if (o.receivers < 1 || o.receivers > 1000)
        usage("--receivers must be between 1 and 1000");
    if (o.messages < 1 || o.messages > 0xffffffffull)
        usage("--messages must be between 1 and 4294967295");
    if (o.window < 1)
        usage("--window must be at least 1");
    if (o.latency)
        o.window = 1;
    if (o.settle < 0)
        o.settle = o.mode == Mode::raw ? 1.3 : 0.0;
    if (o.latency)
        o.rcvlowat = 1;
    return o;
}

double percentile(std::vector<std::uint32_t>& v, double p)
{
    if (v.empty())
        return 0;
    std::size_t k = static_cast<std::size_t>(p * static_cast<double>(v.size()));
    if (k >= v.size())
        k = v.size() - 1;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k] / 1000.0;
}

} // namespace

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    Run run;
    run.o = parse_args(argc, argv);
    const Options& o = run.o;
    run.S = o.size;
    run.M = o.messages;
    run.R = o.receivers;

    const double t0 = now_s();
    const double deadline = t0 + o.timeout;

    // Printable ASCII, not periodic within any message, so a shifted slice
    // never matches.
    run.pattern.resize(run.S + pattern_period + 8);
    for (std::size_t i = 0; i < run.pattern.size(); ++i)
        run.pattern[i] = static_cast<std::uint8_t>(33 + (i * 31 + i / 89) % 94);

    const std::size_t rx_cap = std::max<std::size_t>(256 * 1024, 4 * run.frame_max());
    const std::size_t tx_cap = o.latency ? run.frame_max() : std::max<std::size_t>(256 * 1024, 2 * run.frame_max());
    run.out.resize(tx_cap);
    if (o.latency) {
        run.t_send.assign(run.M, 0);
        run.t_last.assign(run.M, 0);
        run.samples.reserve(run.M * static_cast<std::uint64_t>(run.R));
    }

    auto finish = [&](double elapsed, const ProcSample& p0, const ProcSample& p1, long rss_max, double gen_cpu) {
        std::uint64_t got = 0, text = 0, binary = 0;
        for (const Conn& c : run.rx) {
            got += c.got;
            text += c.text_frames;
            binary += c.binary_frames;
        }
        const std::uint64_t delivered = o.duration > 0 ? got : run.M * static_cast<std::uint64_t>(run.R);
        const bool ok = !run.failed;
        const double rate = ok && elapsed > 0 ? static_cast<double>(delivered) / elapsed : 0;
        const double cpu = p0.ok && p1.ok ? p1.cpu_s - p0.cpu_s : -1;
        std::string line = "{";
        line += format("\"status\":\"%s\"", run.status.c_str());
        if (!o.label.empty())
            line += ",\"label\":\"" + json_escape(o.label) + "\"";
        line += format(",\"mode\":\"%s\",\"size\":%zu,\"receivers\":%d,\"messages\":%" PRIu64 ",\"window\":%" PRIu64
                       ",\"latency_mode\":%s,\"stalled\":%d",
                       mode_name(o.mode), run.S, run.R, run.M, o.window, o.latency ? "true" : "false", o.stalled);
        line += format(",\"delivered\":%" PRIu64 ",\"elapsed_s\":%.4f,\"msgs_per_s\":%.0f,\"mb_per_s\":%.2f", got,
                       elapsed, rate, rate * static_cast<double>(run.S) / 1e6);
        line += format(",\"relay_cpu_s\":%.3f,\"relay_cpu_pct\":%.1f", cpu,
                       cpu >= 0 && elapsed > 0 ? 100.0 * cpu / elapsed : -1.0);
        line += format(",\"gen_cpu_pct\":%.1f", elapsed > 0 ? 100.0 * gen_cpu / elapsed : -1.0);
        line += format(",\"rss_before_kb\":%ld,\"rss_max_kb\":%ld,\"rss_after_kb\":%ld", p0.rss_kb, rss_max, p1.rss_kb);
        line += format(",\"rcvlowat_bytes\":%d", run.lowat_for_window());
        line += format(",\"text_frames\":%" PRIu64 ",\"binary_frames\":%" PRIu64 ",\"probes\":%" PRIu64, text, binary,
                       run.probes_sent);
        if (o.latency && !run.samples.empty()) {
            std::vector<std::uint32_t> all;
            all.reserve(run.M);
            for (std::uint64_t i = 0; i < run.M; ++i)
                if (run.t_last[i])
                    all.push_back(static_cast<std::uint32_t>(
                        std::min<std::uint64_t>(run.t_last[i] - run.t_send[i], UINT32_MAX)));
            const double p50 = percentile(run.samples, 0.50), p99 = percentile(run.samples, 0.99),
                         p999 = percentile(run.samples, 0.999), pmax = percentile(run.samples, 1.0);
            line += format(",\"p50_us\":%.1f,\"p99_us\":%.1f,\"p999_us\":%.1f,\"max_us\":%.1f", p50, p99, p999, pmax);
            line += format(",\"all_p50_us\":%.1f,\"all_p99_us\":%.1f", percentile(all, 0.50), percentile(all, 0.99));
        }
        line += ",\"error\":\"" + json_escape(run.error) + "\"}";
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        return run.exit_code;
    };

    if (o.mode == Mode::wss) {
        run.ctx = SSL_CTX_new(TLS_client_method());
        if (!run.ctx) {
            run.fail(exit_setup, "setup", "SSL_CTX_new: " + ssl_errors());
            return finish(0, {}, {}, -1, 0);
        }
        // A benchmark against a self-signed certificate on loopback: no
        // verification.
        SSL_CTX_set_verify(run.ctx, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_mode(run.ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    }

    // Receivers first, the sender last: the sender must find them in place.
    run.rx.resize(static_cast<std::size_t>(run.R));
    const double refused_deadline = t0 + o.connect_wait;
    auto open_conn = [&](Conn& c, const char* who, std::size_t idx) -> bool {
        std::string err;
        c.buf.assign(rx_cap, 0);
        c.fd = connect_to(o, refused_deadline, deadline, err);
        bool ok = c.fd >= 0;
        if (ok && o.mode == Mode::wss)
            ok = tls_connect(c, run.ctx, deadline, err);
        if (ok && o.mode != Mode::raw)
            ok = ws_handshake(c, o, deadline, err);
        if (!ok)
            run.fail(exit_setup, "setup", format("%s %zu: %s", who, idx, err.c_str()));
        return ok;
    };
    for (std::size_t i = 0; i < run.rx.size() && !run.failed; ++i)
        open_conn(run.rx[i], "receiver", i);
    // The stalled receivers take part in the relay like the others (the relay
    // sends them everything) but are never read and never waited for.
    std::vector<Conn> stalled(static_cast<std::size_t>(o.stalled));
    for (std::size_t i = 0; i < stalled.size() && !run.failed; ++i) {
        std::string err;
        Conn& c = stalled[i];
        c.buf.assign(rx_cap, 0);
        c.fd = connect_to(o, refused_deadline, deadline, err, 4096);
        bool ok = c.fd >= 0;
        if (ok && o.mode == Mode::wss)
            ok = tls_connect(c, run.ctx, deadline, err);
        if (ok && o.mode != Mode::raw)
            ok = ws_handshake(c, o, deadline, err);
        if (!ok)
            run.fail(exit_setup, "setup", format("stalled receiver %zu: %s", i, err.c_str()));
    }
    if (!run.failed && open_conn(run.tx, "sender", 0) && run.tx.held)
        run.fail(exit_verify, "verify", "sender received data right after its handshake");
    if (run.failed)
        return finish(0, {}, {}, -1, 0);
    run.tx.buf.assign(0, 0);
    run.tx.buf.shrink_to_fit();

    run.ep = epoll_create1(EPOLL_CLOEXEC);
    for (int i = 0; i <= run.R; ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<std::uint32_t>(i);
        epoll_ctl(run.ep, EPOLL_CTL_ADD, i == run.R ? run.tx.fd : run.rx[static_cast<std::size_t>(i)].fd, &ev);
    }

    // A silent raw client is admitted only after the relay's classification
    // windows; data sent before that would not reach it.
    if (o.settle > 0) {
        const double until = std::min(deadline, now_s() + o.settle);
        while (now_s() < until)
            usleep(static_cast<useconds_t>(std::max(1.0, (until - now_s()) * 1e6)));
    }
    // Frames that arrived with a handshake response are parsed now.
    for (std::size_t i = 0; i < run.rx.size(); ++i)
        if (run.rx[i].held)
            run.parse(run.rx[i], i, 0);

    enum class Phase { probing, running, draining } phase = Phase::probing;
    double next_probe = 0, t_start = 0, t_end = 0, last_move = now_s(), next_rss = 0, drain_until = 0;
    std::uint64_t moved = 0;
    ProcSample p_start, p_end;
    long rss_max = -1;
    double gen0 = 0, gen1 = 0;
    epoll_event events[64];

    while (!run.failed) {
        double now = now_s();
        if (phase == Phase::probing) {
            bool all = true;
            for (const Conn& c : run.rx)
                all = all && c.probed;
            if (all) {
                phase = Phase::running;
                const int lowat = run.lowat_for_window();
                if (lowat > 1)
                    run.set_lowat(lowat);
                p_start = read_proc(o.relay_pid);
                rss_max = p_start.rss_kb;
                gen0 = self_cpu_s();
                now = now_s();
                t_start = now;
                next_rss = now + 0.1;
            }
        }
        if (phase == Phase::running && run.finished == run.rx.size()) {
            t_end = now_s();
            gen1 = self_cpu_s();
            p_end = read_proc(o.relay_pid);
            rss_max = std::max(rss_max, p_end.rss_kb);
            phase = Phase::draining;
            drain_until = t_end + o.drain_ms / 1000.0;
        }
        if (phase == Phase::draining && now >= drain_until)
            break;
        if (phase == Phase::running && o.duration > 0 && now - t_start >= o.duration) {
            t_end = now;
            gen1 = self_cpu_s();
            p_end = read_proc(o.relay_pid);
            rss_max = std::max(rss_max, p_end.rss_kb);
            break;
        }
        if (now >= deadline) {
            run.fail(exit_timeout, "timeout", format("time-out after %.1f s: %s", o.timeout, run.progress().c_str()));
            break;
        }
        if (phase == Phase::running && now >= next_rss) {
            rss_max = std::max(rss_max, read_proc(o.relay_pid).rss_kb);
            next_rss = now + 0.1;
        }
        std::uint64_t m = run.sent + run.probes_sent;
        for (const Conn& c : run.rx)
            m += c.got;
        if (m != moved) {
            moved = m;
            last_move = now;
        } else if (phase != Phase::draining && now - last_move > o.stall && phase == Phase::running) {
            run.fail(exit_timeout, "stall", format("nothing moved for %.1f s: %s", o.stall, run.progress().c_str()));
            break;
        }

        bool want_probe = false;
        if (phase == Phase::probing && now >= next_probe) {
            want_probe = true;
            next_probe = now + 0.2;
        }
        if (phase != Phase::draining)
            run.pump(phase == Phase::running, want_probe);

        int wait_ms = 100;
        if (phase == Phase::probing)
            wait_ms = std::max(1, static_cast<int>((next_probe - now) * 1000));
        else if (phase == Phase::draining)
            wait_ms = std::max(1, static_cast<int>((drain_until - now) * 1000) + 1);
        int n = epoll_wait(run.ep, events, 64, wait_ms);
        if (n < 0 && errno != EINTR) {
            run.fail(exit_verify, "error", format("epoll_wait: %s", std::strerror(errno)));
            break;
        }
        for (int i = 0; i < n && !run.failed; ++i) {
            const std::uint32_t id = events[i].data.u32;
            if (id == static_cast<std::uint32_t>(run.R)) {
                if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP))
                    run.on_sender_readable();
                if (run.tx_blocked && (events[i].events & (EPOLLOUT | EPOLLIN | EPOLLERR | EPOLLHUP))) {
                    run.tx_blocked = false;
                    run.set_tx_out(false);
                }
            } else {
                run.on_receiver(id);
            }
        }
    }
    if (!run.failed && o.duration <= 0) {
        for (std::size_t i = 0; i < run.rx.size(); ++i)
            if (run.rx[i].held)
                run.fail(exit_verify, "verify", format("receiver %zu: %zu stray bytes after the last message", i,
                                                       run.rx[i].held));
    }
    const double elapsed = t_end > 0 ? t_end - t_start : (t_start > 0 ? now_s() - t_start : 0);
    if (t_end == 0) {
        p_end = read_proc(o.relay_pid);
        gen1 = self_cpu_s();
    }
    const int code = finish(elapsed, p_start, p_end, rss_max, gen1 - gen0);
    for (Conn& c : run.rx) {
        if (c.ssl)
            SSL_free(c.ssl);
        close(c.fd);
    }
    for (Conn& c : stalled) {
        if (c.ssl)
            SSL_free(c.ssl);
        if (c.fd >= 0)
            close(c.fd);
    }
    if (run.tx.ssl)
        SSL_free(run.tx.ssl);
    if (run.tx.fd >= 0)
        close(run.tx.fd);
    if (run.ctx)
        SSL_CTX_free(run.ctx);
    return code;
}
