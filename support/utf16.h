// UTF-16 to UTF-8 conversion into a fixed 65536-byte buffer.
#pragma once

#include <cstdint>

inline constexpr std::uint64_t UTF8_OUT_SIZE = 65536;

// Converts the NUL-terminated `in` into `out` (exactly UTF8_OUT_SIZE bytes).
// Returns the UTF-8 length without the terminator; 0 when out or in is null
// (nothing written), when the input is empty, or when the result does not fit
// (the output is then terminated but cut short). Unpaired low surrogates are
// skipped; a high surrogate without a low one is encoded on its own.
std::uint64_t utf16_to_utf8(char* out, const char16_t* in);
