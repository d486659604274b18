// q_tls_conn_t: a connection's transport. Every read and write of a
// connection goes through it: plain socket calls, or a TLS session driven
// through two memory BIOs. A slot's reader and writer share it; the lock
// serialises the session, and the reference count keeps it alive while an
// operation runs.
#pragma once

#include "support/q_event.h"
#include "support/sockets.h"

#include <atomic>
#include <cstdint>

struct ssl_st;
struct bio_st;
struct buf_mem_st;

struct q_tls_conn_t {
    std::atomic<ssl_st*> ssl{nullptr};
    std::atomic<std::int32_t> refs{0};
    Q_EVENT lock;
    std::atomic<bio_st*> rbio{nullptr};
    std::atomic<bio_st*> wbio{nullptr};
    std::atomic<SOCKET> so{INVALID_SOCKET};
    std::atomic<std::int32_t> last_recv_error{0};
    std::atomic<std::int32_t> last_send_error{0};
    std::atomic<std::int32_t> last_ssl_error{0};
    std::uint8_t* p_recv = nullptr;
    std::uint64_t p_recv_size = 0;

    // The SSL object until the last reference frees it; unlike `ssl` it is
    // not cleared by drop_connection, so the last dropper always finds it.
    std::atomic<ssl_st*> session{nullptr};
    // Socket calls in progress. drop_connection closes the socket only once
    // they have returned (its shutdown makes them return at once), so the
    // number of a closed socket is never reused under a call still using it.
    std::atomic<std::int32_t> so_users{0};
    // The write buffer that is swapped into wbio when a flush takes the
    // records out, so they travel to the socket outside the lock while the
    // library writes into the other buffer. Null while a flush is under way:
    // that flush then also sends what other calls add meanwhile. Touched only
    // under the lock (or by the last reference).
    buf_mem_st* spare = nullptr;

    // SSL_write calls made by all records of the process; lets a test see
    // how a large send was cut into library calls.
    static inline std::atomic<std::uint64_t> ssl_write_calls{0};

    q_tls_conn_t();
    q_tls_conn_t(const q_tls_conn_t&) = delete;
    q_tls_conn_t& operator=(const q_tls_conn_t&) = delete;
    ~q_tls_conn_t();

    // Waits until every operation of the slot's previous TLS connection has
    // ended, then makes a new SSL object on the context in use over two memory
    // BIOs; refs = 1. 0 on success, -1 on failure (the record is left for
    // drop_connection).
    int start();
    // 0 when the handshake completed, -1 otherwise.
    int accept_handshake();
    // Bytes placed in the buffer (> 0), 0 or less on end of stream or failure.
    std::int64_t recv(void* buffer, std::uint64_t size);
    // The full length when everything was sent, 0 or less on failure.
    std::int64_t send(const void* data, std::uint64_t length);
    // The result of the last socket send.
    std::int64_t send_raw(const void* data, std::int32_t length);
    // Idempotent; safe from either thread while the other is inside an operation.
    void drop_connection();
    // The orderly end of the connection's sending side: a TLS session sends
    // its close_notify behind every record made before it, then the socket
    // stops sending, so the peer reads to the end of the stream; reading
    // goes on until the peer closes too. Nothing can be sent afterwards.
    // 0 when the end was sent, -1 otherwise (no socket, a failed send).
    int end_sending();
    // The receive time-out of the connection's socket, in milliseconds (0:
    // none). The socket is held for the call, so a concurrent drop can never
    // let it reach another connection that reused the socket's number.
    int set_recv_timeout(std::uint32_t milliseconds);
    // After the hub's close frame: the socket stops sending, then what the
    // peer still sends is read and discarded until it closes too, falls
    // silent for `step_ms`, or `limit_ms` have passed. Closing a socket with
    // unread data resets the connection, and a reset can discard what was
    // sent last. The socket is held throughout, as above.
    void linger(void* buffer, std::int32_t size, std::uint32_t step_ms, std::uint32_t limit_ms);

    // One more reference on the open session; fails once the count has
    // fallen to 0, so a closed session is never revived.
    bool add_ref();
    // The last reference frees the session held in `session`.
    void drop_ref();
    // A reference on the session `s` that the caller read from `ssl`: false
    // when the session has been closed or replaced meanwhile.
    bool hold(ssl_st* s);
    // One socket read, made again while the call was only interrupted.
    std::int64_t recv_with_retry(void* buffer, std::int32_t size);
};
