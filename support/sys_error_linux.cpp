#include "support/sys_error.h"

#include <cstdio>
#include <cstring>

const char* system_error_text(std::uint32_t error, char* buffer, std::size_t size)
{
    if (!buffer || size == 0)
        return nullptr;
    // glibc answers unknown numbers with "Unknown error N": that is no text.
    const char* text = strerror_r(static_cast<int>(error), buffer, size);
    if (!text || std::strncmp(text, "Unknown error", 13) == 0)
        return nullptr;
    if (text != buffer)
        std::snprintf(buffer, size, "%s", text);
    return buffer;
}
