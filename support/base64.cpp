#include "support/base64.h"

namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Four characters for up to three bytes; a missing byte counts as 0 and its
// character places become "=".
void encode_group(const std::uint8_t* in, std::int64_t count, char* out)
{
    const std::uint32_t b0 = in[0];
    const std::uint32_t b1 = count > 1 ? in[1] : 0;
    const std::uint32_t b2 = count > 2 ? in[2] : 0;
    const std::uint32_t group = (b0 << 16) | (b1 << 8) | b2;
    out[0] = ALPHABET[(group >> 18) & 0x3F];
    out[1] = ALPHABET[(group >> 12) & 0x3F];
    out[2] = count > 1 ? ALPHABET[(group >> 6) & 0x3F] : '=';
    out[3] = count > 2 ? ALPHABET[group & 0x3F] : '=';
}

} // namespace

std::int64_t base64_encode(const std::uint8_t* data, std::int64_t length, char* out)
{
    if (!out)
        return 0;
    if (length <= 0 || !data) {
        out[0] = '\0';
        return 0;
    }
    std::int64_t written = 0;
    for (std::int64_t i = 0; i < length; i += 3, written += 4)
        encode_group(data + i, length - i, out + written);
    out[written] = '\0';
    return written;
}
