// Base64 (RFC 4648, standard alphabet, "=" padding, no line breaks).
#pragma once

#include <cstdint>

// Writes the text and a NUL into `out` (at least 4 * ceil(length / 3) + 1
// bytes). Returns the number of characters, without the NUL; 0 for a length
// of 0 or less.
std::int64_t base64_encode(const std::uint8_t* data, std::int64_t length, char* out);
