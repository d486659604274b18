#include "support/utf16.h"

namespace {

constexpr char16_t HIGH_FIRST = 0xD800;
constexpr char16_t HIGH_LAST = 0xDBFF;
constexpr char16_t LOW_FIRST = 0xDC00;
constexpr char16_t LOW_LAST = 0xDFFF;

bool is_high_surrogate(char16_t c) { return c >= HIGH_FIRST && c <= HIGH_LAST; }
bool is_low_surrogate(char16_t c) { return c >= LOW_FIRST && c <= LOW_LAST; }

// The output with its write position. Every sequence is checked against the
// fixed capacity before and after it is written, so the terminator always
// lands inside the buffer.
struct utf8_sink {
    char* out;
    std::uint64_t o = 0;

    // The whole sequence must fit; on failure the output is terminated at o.
    bool room_for(std::uint64_t k)
    {
        if (k > 1 && o + k - 1 >= UTF8_OUT_SIZE) {
            out[o] = 0;
            return false;
        }
        return true;
    }

    void put(std::uint32_t byte) { out[o++] = static_cast<char>(byte); }

    // A full buffer leaves no room for the terminator: the last byte becomes it.
    bool left_room()
    {
        if (o >= UTF8_OUT_SIZE) {
            out[UTF8_OUT_SIZE - 1] = 0;
            return false;
        }
        return true;
    }

    bool write(std::uint32_t p)
    {
        if (p < 0x80) {
            put(p);
        } else if (p < 0x800) {
            if (!room_for(2))
                return false;
            put(0xC0 | ((p >> 6) & 0x1F));
            put(0x80 | (p & 0x3F));
        } else if (p < 0x10000) {
            if (!room_for(3))
                return false;
            put(0xE0 | ((p >> 12) & 0x0F));
            put(0x80 | ((p >> 6) & 0x3F));
            put(0x80 | (p & 0x3F));
        } else {
            if (!room_for(4))
                return false;
            put(0xF0 | (p >> 18));
            put(0x80 | ((p >> 12) & 0x3F));
            put(0x80 | ((p >> 6) & 0x3F));
            put(0x80 | (p & 0x3F));
        }
        return left_room();
    }

    std::uint64_t finish()
    {
        out[o] = 0;
        return o;
    }
};

// A high surrogate followed by anything but a low one still stands for a
// code point of its own (its low ten bits zero), so no input unit is lost.
std::uint32_t surrogate_code_point(char16_t high, char16_t low)
{
    std::uint32_t bits = static_cast<std::uint32_t>(high & 0x3FF) << 10;
    if (is_low_surrogate(low))
        bits |= static_cast<std::uint32_t>(low & 0x3FF);
    return 0x10000 + bits;
}

} // namespace

std::uint64_t utf16_to_utf8(char* out, const char16_t* in)
{
    if (!out || !in)
        return 0;
    utf8_sink sink{out};
    for (const char16_t* p = in;; ++p) {
        char16_t c = *p;
        if (c == 0)
            return sink.finish();
        if (is_low_surrogate(c))
            continue;
        std::uint32_t code_point = c;
        if (is_high_surrogate(c)) {
            char16_t next = p[1];
            if (next == 0)
                return sink.finish();
            code_point = surrogate_code_point(c, next);
            if (is_low_surrogate(next))
                ++p;
        }
        if (!sink.write(code_point))
            return 0;
    }
}
