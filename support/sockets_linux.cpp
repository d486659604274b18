#define RELAYHUB_SOCKETS_IMPLEMENTATION
#include "support/sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static_assert(ws2::af_inet == AF_INET && ws2::sock_stream == SOCK_STREAM && ws2::ipproto_tcp == IPPROTO_TCP);
static_assert(ws2::msg_peek == MSG_PEEK && SHUT_RDWR == 2);
static_assert(ws2::error_interrupted == EINTR && ws2::error_not_socket == EBADF);
static_assert(ws2::error_connection_aborted == ECONNABORTED && ws2::error_connection_reset == ECONNRESET);
static_assert(ws2::error_timed_out == EAGAIN && ws2::error_connection_refused == ECONNREFUSED);
static_assert(ws2::address_size == sizeof(sockaddr_in));
static_assert(ws2::error_send_timed_out == ETIMEDOUT);

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
        return {IPPROTO_TCP, TCP_USER_TIMEOUT};
    }
    return {-1, -1};
}

} // namespace

int startup(std::uint16_t, startup_data* data)
{
    if (data) {
        data->wVersion = 0x0202;
        data->wHighVersion = 0x0202;
    }
    return 0;
}

int cleanup() { return 0; }

int last_error() { return errno; }

void set_last_error(int error) { errno = error; }

int close(SOCKET so)
{
    errno = 0;
    return ::close(so);
}

SOCKET socket(int af, int type, int protocol)
{
    errno = 0;
    return ::socket(af, type | SOCK_CLOEXEC, protocol);
}

int bind(SOCKET so, const address& addr)
{
    sockaddr_in s = to_system(addr);
    errno = 0;
    return ::bind(so, reinterpret_cast<const sockaddr*>(&s), sizeof(s));
}

int listen(SOCKET so, int backlog)
{
    errno = 0;
    return ::listen(so, backlog);
}

SOCKET accept(SOCKET so, address* addr, int* addr_size)
{
    sockaddr_in s{};
    socklen_t size = sizeof(s);
    errno = 0;
    SOCKET c = ::accept4(so, reinterpret_cast<sockaddr*>(&s), &size, SOCK_CLOEXEC);
    if (addr && c != -1) {
        addr->ip = s.sin_addr.s_addr;
        addr->port = s.sin_port;
    }
    if (addr_size)
        *addr_size = static_cast<int>(size);
    return c;
}

int connect(SOCKET so, const address& addr)
{
    sockaddr_in s = to_system(addr);
    errno = 0;
    return ::connect(so, reinterpret_cast<const sockaddr*>(&s), sizeof(s));
}

int recv(SOCKET so, void* buffer, int length, int flags)
{
    errno = 0;
    if (length < 0)
        length = 0;
    return static_cast<int>(::recv(so, buffer, static_cast<size_t>(length), flags));
}

int send(SOCKET so, const void* data, int length)
{
    errno = 0;
    if (length < 0)
        length = 0;
    int n = static_cast<int>(::send(so, data, static_cast<size_t>(length), MSG_NOSIGNAL));
    // The hub's sockets block: "try again" from a blocking send is the send
    // time-out expiring. It is named as the time-out it is, as Windows does.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        errno = ETIMEDOUT;
    return n;
}

int wait_writable(SOCKET so)
{
    // poll rather than select: no FD_SETSIZE ceiling on descriptor numbers.
    pollfd p{};
    p.fd = so;
    p.events = POLLOUT;
    errno = 0;
    return ::poll(&p, 1, -1);
}

int shutdown(SOCKET so, int how)
{
    errno = 0;
    return ::shutdown(so, how);
}

int set_option(SOCKET so, option which, int value)
{
    option_name o = system_option(which);
    errno = 0;
    return ::setsockopt(so, o.level, o.name, &value, sizeof(value));
}

int set_recv_timeout(SOCKET so, std::uint32_t milliseconds)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
    tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    errno = 0;
    return ::setsockopt(so, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

int set_send_timeout(SOCKET so, std::uint32_t milliseconds)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
    tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    errno = 0;
    return ::setsockopt(so, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

std::uint32_t inet_addr(const char* dotted) { return ::inet_addr(dotted); }
std::uint16_t host_to_net16(std::uint16_t v) { return htons(v); }
std::uint16_t net_to_host16(std::uint16_t v) { return ntohs(v); }

bool is_retry_error(int error) { return error == EINTR; }

bool is_wait_error(int error) { return error == ENOBUFS; }

bool is_accept_retry_error(int error)
{
    switch (error) {
    case ECONNRESET:
    case ECONNABORTED:
    case EINTR:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

bool is_disconnect_error(int error)
{
    return error == ECONNABORTED || error == ECONNRESET || error == EPIPE;
}

bool is_accept_pause_error(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

} // namespace ws2
