#include "shell/console.h"

#include "support/sys_error.h"

#include <cstdarg>
#include <cstdio>

namespace {

std::uint32_t report_to(std::FILE* stream, std::uint32_t error, const char* text)
{
    char buffer[512];
    const char* message = system_error_text(error, buffer, sizeof(buffer));
    if (text)
        std::fprintf(stream, "%s\n", text);
    if (message)
        std::fprintf(stream, "   ^ERROR: %u, %s\n", error, message);
    else
        std::fprintf(stream, "   ^ERROR: %u, (null)", error);
    return error;
}

} // namespace

void console_init()
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void out(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}

void err(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

std::uint32_t report_error(std::uint32_t error, const char* text)
{
    return report_to(stdout, error, text);
}

std::uint32_t report_error_stderr(std::uint32_t error, const char* text)
{
    return report_to(stderr, error, text);
}
