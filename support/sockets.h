// The socket layer: the Windows Sockets names the rest of the hub is written
// against, over Winsock 2 on Windows and over BSD sockets on Linux. Code
// outside support/ reaches the network only through this header, which
// carries no system type: addresses, options and error numbers have names of
// its own here.
#pragma once

#include <cstdint>

#if defined(_WIN32)
using SOCKET = std::uintptr_t;  // the width of the system's socket handle
#else
using SOCKET = int;
#endif

namespace ws2 {

inline constexpr SOCKET invalid_socket = static_cast<SOCKET>(~static_cast<SOCKET>(0));

// Values shared by both systems' socket interfaces.
inline constexpr int af_inet = 2;
inline constexpr int sock_stream = 1;
inline constexpr int ipproto_tcp = 6;
inline constexpr int msg_peek = 2;

// The error numbers the portable code tests for, as each system gives them.
#if defined(_WIN32)
inline constexpr int error_interrupted = 10004;        // WSAEINTR
inline constexpr int error_not_socket = 10038;         // WSAENOTSOCK
inline constexpr int error_connection_aborted = 10053; // WSAECONNABORTED
inline constexpr int error_connection_reset = 10054;   // WSAECONNRESET
inline constexpr int error_timed_out = 10060;          // WSAETIMEDOUT
inline constexpr int error_send_timed_out = 10060;     // WSAETIMEDOUT: SO_SNDTIMEO or the user time-out
inline constexpr int error_connection_refused = 10061; // WSAECONNREFUSED
#else
inline constexpr int error_interrupted = 4;            // EINTR
inline constexpr int error_not_socket = 9;             // EBADF: a descriptor already closed
inline constexpr int error_connection_aborted = 103;   // ECONNABORTED
inline constexpr int error_connection_reset = 104;     // ECONNRESET
inline constexpr int error_timed_out = 11;             // EAGAIN: how SO_RCVTIMEO expires
inline constexpr int error_send_timed_out = 110;       // ETIMEDOUT: SO_SNDTIMEO or TCP_USER_TIMEOUT expired
inline constexpr int error_connection_refused = 111;   // ECONNREFUSED
#endif

// An IPv4 address and port, both in network byte order as on the wire.
struct address {
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
};
// The size of the system's IPv4 address record, as accept reports it.
inline constexpr int address_size = 16;

// The socket options the hub sets. Values are ints: byte counts, 0/1 flags,
// or seconds for the keep-alive times.
enum class option {
    recv_buffer,    // SO_RCVBUF
    send_buffer,    // SO_SNDBUF
    no_delay,       // TCP_NODELAY
    reuse_address,  // SO_REUSEADDR
    keep_alive,     // SO_KEEPALIVE
    keep_idle,      // TCP_KEEPIDLE: seconds before the first probe
    keep_interval,  // TCP_KEEPINTVL: seconds between probes
    keep_count,     // TCP_KEEPCNT: unanswered probes before the connection is dropped
    user_timeout,   // TCP_USER_TIMEOUT: milliseconds sent data may stay unacknowledged (also
                    // while the peer's window stays closed) before the connection fails;
                    // a system without it ignores the option
};

struct startup_data {
    std::uint16_t wVersion;
    std::uint16_t wHighVersion;
};

// Winsock start-up (Linux: nothing to do; it reports 2.2). 0 or the error.
int startup(std::uint16_t version_requested, startup_data* data);
int cleanup();

// The calling thread's last socket error. Cleared before each call whose
// error is read afterwards, so a success never leaves a stale number.
int last_error();
void set_last_error(int error);

int close(SOCKET so);
SOCKET socket(int af, int type, int protocol);
int bind(SOCKET so, const address& addr);
int listen(SOCKET so, int backlog);
// addr and addr_size may be null; *addr_size is set to the record's size.
SOCKET accept(SOCKET so, address* addr, int* addr_size);
int connect(SOCKET so, const address& addr);
// flags: 0 or msg_peek. Returns the count, 0 on orderly close, -1 on error.
int recv(SOCKET so, void* buffer, int length, int flags);
// Never raises SIGPIPE: a peer that has gone shows as an error. A send that
// made no progress within the send time-out fails with error_send_timed_out.
int send(SOCKET so, const void* data, int length);
// Blocks until the socket can be written or has failed; no time-out.
// Returns the number of ready sockets, 0 or -1 like select().
int wait_writable(SOCKET so);
// how: SD_BOTH (2 on both systems) or SD_SEND (1 on both: sending only).
int shutdown(SOCKET so, int how);
int set_option(SOCKET so, option which, int value);
// SO_RCVTIMEO in milliseconds; 0 means no time-out. An expiry shows as
// error_timed_out.
int set_recv_timeout(SOCKET so, std::uint32_t milliseconds);
// SO_SNDTIMEO in milliseconds: how long one send may wait for room in the
// send buffer without any of its bytes being taken; 0 means no time-out.
int set_send_timeout(SOCKET so, std::uint32_t milliseconds);

std::uint32_t inet_addr(const char* dotted);
// Byte order of ports. Not named htons/ntohs: glibc makes those macros when
// optimising, and a macro would rewrite these names.
std::uint16_t host_to_net16(std::uint16_t v);
std::uint16_t net_to_host16(std::uint16_t v);

// An interrupted call: the read is simply made again.
bool is_retry_error(int error);
// The system is short of buffer memory: wait until writable, then send
// again. (A full send buffer blocks the send itself, up to its time-out.)
bool is_wait_error(int error);
// accept failed for this one connection only (reset or aborted before it was
// taken, a network error passed on, an interrupted call): accept again.
bool is_accept_retry_error(int error);
// The peer went away (aborted, reset, or a broken pipe on send): not worth reporting.
bool is_disconnect_error(int error);
// accept failed for want of a resource that comes back (descriptors of the
// process or the system, buffer space, memory): the listening socket is fine.
bool is_accept_pause_error(int error);

} // namespace ws2

// The Windows Sockets names of the portable code. The implementation files
// include the system's own headers, which define these names themselves.
#if !defined(RELAYHUB_SOCKETS_IMPLEMENTATION)

inline constexpr SOCKET INVALID_SOCKET = ws2::invalid_socket;
inline constexpr int SOCKET_ERROR = -1;
inline constexpr int SD_BOTH = 2;
inline constexpr int SD_SEND = 1;

inline constexpr int WSAEINTR = ws2::error_interrupted;
inline constexpr int WSAECONNABORTED = ws2::error_connection_aborted;
inline constexpr int WSAECONNRESET = ws2::error_connection_reset;
inline constexpr int WSAECONNREFUSED = ws2::error_connection_refused;

inline constexpr std::uint16_t WINSOCK_VERSION_2_2 = 0x0202;

using WSADATA = ws2::startup_data;

inline int WSAStartup(std::uint16_t version_requested, WSADATA* data) { return ws2::startup(version_requested, data); }
inline int WSACleanup() { return ws2::cleanup(); }
inline int WSAGetLastError() { return ws2::last_error(); }
inline void WSASetLastError(int error) { ws2::set_last_error(error); }
inline int closesocket(SOCKET so) { return ws2::close(so); }

#endif
