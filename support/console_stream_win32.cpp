#include "support/console_stream.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

std::FILE* file_of(console_stream stream)
{
    return stream == console_stream::out ? stdout : stderr;
}

// The console behind the stream, or null when it is a pipe, a file or none.
HANDLE console_of(console_stream stream)
{
    HANDLE h = GetStdHandle(stream == console_stream::out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (h == nullptr || h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode))
        return nullptr;
    return h;
}

// UTF-16 for the console, in pieces of a fixed buffer; a UTF-8 sequence is
// never split between two pieces.
void write_wide(HANDLE console, const char* text, std::size_t length)
{
    constexpr std::size_t PIECE = 2048;
    wchar_t wide[PIECE];
    while (length > 0) {
        std::size_t n = length < PIECE ? length : PIECE;
        while (n < length && n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
        if (n == 0)
            n = length < PIECE ? length : PIECE;
        const int count = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(n), wide, static_cast<int>(PIECE));
        DWORD written = 0;
        if (count > 0)
            WriteConsoleW(console, wide, static_cast<DWORD>(count), &written, nullptr);
        text += n;
        length -= n;
    }
}

} // namespace

void console_streams_init()
{
    // Binary mode: "\n" stays one byte in a pipe or a file, as on Linux; a
    // console starts a new line for it all the same.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void console_write(console_stream stream, const char* text, std::size_t length)
{
    HANDLE console = console_of(stream);
    if (console)
        write_wide(console, text, length);
    else
        std::fwrite(text, 1, length, file_of(stream));
}
