#include "support/sys_error.h"

#include <cstdio>
#include <windows.h>

namespace {

// Texts for the socket errors the hub meets, for a system message table
// that has none for them.
struct socket_text {
    std::uint32_t error;
    const char* text;
};

constexpr socket_text SOCKET_TEXTS[] = {
    {10004, "A blocking call was interrupted."},
    {10013, "Access to the socket was denied."},
    {10022, "An invalid argument was supplied."},
    {10024, "Too many open sockets."},
    {10035, "The operation would block."},
    {10038, "The operation was attempted on something that is not a socket."},
    {10048, "The address is already in use."},
    {10049, "The requested address is not valid in its context."},
    {10050, "The network is down."},
    {10051, "The network is unreachable."},
    {10053, "The connection was aborted by the software in the host."},
    {10054, "The connection was reset by the remote host."},
    {10055, "No buffer space is available."},
    {10057, "The socket is not connected."},
    {10058, "The socket has been shut down."},
    {10060, "The connection timed out."},
    {10061, "The connection was refused."},
    {10065, "No route to the host."},
};

const char* socket_error_text(std::uint32_t error)
{
    for (const socket_text& t : SOCKET_TEXTS)
        if (t.error == error)
            return t.text;
    return nullptr;
}

// The system's text in UTF-8, without its closing line end; false when the
// table has no text for the number.
bool format_system_text(std::uint32_t error, char* buffer, std::size_t size)
{
    wchar_t* wide = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<wchar_t*>(&wide), 0, nullptr);
    if (length == 0 || !wide) {
        if (wide)
            LocalFree(wide);
        return false;
    }
    DWORD n = length;
    while (n > 0 && (wide[n - 1] == L'\r' || wide[n - 1] == L'\n' || wide[n - 1] == L' '))
        --n;
    int written = n == 0 ? 0
                         : WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), buffer,
                                               static_cast<int>(size - 1), nullptr, nullptr);
    LocalFree(wide);
    if (written <= 0)
        return false;
    buffer[written] = '\0';
    return true;
}

} // namespace

const char* system_error_text(std::uint32_t error, char* buffer, std::size_t size)
{
    if (!buffer || size == 0)
        return nullptr;
    if (format_system_text(error, buffer, size))
        return buffer;
    const char* fallback = socket_error_text(error);
    if (!fallback)
        return nullptr;
    std::snprintf(buffer, size, "%s", fallback);
    return buffer;
}
