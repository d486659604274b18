// The socket layer: the Windows Sockets names the rest of the hub is written
// against, implemented over BSD sockets. Code outside support/ reaches the
// network only through this header.
#pragma once

#include <cerrno>
#include <cstdint>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using SOCKET = int;
inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;
inline constexpr int SD_BOTH = SHUT_RDWR;

// Error numbers the hub tests for. They are the system's errno values.
inline constexpr int WSAEINTR = EINTR;
inline constexpr int WSAECONNABORTED = ECONNABORTED;
inline constexpr int WSAECONNRESET = ECONNRESET;
inline constexpr int WSAECONNREFUSED = ECONNREFUSED;

inline constexpr std::uint16_t WINSOCK_VERSION_2_2 = 0x0202;

struct WSADATA {
    std::uint16_t wVersion;
    std::uint16_t wHighVersion;
};

// Start-up and clean-up have nothing to do here; start-up reports 2.2.
int WSAStartup(std::uint16_t version_requested, WSADATA* data);
int WSACleanup();

// The calling thread's last socket error (errno). Cleared before each call
// whose error is read afterwards, so a success never leaves a stale number.
int WSAGetLastError();
void WSASetLastError(int error);

int closesocket(SOCKET so);

namespace ws2 {

SOCKET socket(int af, int type, int protocol);
int bind(SOCKET so, const sockaddr_in& addr);
int listen(SOCKET so, int backlog);
// addr and addr_size may be null; addr_size is in/out as with accept().
SOCKET accept(SOCKET so, sockaddr_in* addr, int* addr_size);
int connect(SOCKET so, const sockaddr_in& addr);
// flags: 0 or MSG_PEEK. Returns the count, 0 on orderly close, -1 on error.
int recv(SOCKET so, void* buffer, int length, int flags);
// Never raises SIGPIPE: a peer that has gone shows as EPIPE.
int send(SOCKET so, const void* data, int length);
// Blocks until the socket can be written or has failed; no time-out.
// Returns the number of ready descriptors, 0 or -1 like select().
int wait_writable(SOCKET so);
int shutdown(SOCKET so, int how);
int setsockopt_int(SOCKET so, int level, int option, int value);
// SO_RCVTIMEO in milliseconds; 0 means no time-out. An expiry shows as EAGAIN.
int set_recv_timeout(SOCKET so, std::uint32_t milliseconds);

std::uint32_t inet_addr(const char* dotted);
// Byte order of ports. Not named htons/ntohs: glibc makes those macros when
// optimising, and a macro would rewrite these names.
std::uint16_t host_to_net16(std::uint16_t v);
std::uint16_t net_to_host16(std::uint16_t v);

// An interrupted call: the read is simply made again.
bool is_retry_error(int error);
// The send buffer is full or short of memory: wait until writable, then send again.
bool is_wait_error(int error);
// accept failed for this one connection only (reset or aborted before it was
// taken, a network error passed on, an interrupted call): accept again.
bool is_accept_retry_error(int error);
// The peer went away (aborted, reset, or a broken pipe on send): not worth reporting.
bool is_disconnect_error(int error);

} // namespace ws2
