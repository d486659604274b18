// The system's message text for an error number.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the message text for `error` into `buffer` and returns it, or
// returns null when the system has no text for that number.
const char* system_error_text(std::uint32_t error, char* buffer, std::size_t size);
