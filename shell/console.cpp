#include "shell/console.h"

#include "support/console_stream.h"
#include "support/sys_error.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

namespace {

// Formats into a buffer and writes it in one call, so a message of one
// thread is never cut by another's.
void write_formatted(console_stream stream, const char* format, va_list args)
{
    char buffer[4096];
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof(buffer)) {
        va_end(again);
        console_write(stream, buffer, static_cast<std::size_t>(n));
        return;
    }
    std::unique_ptr<char[]> large(new (std::nothrow) char[static_cast<std::size_t>(n) + 1]);
    if (large && std::vsnprintf(large.get(), static_cast<std::size_t>(n) + 1, format, again) == n)
        console_write(stream, large.get(), static_cast<std::size_t>(n));
    else
        console_write(stream, buffer, sizeof(buffer) - 1);
    va_end(again);
}

void print_to(console_stream stream, const char* format, ...) RELAYHUB_PRINTF_FORMAT(2, 3);

void print_to(console_stream stream, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    write_formatted(stream, format, args);
    va_end(args);
}

std::uint32_t report_to(console_stream stream, std::uint32_t error, const char* text)
{
    char buffer[512];
    const char* message = system_error_text(error, buffer, sizeof(buffer));
    if (text)
        print_to(stream, "%s\n", text);
    if (message)
        print_to(stream, "   ^ERROR: %u, %s\n", error, message);
    else
        print_to(stream, "   ^ERROR: %u, (null)", error);
    return error;
}

} // namespace

void console_init()
{
    console_streams_init();
}

void out(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    write_formatted(console_stream::out, format, args);
    va_end(args);
}

void err(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    write_formatted(console_stream::err, format, args);
    va_end(args);
}

std::uint32_t report_error(std::uint32_t error, const char* text)
{
    return report_to(console_stream::out, error, text);
}

std::uint32_t report_error_stderr(std::uint32_t error, const char* text)
{
    return report_to(console_stream::err, error, text);
}
