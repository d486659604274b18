#include "support/sockets.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

int WSAStartup(std::uint16_t, WSADATA* data)
{
    if (data) {
        data->wVersion = WINSOCK_VERSION_2_2;
        data->wHighVersion = WINSOCK_VERSION_2_2;
    }
    return 0;
}

int WSACleanup() { return 0; }

int WSAGetLastError() { return errno; }

void WSASetLastError(int error) { errno = error; }

int closesocket(SOCKET so)
{
    errno = 0;
    return ::close(so);
}

namespace ws2 {

SOCKET socket(int af, int type, int protocol)
{
    errno = 0;
    return ::socket(af, type | SOCK_CLOEXEC, protocol);
}

int bind(SOCKET so, const sockaddr_in& addr)
{
    errno = 0;
    return ::bind(so, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
}

int listen(SOCKET so, int backlog)
{
    errno = 0;
    return ::listen(so, backlog);
}

SOCKET accept(SOCKET so, sockaddr_in* addr, int* addr_size)
{
    socklen_t size = addr_size ? static_cast<socklen_t>(*addr_size) : 0;
    errno = 0;
    SOCKET s = ::accept4(so, reinterpret_cast<sockaddr*>(addr), addr ? &size : nullptr, SOCK_CLOEXEC);
    if (addr_size)
        *addr_size = static_cast<int>(size);
    return s;
}

int connect(SOCKET so, const sockaddr_in& addr)
{
    errno = 0;
    return ::connect(so, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
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
    return static_cast<int>(::send(so, data, static_cast<size_t>(length), MSG_NOSIGNAL));
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

int setsockopt_int(SOCKET so, int level, int option, int value)
{
    errno = 0;
    return ::setsockopt(so, level, option, &value, sizeof(value));
}

int set_recv_timeout(SOCKET so, std::uint32_t milliseconds)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
    tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    errno = 0;
    return ::setsockopt(so, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

std::uint32_t inet_addr(const char* dotted) { return ::inet_addr(dotted); }
std::uint16_t host_to_net16(std::uint16_t v) { return htons(v); }
std::uint16_t net_to_host16(std::uint16_t v) { return ntohs(v); }

bool is_retry_error(int error) { return error == EINTR; }

bool is_wait_error(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS; }

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

} // namespace ws2
