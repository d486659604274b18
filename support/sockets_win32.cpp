#define RELAYHUB_SOCKETS_IMPLEMENTATION
#include "support/sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

// The keep-alive options by number where the headers are older than them.
#ifndef TCP_KEEPIDLE
#define TCP_KEEPIDLE 3
#endif
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif
#ifndef TCP_KEEPINTVL
#define TCP_KEEPINTVL 17
#endif
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif

static_assert(sizeof(SOCKET) == sizeof(std::uintptr_t) && ws2::invalid_socket == INVALID_SOCKET);
static_assert(ws2::af_inet == AF_INET && ws2::sock_stream == SOCK_STREAM && ws2::ipproto_tcp == IPPROTO_TCP);
static_assert(ws2::msg_peek == MSG_PEEK && SD_BOTH == 2);
static_assert(ws2::error_interrupted == WSAEINTR && ws2::error_not_socket == WSAENOTSOCK);
static_assert(ws2::error_connection_aborted == WSAECONNABORTED && ws2::error_connection_reset == WSAECONNRESET);
static_assert(ws2::error_timed_out == WSAETIMEDOUT && ws2::error_connection_refused == WSAECONNREFUSED);
static_assert(ws2::address_size == sizeof(sockaddr_in));

namespace ws2 {

namespace {

sockaddr_in to_system(const address& a)
{
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_port = a.port;
    s.sin_addr.s_addr = a.ip;
    return s;
}

struct option_name {
    int level;
    int name;
};

option_name system_option(option which)
{
    switch (which) {
    case option::recv_buffer:
        return {SOL_SOCKET, SO_RCVBUF};
    case option::send_buffer:
        return {SOL_SOCKET, SO_SNDBUF};
    case option::no_delay:
        return {IPPROTO_TCP, TCP_NODELAY};
    case option::reuse_address:
        return {SOL_SOCKET, SO_REUSEADDR};
    case option::keep_alive:
        return {SOL_SOCKET, SO_KEEPALIVE};
    case option::keep_idle:
        return {IPPROTO_TCP, TCP_KEEPIDLE};
    case option::keep_interval:
        return {IPPROTO_TCP, TCP_KEEPINTVL};
    case option::keep_count:
        return {IPPROTO_TCP, TCP_KEEPCNT};
    case option::user_timeout:
        // The nearest Windows has: the retransmission time-out, in seconds.
        return {IPPROTO_TCP, TCP_MAXRT};
    }
    return {-1, -1};
}

} // namespace

int startup(std::uint16_t version_requested, startup_data* data)
{
    WSADATA wsa{};
    const int rc = ::WSAStartup(version_requested, &wsa);
    if (data) {
        data->wVersion = wsa.wVersion;
        data->wHighVersion = wsa.wHighVersion;
    }
    return rc;
}

int cleanup() { return ::WSACleanup(); }

int last_error() { return ::WSAGetLastError(); }

void set_last_error(int error) { ::WSASetLastError(error); }

int close(SOCKET so)
{
    ::WSASetLastError(0);
    return ::closesocket(so);
}

SOCKET socket(int af, int type, int protocol)
{
    ::WSASetLastError(0);
    // WSA_FLAG_NO_HANDLE_INHERIT: a child process never holds a relay socket.
    return ::WSASocketW(af, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

int bind(SOCKET so, const address& addr)
{
    sockaddr_in s = to_system(addr);
    ::WSASetLastError(0);
    return ::bind(so, reinterpret_cast<const sockaddr*>(&s), sizeof(s));
}

int listen(SOCKET so, int backlog)
{
    ::WSASetLastError(0);
    return ::listen(so, backlog);
}

SOCKET accept(SOCKET so, address* addr, int* addr_size)
{
    sockaddr_in s{};
    int size = sizeof(s);
    ::WSASetLastError(0);
    SOCKET c = ::accept(so, reinterpret_cast<sockaddr*>(&s), &size);
    if (addr && c != INVALID_SOCKET) {
        addr->ip = s.sin_addr.s_addr;
        addr->port = s.sin_port;
    }
    if (addr_size)
        *addr_size = size;
    return c;
}

int connect(SOCKET so, const address& addr)
{
    sockaddr_in s = to_system(addr);
    ::WSASetLastError(0);
    return ::connect(so, reinterpret_cast<const sockaddr*>(&s), sizeof(s));
}

int recv(SOCKET so, void* buffer, int length, int flags)
{
    ::WSASetLastError(0);
    if (length < 0)
        length = 0;
    return ::recv(so, static_cast<char*>(buffer), length, flags);
}

int send(SOCKET so, const void* data, int length)
{
    ::WSASetLastError(0);
    if (length < 0)
        length = 0;
    return ::send(so, static_cast<const char*>(data), length, 0);
}

int wait_writable(SOCKET so)
{
    // A Windows fd_set is a list of sockets, not a bit map: any socket fits.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(so, &writable);
    FD_SET(so, &failed);
    ::WSASetLastError(0);
    return ::select(0, nullptr, &writable, &failed, nullptr);
}

int shutdown(SOCKET so, int how)
{
    ::WSASetLastError(0);
    const int rc = ::shutdown(so, how);
    const int error = ::WSAGetLastError();
    // A shutdown leaves the calls blocked on the socket waiting on Windows;
    // cancelling the socket's pending I/O wakes them with an error, as the
    // shutdown itself does on Linux, so the caller can close the socket
    // once they have let go of it.
    if (how == SD_BOTH)
        (void)CancelIoEx(reinterpret_cast<HANDLE>(so), nullptr);
    ::WSASetLastError(error);
    return rc;
}

int set_option(SOCKET so, option which, int value)
{
    option_name o = system_option(which);
    if (which == option::user_timeout)
        value = value <= 0 ? value : (value + 999) / 1000;
    ::WSASetLastError(0);
    return ::setsockopt(so, o.level, o.name, reinterpret_cast<const char*>(&value), sizeof(value));
}

int set_recv_timeout(SOCKET so, std::uint32_t milliseconds)
{
    const DWORD timeout = milliseconds;
    ::WSASetLastError(0);
    return ::setsockopt(so, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
}

int set_send_timeout(SOCKET so, std::uint32_t milliseconds)
{
    const DWORD timeout = milliseconds;
    ::WSASetLastError(0);
    return ::setsockopt(so, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
}

std::uint32_t inet_addr(const char* dotted) { return ::inet_addr(dotted); }
std::uint16_t host_to_net16(std::uint16_t v) { return ::htons(v); }
std::uint16_t net_to_host16(std::uint16_t v) { return ::ntohs(v); }

bool is_retry_error(int error) { return error == WSAEINTR; }

bool is_wait_error(int error) { return error == WSAENOBUFS; }

bool is_accept_retry_error(int error)
{
    switch (error) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
    // wine gives this for a connection the peer reset before it was taken.
    case WSAENOTCONN:
    case WSAENETDOWN:
    case WSAENOPROTOOPT:
    case WSAEHOSTDOWN:
    case WSAEHOSTUNREACH:
    case WSAEOPNOTSUPP:
    case WSAENETUNREACH:
        return true;
    default:
        // WSAEINTR is not among them: Windows gives it to every accept
        // blocked on a listening socket that is closed, the hub's stop.
        return false;
    }
}

bool is_disconnect_error(int error)
{
    return error == WSAECONNABORTED || error == WSAECONNRESET || error == WSAESHUTDOWN;
}

bool is_accept_pause_error(int error)
{
    return error == WSAEMFILE || error == WSAENOBUFS || error == ERROR_NOT_ENOUGH_MEMORY;
}

} // namespace ws2
