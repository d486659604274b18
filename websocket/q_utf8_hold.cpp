#include "websocket/q_utf8_hold.h"

#include <cstring>

namespace {

bool is_continuation(std::uint8_t c)
{
    return c >= 0x80 && c <= 0xBF;
}

// The bytes of the character a lead byte starts; 0 for no lead byte.
std::uint32_t sequence_length(std::uint8_t c)
{
    if (c >= 0xC2 && c <= 0xDF)
        return 2;
    if (c >= 0xE0 && c <= 0xEF)
        return 3;
    if (c >= 0xF0 && c <= 0xF4)
        return 4;
    return 0;
}

// After E0, ED, F0 and F4 the second byte has a narrower range (no overlong
// forms, no surrogates, nothing above U+10FFFF).
bool second_byte_allowed(std::uint8_t lead, std::uint8_t c)
{
    switch (lead) {
    case 0xE0: return c >= 0xA0;
    case 0xED: return c <= 0x9F;
    case 0xF0: return c >= 0x90;
    case 0xF4: return c <= 0x8F;
    default: return true;
    }
}

} // namespace

std::uint32_t utf8_incomplete_tail(const std::uint8_t* p, std::uint64_t n)
{
    const std::uint32_t look = n < 3 ? static_cast<std::uint32_t>(n) : 3;
    for (std::uint32_t k = 1; k <= look; ++k) {
        const std::uint8_t c = p[n - k];
        if (is_continuation(c))
            continue;
        const std::uint32_t need = sequence_length(c);
        if (need <= k)
            return 0;
        if (k >= 2 && !second_byte_allowed(c, p[n - k + 1]))
            return 0;
        return k;
    }
    return 0;
}

std::uint64_t q_utf8_hold_t::wrap(std::uint8_t* data, std::uint64_t n, const std::uint8_t** start)
{
    std::uint8_t* from = data - count;
    std::memcpy(from, held, count);
    const std::uint64_t total = count + n;
    const std::uint32_t cut = utf8_incomplete_tail(from, total);
    std::memcpy(held, from + total - cut, cut);
    count = static_cast<std::uint8_t>(cut);
    *start = from;
    return total - cut;
}

std::uint64_t q_utf8_hold_t::release(const std::uint8_t** start)
{
    *start = held;
    const std::uint64_t n = count;
    count = 0;
    return n;
}
