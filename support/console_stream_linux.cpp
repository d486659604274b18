#include "support/console_stream.h"

#include <cstdio>

void console_streams_init()
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void console_write(console_stream stream, const char* text, std::size_t length)
{
    std::fwrite(text, 1, length, stream == console_stream::out ? stdout : stderr);
}
