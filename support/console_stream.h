// The two console streams, written whole with UTF-8 text.
//
// Both streams are unbuffered, so every message shows at once, also in a
// pipe or a file. A Windows console is given the text as UTF-16 (it would
// read bytes in its own code page); a pipe or a file receives the UTF-8 bytes
// unchanged, with no line-end translation, on both systems.
#pragma once

#include <cstddef>

enum class console_stream { out, err };

// Called once at start, before any output.
void console_streams_init();

// Writes `length` bytes of UTF-8 text to the stream in one call.
void console_write(console_stream stream, const char* text, std::size_t length);
