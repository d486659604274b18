#include "tls/q_tls_conn.h"

#include "shell/console.h"
#include "tls/q_tls.h"

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>
#include <climits>
#include <thread>

namespace {

// One SSL_write takes at most this much, so a large packet costs one library
// call and one flush per piece.
constexpr std::uint64_t WRITE_PIECE = 0x30000;

// The waits for other threads' calls to end: those calls end quickly,
// because the socket they use has been shut down.
constexpr auto WAIT_POLL = std::chrono::milliseconds(1);
// How long start waits for the operations of the slot's previous session.
constexpr auto PREVIOUS_SESSION_LIMIT = std::chrono::seconds(10);
// How long drop_connection waits for the socket calls its shutdown woke.
constexpr auto SOCKET_USERS_LIMIT = std::chrono::seconds(2);

int as_count(std::uint64_t size)
{
    return size > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

// An invalid lock (its creation failed, or the record is being destroyed)
// lets the operations run unlocked.
void lock_acquire(Q_EVENT& lock)
{
    if (lock.is_valid())
        lock.wait();
}

void lock_release(Q_EVENT& lock)
{
    if (lock.is_valid())
        lock.set();
}

// A socket call's hold on the record's socket: the number read on entry
// stays open until the call is over, and retries and waits of the call stay
// on that socket even if the record has meanwhile taken a new one. The count
// is raised before `so` is read, and drop_connection clears `so` before it
// reads the count: either the call sees no socket or the drop sees the call.
struct socket_use {
    q_tls_conn_t& c;
    SOCKET fd;

    explicit socket_use(q_tls_conn_t& conn) : c(conn)
    {
        c.so_users.fetch_add(1, std::memory_order_seq_cst);
        fd = c.so.load(std::memory_order_seq_cst);
    }

    ~socket_use() { c.so_users.fetch_sub(1, std::memory_order_release); }

    socket_use(const socket_use&) = delete;
    socket_use& operator=(const socket_use&) = delete;
};

void wait_for_socket_users(const q_tls_conn_t& c)
{
    auto limit = std::chrono::steady_clock::now() + SOCKET_USERS_LIMIT;
    while (c.so_users.load(std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(WAIT_POLL);
}

// The caller reports the error of the socket call that ended an operation;
// freeing a session on the way out must not change it.
struct errno_kept {
    int saved = WSAGetLastError();
    ~errno_kept() { WSASetLastError(saved); }
};

} // namespace

q_tls_conn_t::q_tls_conn_t()
{
    // Without the lock the record still works, only unserialised.
    lock.create(true);
}

q_tls_conn_t::~q_tls_conn_t()
{
    lock.release();
    drop_connection();
}

bool q_tls_conn_t::add_ref()
{
    std::int32_t count = refs.load(std::memory_order_acquire);
    while (count > 0)
        if (refs.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel, std::memory_order_acquire))
            return true;
    return false;
}

void q_tls_conn_t::drop_ref()
{
    if (refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    // The spare goes before `session` is cleared: a start that sees `session`
    // empty may install its own spare at once.
    buf_mem_st* buffer = spare;
    spare = nullptr;
    SSL* s = session.exchange(nullptr, std::memory_order_acq_rel);
    if (s) {
        errno_kept keep;
        // The close_notify this writes is never sent; shutting down only marks
        // the session as cleanly ended. A session that failed or never
        // finished its handshake must not be shut down.
        if (SSL_is_init_finished(s))
            SSL_shutdown(s);
        SSL_free(s);
        ERR_clear_error();
    }
    BUF_MEM_free(buffer);
}

bool q_tls_conn_t::hold(ssl_st* s)
{
    if (!add_ref())
        return false;
    // The count may belong to a session that replaced `s` after it was read;
    // that reference is given back at once.
    if (ssl.load(std::memory_order_acquire) == s)
        return true;
    drop_ref();
    return false;
}

std::int64_t q_tls_conn_t::recv_with_retry(void* buffer, std::int32_t size)
{
    socket_use use(*this);
    for (;;) {
        int n = ws2::recv(use.fd, buffer, size, 0);
        if (n > 0)
            return n;
        // An interrupted read that is made again has not failed: only the
        // error that ends the read is kept for the caller to report.
        int e = WSAGetLastError();
        if (!ws2::is_retry_error(e)) {
            last_recv_error.store(e, std::memory_order_relaxed);
            return n;
        }
        WSASetLastError(0);
    }
}

std::int64_t q_tls_conn_t::send_raw(const void* data, std::int32_t length)
{
    socket_use use(*this);
    int n = ws2::send(use.fd, data, length);
    while (n <= 0) {
        int e = WSAGetLastError();
        last_send_error.store(e, std::memory_order_relaxed);
        if (!ws2::is_wait_error(e))
            return n;
        // Without a socket there is nothing to wait for, and the wait has no
        // time-out. A socket dropped meanwhile was shut down: the wait ends.
        if (use.fd == INVALID_SOCKET || ws2::wait_writable(use.fd) <= 0)
            return n;
        WSASetLastError(0);
        n = ws2::send(use.fd, data, length);
    }
    return n;
}

namespace {

// A short socket send (an interrupted call) is continued: bytes left out of
// a TLS record stream would make the rest of it unreadable for the peer.
std::int64_t send_whole(q_tls_conn_t& c, const void* data, std::uint64_t length)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint64_t done = 0;
    do {
        std::int64_t n = c.send_raw(p + done, as_count(length - done));
        if (n <= 0)
            return n;
        done += static_cast<std::uint64_t>(n);
    } while (done < length);
    return static_cast<std::int64_t>(done);
}

bool is_current(const q_tls_conn_t& c, SSL* s)
{
    return c.ssl.load(std::memory_order_acquire) == s;
}

void set_ssl_error(q_tls_conn_t& c, int value)
{
    c.last_ssl_error.store(value, std::memory_order_relaxed);
}

// Sends everything the handshake step produced, however long the flight:
// a client that waits for the whole flight would otherwise never answer.
bool flush_handshake_output(q_tls_conn_t& c, SSL* s)
{
    BIO* w = SSL_get_wbio(s);
    const int chunk = as_count(c.p_recv_size);
    while (BIO_ctrl_pending(w) > 0) {
        int m = BIO_read(w, c.p_recv, chunk);
        if (m <= 0)
            return true;
        if (send_whole(c, c.p_recv, static_cast<std::uint64_t>(m)) <= 0)
            return false;
    }
    return true;
}

// One socket read per pass, fed to the library, and its answer sent. The
// result of the last SSL_accept.
int run_handshake(q_tls_conn_t& c, SSL* s)
{
    const int chunk = as_count(c.p_recv_size);
    int accepted = 0;
    for (;;) {
        if (!is_current(c, s)) {
            set_ssl_error(c, -1);
            break;
        }
        if (SSL_is_init_finished(s))
            break;
        std::int64_t n = c.recv_with_retry(c.p_recv, chunk);
        if (n <= 0) {
            set_ssl_error(c, 0);
            break;
        }
        if (!is_current(c, s)) {
            set_ssl_error(c, -1);
            break;
        }
        ERR_clear_error();
        int fed = BIO_write(SSL_get_rbio(s), c.p_recv, static_cast<int>(n));
        if (fed <= 0) {
            set_ssl_error(c, SSL_get_error(s, fed));
            break;
        }
        ERR_clear_error();
        set_ssl_error(c, SSL_ERROR_NONE);
        accepted = SSL_accept(s);
        int outcome = accepted > 0 ? SSL_ERROR_NONE : SSL_get_error(s, accepted);
        set_ssl_error(c, outcome);
        // A refusal goes out too: the client learns why (an alert) instead of
        // seeing the connection simply close.
        bool flushed = flush_handshake_output(c, s);
        if (outcome != SSL_ERROR_NONE && outcome != SSL_ERROR_WANT_READ)
            break;
        if (!flushed) {
            set_ssl_error(c, -1);
            break;
        }
        if (outcome != SSL_ERROR_WANT_READ)
            break;
    }
    return accepted;
}

// Takes the records out of wbio by putting the spare buffer in their place,
// so nothing the library writes while they are being sent can move or drop
// them. Null when wbio's buffer cannot be had; the records then stay.
BUF_MEM* take_records(q_tls_conn_t& c, BIO* w)
{
    BUF_MEM* records = nullptr;
    if (BIO_get_mem_ptr(w, &records) <= 0 || !records)
        return nullptr;
    // Without NOCLOSE, installing the spare would free the records' buffer.
    BIO_set_close(w, BIO_NOCLOSE);
    if (BIO_set_mem_buf(w, c.spare, BIO_CLOSE) <= 0) {
        BIO_set_close(w, BIO_CLOSE);
        return nullptr;
    }
    c.spare = nullptr;
    return records;
}

enum class flush_result { sent, no_buffer, failed };

// Sends the taken records outside the lock; the emptied buffer becomes the
// next spare, so steady traffic neither allocates nor copies. While the lock
// was free, the other thread may have added records behind these; finding no
// spare, it left them to this flush, which therefore goes on until wbio is
// empty: every record reaches the socket, in the order the library made them,
// whichever thread flushes.
flush_result flush_records(q_tls_conn_t& c, BIO* w, std::int64_t& sent)
{
    do {
        BUF_MEM* records = take_records(c, w);
        if (!records)
            return flush_result::no_buffer;
        lock_release(c.lock);
        sent = send_whole(c, records->data, records->length);
        lock_acquire(c.lock);
        records->length = 0;
        c.spare = records;
        if (sent <= 0)
            return flush_result::failed;
    } while (BIO_ctrl_pending(w) > 0);
    return flush_result::sent;
}

// What SSL_read itself wrote (an alert: the refusal of a renegotiation, or
// the reason a session fails) goes out now rather than with the writer's
// next packet, which may never come. While another flush is under way it
// goes out behind that flush's records instead. A failed send is left to the
// next socket read to find.
void send_what_the_read_wrote(q_tls_conn_t& c, SSL* s)
{
    BIO* w = SSL_get_wbio(s);
    if (!c.spare || BIO_ctrl_pending(w) == 0)
        return;
    std::int64_t sent = 0;
    flush_records(c, w, sent);
}

// SSL_read until it gives plaintext or fails, feeding it one socket read at a
// time. The lock is released around the socket read, so the writer never
// waits for the network on the reader's behalf.
// One socket read often carries several records, and one SSL_read gives the
// plaintext of one record. What the records already received hold is taken
// now as well, without another socket read, so the caller gets the whole
// read's worth in one call. Returns the bytes added; a failure is left for
// the next call to meet.
int read_buffered_records(SSL* s, std::uint8_t* buffer, int room)
{
    int added = 0;
    while (added < room && (SSL_pending(s) > 0 || BIO_ctrl_pending(SSL_get_rbio(s)) > 0)) {
        ERR_clear_error();
        int r = SSL_read(s, buffer + added, room - added);
        if (r <= 0)
            break;
        added += r;
    }
    ERR_clear_error();
    return added;
}

int read_plaintext(q_tls_conn_t& c, SSL* s, void* buffer, int count)
{
    int r = -1;
    lock_acquire(c.lock);
    for (;;) {
        if (!is_current(c, s)) {
            set_ssl_error(c, -1);
            break;
        }
        ERR_clear_error();
        r = SSL_read(s, buffer, count);
        int outcome = r > 0 ? SSL_ERROR_NONE : SSL_get_error(s, r);
        if (r > 0)
            r += read_buffered_records(s, static_cast<std::uint8_t*>(buffer) + r, count - r);
        send_what_the_read_wrote(c, s);
        if (r > 0)
            break;
        set_ssl_error(c, outcome);
        if (outcome != SSL_ERROR_WANT_READ)
            break;
        lock_release(c.lock);
        std::int64_t n = c.recv_with_retry(buffer, count);
        if (n <= 0) {
            set_ssl_error(c, 0);
            return r;
        }
        lock_acquire(c.lock);
        if (!is_current(c, s)) {
            set_ssl_error(c, -1);
            break;
        }
        ERR_clear_error();
        int fed = BIO_write(SSL_get_rbio(s), buffer, static_cast<int>(n));
        if (fed <= 0) {
            set_ssl_error(c, SSL_get_error(s, fed));
            break;
        }
    }
    lock_release(c.lock);
    return r;
}

// SSL_write in pieces, each piece's records flushed with one socket send.
// While another call's flush is under way (no spare), the records are left
// in wbio behind that flush's, which sends them next: the socket always gets
// the records in the order the library made them.
std::int64_t write_records(q_tls_conn_t& c, SSL* s, const void* data, std::uint64_t length)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint64_t remaining = length;
    int written = 0;
    std::int64_t result = -1;
    BIO* w = SSL_get_wbio(s);
    lock_acquire(c.lock);
    for (;;) {
        if (!is_current(c, s)) {
            set_ssl_error(c, -1);
            result = -1;
            break;
        }
        if (remaining > 0) {
            ERR_clear_error();
            written = SSL_write(s, p, static_cast<int>(remaining < WRITE_PIECE ? remaining : WRITE_PIECE));
            q_tls_conn_t::ssl_write_calls.fetch_add(1, std::memory_order_relaxed);
            if (written <= 0) {
                set_ssl_error(c, SSL_get_error(s, written));
                result = written;
                break;
            }
            p += written;
            remaining -= static_cast<std::uint64_t>(written);
        }
        bool flush_due = c.spare && BIO_ctrl_pending(w) > 0;
        if (!flush_due) {
            if (remaining == 0) {
                result = static_cast<std::int64_t>(length);
                break;
            }
            continue;
        }
        std::int64_t sent = 0;
        flush_result f = flush_records(c, w, sent);
        if (f == flush_result::no_buffer) {
            int outcome = SSL_get_error(s, written);
            set_ssl_error(c, outcome);
            out("tls.send::tls_bio_get_mem_ptr  %i\n", outcome);
            result = written;
            break;
        }
        if (f == flush_result::failed) {
            set_ssl_error(c, 0);
            result = sent;
            break;
        }
    }
    lock_release(c.lock);
    return result;
}

bool previous_session_ended(const q_tls_conn_t& c)
{
    auto limit = std::chrono::steady_clock::now() + PREVIOUS_SESSION_LIMIT;
    while (c.refs.load(std::memory_order_acquire) != 0 || c.session.load(std::memory_order_acquire) != nullptr) {
        if (std::chrono::steady_clock::now() >= limit)
            return false;
        std::this_thread::sleep_for(WAIT_POLL);
    }
    return true;
}

} // namespace

int q_tls_conn_t::start()
{
    // A session that was never dropped keeps its own reference: waiting for
    // it would never end.
    if (ssl.load(std::memory_order_acquire))
        return -1;
    // A late operation of the previous session still counts in `refs`; the
    // new session must not inherit it.
    if (!previous_session_ended(*this))
        return -1;
    SSL* s = g_tls.new_session();
    if (!s) {
        ERR_clear_error();
        return -1;
    }
    BIO* r = BIO_new(BIO_s_mem());
    BIO* w = BIO_new(BIO_s_mem());
    BUF_MEM* buffer = BUF_MEM_new();
    if (!r || !w || !buffer) {
        BIO_free(r);
        BIO_free(w);
        BUF_MEM_free(buffer);
        SSL_free(s);
        ERR_clear_error();
        return -1;
    }
    SSL_set_bio(s, r, w);
    last_recv_error.store(0, std::memory_order_relaxed);
    last_send_error.store(0, std::memory_order_relaxed);
    last_ssl_error.store(0, std::memory_order_relaxed);
    spare = buffer;
    session.store(s, std::memory_order_release);
    refs.exchange(1, std::memory_order_acq_rel);
    rbio.store(r, std::memory_order_release);
    wbio.store(w, std::memory_order_release);
    // Published last: whoever sees the session finds it complete and counted.
    ssl.store(s, std::memory_order_release);
    return 0;
}

int q_tls_conn_t::accept_handshake()
{
    set_ssl_error(*this, -1);
    SSL* s = ssl.load(std::memory_order_acquire);
    if (!s || !hold(s))
        return -1;
    if (!p_recv || p_recv_size == 0) {
        out("p_recv or p_recv_size not set\n");
        drop_ref();
        return -1;
    }
    int accepted = run_handshake(*this, s);
    drop_ref();
    return accepted == 1 ? 0 : -1;
}

std::int64_t q_tls_conn_t::recv(void* buffer, std::uint64_t size)
{
    SSL* s = ssl.load(std::memory_order_acquire);
    if (!s)
        return recv_with_retry(buffer, as_count(size));
    if (!hold(s)) {
        set_ssl_error(*this, -1);
        return -1;
    }
    int r = read_plaintext(*this, s, buffer, as_count(size));
    drop_ref();
    return r;
}

std::int64_t q_tls_conn_t::send(const void* data, std::uint64_t length)
{
    SSL* s = ssl.load(std::memory_order_acquire);
    if (!s)
        return send_whole(*this, data, length);
    if (!hold(s)) {
        set_ssl_error(*this, -1);
        return -1;
    }
    std::int64_t result = write_records(*this, s, data, length);
    drop_ref();
    return result;
}

void q_tls_conn_t::drop_connection()
{
    // The socket goes first: while the session is still set, a concurrent
    // call cannot take the plain path and put unencrypted bytes on the wire
    // (or hand received records up as data). Exchanges, so that of two
    // racing calls only one releases each part.
    SOCKET old = so.exchange(INVALID_SOCKET, std::memory_order_seq_cst);
    if (old != INVALID_SOCKET) {
        // The shutdown wakes the calls blocked on the socket; it is closed
        // once they have let go of it.
        ws2::shutdown(old, SD_BOTH);
        wait_for_socket_users(*this);
        closesocket(old);
    }
    SSL* s = ssl.exchange(nullptr, std::memory_order_acq_rel);
    rbio.store(nullptr, std::memory_order_release);
    wbio.store(nullptr, std::memory_order_release);
    if (s)
        drop_ref();
}

namespace {

// The close_notify goes into wbio behind the records already there and is
// sent with them; while another call's flush is under way, that flush sends
// it next.
bool send_close_notify(q_tls_conn_t& c, SSL* s)
{
    bool sent = true;
    lock_acquire(c.lock);
    if (is_current(c, s) && SSL_is_init_finished(s)) {
        ERR_clear_error();
        (void)SSL_shutdown(s);
        BIO* w = SSL_get_wbio(s);
        std::int64_t n = 0;
        if (c.spare && BIO_ctrl_pending(w) > 0)
            sent = flush_records(c, w, n) == flush_result::sent;
        ERR_clear_error();
    }
    lock_release(c.lock);
    return sent;
}

} // namespace

int q_tls_conn_t::end_sending()
{
    bool sent = true;
    SSL* s = ssl.load(std::memory_order_acquire);
    if (s && hold(s)) {
        sent = send_close_notify(*this, s);
        drop_ref();
    }
    socket_use use(*this);
    if (use.fd == INVALID_SOCKET)
        return -1;
    ws2::shutdown(use.fd, SD_SEND);
    return sent ? 0 : -1;
}

int q_tls_conn_t::set_recv_timeout(std::uint32_t milliseconds)
{
    socket_use use(*this);
    if (use.fd == INVALID_SOCKET)
        return -1;
    return ws2::set_recv_timeout(use.fd, milliseconds);
}

void q_tls_conn_t::linger(void* buffer, std::int32_t size, std::uint32_t step_ms, std::uint32_t limit_ms)
{
    socket_use use(*this);
    if (use.fd == INVALID_SOCKET)
        return;
    ws2::shutdown(use.fd, SD_SEND);
    ws2::set_recv_timeout(use.fd, step_ms);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        const int n = ws2::recv(use.fd, buffer, size, 0);
        if (n == 0 || (n < 0 && !ws2::is_retry_error(WSAGetLastError())))
            return;
    }
}
