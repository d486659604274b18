// Outgoing frames and the UTF-8 scan that picks their opcode.
//
// The scan is RFC 3629 UTF-8, carried from packet to packet of one receiver:
// a client receives text frames as long as its whole stream is valid UTF-8
// and binary frames for good after the first invalid sequence. Right after
// a handshake the scan has no position in the stream yet ("fresh"): a few
// leading continuation bytes, or a byte that never occurs in UTF-8, then
// mark only the packet at hand as binary.
//
// A packet that ends inside a character opens a text message without FIN;
// the following packets continue it until one ends on a character boundary
// and carries FIN, so the receiver only ever sees text messages that are
// valid UTF-8 on their own.
#include "websocket/q_ws.h"

#include <cstring>

namespace {

constexpr std::int32_t TEXT = 1;
constexpr std::int32_t BINARY = 2;
constexpr std::uint8_t FIN = 0x80;
constexpr std::uint8_t CONTINUATION = 0x00;

// The scan state of one receiver, worked on in locals and stored back once.
struct utf8_scan {
    std::int32_t opcode;  // TEXT until the stream turns out not to be UTF-8
    std::int32_t pending; // continuation bytes still expected; < 0: invalid
    std::int32_t fresh;   // no position in the stream yet
    std::uint8_t lead;    // lead byte whose next byte is range-limited, or 0
};

utf8_scan load_scan(const q_ws_t& ws)
{
    return {ws.utf8_opcode.load(std::memory_order_relaxed), ws.utf8_pending.load(std::memory_order_relaxed),
            ws.utf8_fresh.load(std::memory_order_relaxed), ws.utf8_lead.load(std::memory_order_relaxed)};
}

void store_scan(q_ws_t& ws, const utf8_scan& s)
{
    ws.utf8_opcode.store(s.opcode, std::memory_order_relaxed);
    ws.utf8_pending.store(s.pending, std::memory_order_relaxed);
    ws.utf8_fresh.store(s.fresh, std::memory_order_relaxed);
    ws.utf8_lead.store(s.lead, std::memory_order_relaxed);
}

bool inside_character(const utf8_scan& s)
{
    return s.fresh == 0 && s.pending > 0;
}

// From here on every packet to this receiver is binary.
std::int32_t turn_binary(utf8_scan& s)
{
    s.opcode = BINARY;
    return BINARY;
}

// The two packets that are binary whatever came before: 0xFF alone and
// 0x00 0xFF.
bool is_end_marker(const std::uint8_t* p, std::uint64_t n)
{
    return (n == 1 && p[0] == 0xFF) || (n == 2 && p[0] == 0x00 && p[1] == 0xFF);
}

// After these lead bytes the next byte is narrower than 0x80..0xBF: that
// rules out overlong forms (E0, F0), surrogates (ED) and code points above
// U+10FFFF (F4).
std::uint8_t range_limited_lead(std::uint8_t c)
{
    return (c == 0xE0 || c == 0xED || c == 0xF0 || c == 0xF4) ? c : 0;
}

bool allowed_after(std::uint8_t lead, std::uint8_t c)
{
    switch (lead) {
    case 0xE0: return c >= 0xA0;
    case 0xED: return c <= 0x9F;
    case 0xF0: return c >= 0x90;
    case 0xF4: return c <= 0x8F;
    default: return true;
    }
}

std::int32_t sequence_length(std::uint8_t c)
{
    if (c >= 0xC2 && c <= 0xDF)
        return 2;
    if (c >= 0xE0 && c <= 0xEF)
        return 3;
    if (c >= 0xF0 && c <= 0xF4)
        return 4;
    return 0;
}

// Each step takes one byte and returns false when the byte turned the
// stream binary for good.
bool take_ascii(utf8_scan& s)
{
    if (inside_character(s))
        return false;
    s.pending = 0;
    s.fresh = 0;
    s.lead = 0;
    return true;
}

bool take_continuation(utf8_scan& s, std::uint8_t c, std::int32_t& result)
{
    if (s.lead != 0 && !allowed_after(s.lead, c))
        return false;
    s.lead = 0;
    if (s.fresh)
        result = BINARY;
    s.pending -= 1;
    if (s.pending == 0)
        s.fresh = 0;
    return s.pending >= 0;
}

bool take_lead(utf8_scan& s, std::uint8_t c)
{
    const bool may_start = s.fresh != 0 || s.pending == 0;
    s.pending = may_start ? sequence_length(c) - 1 : -1;
    s.fresh = 0;
    s.lead = range_limited_lead(c);
    return s.pending >= 0;
}

// 0xF5..0xFF never occur in UTF-8: tolerated only while the scan is fresh.
bool take_foreign(utf8_scan& s, std::int32_t& result)
{
    const bool was_fresh = s.fresh != 0;
    s.pending = 0;
    s.fresh = 0;
    s.lead = 0;
    result = BINARY;
    return was_fresh;
}

bool take_byte(utf8_scan& s, std::uint8_t c, std::int32_t& result)
{
    if (c < 0x80)
        return take_ascii(s);
    if (c < 0xC0)
        return take_continuation(s, c, result);
    if (c < 0xC2)
        return false; // 0xC0, 0xC1: overlong forms of ASCII, never valid
    if (c < 0xF5)
        return take_lead(s, c);
    return take_foreign(s, result);
}

// Eight ASCII bytes in a row leave a settled scan as it is.
std::uint64_t skip_ascii_words(const std::uint8_t* p, std::uint64_t i, std::uint64_t n)
{
    while (n - i >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, sizeof(word));
        if (word & 0x8080808080808080ull)
            break;
        i += 8;
    }
    return i;
}

std::int32_t scan_packet(utf8_scan& s, const std::uint8_t* p, std::uint64_t n)
{
    if (s.opcode != TEXT)
        return s.opcode;
    if (is_end_marker(p, n)) {
        if (inside_character(s))
            s.opcode = BINARY;
        s.pending = 0;
        s.fresh = 0;
        s.lead = 0;
        return BINARY;
    }
    std::int32_t result = TEXT;
    for (std::uint64_t i = 0; i < n;) {
        if (!take_byte(s, p[i], result))
            return turn_binary(s);
        ++i;
        if (s.pending == 0 && s.fresh == 0)
            i = skip_ascii_words(p, i, n);
    }
    // A character left open in a packet that goes out as binary belongs to
    // no text message; its remaining bytes are tolerated like a fresh start
    // so they never begin a text frame.
    if (result == BINARY && inside_character(s))
        s.fresh = 1;
    return result;
}

// The first header byte of an RFC 6455 frame, and whether a text message
// stays open after it.
std::uint8_t first_header_byte(q_ws_t& ws, std::int32_t opcode)
{
    const bool open = ws.text_open.load(std::memory_order_relaxed) != 0;
    const bool unfinished = opcode == TEXT && ws.utf8_fresh.load(std::memory_order_relaxed) == 0 &&
                            ws.utf8_pending.load(std::memory_order_relaxed) > 0;
    ws.text_open.store(unfinished ? 1 : 0, std::memory_order_relaxed);
    if (open)
        return unfinished ? CONTINUATION : FIN | CONTINUATION;
    if (unfinished)
        return static_cast<std::uint8_t>(TEXT);
    return static_cast<std::uint8_t>(FIN | opcode);
}

// Writes the header directly in front of the payload; returns the frame start.
std::uint8_t* write_header(std::uint8_t* payload, std::uint64_t n, std::uint8_t first)
{
    std::uint8_t* frame;
    if (n <= 125) {
        frame = payload - 2;
        frame[1] = static_cast<std::uint8_t>(n);
    } else if (n <= 65535) {
        frame = payload - 4;
        frame[1] = 126;
        frame[2] = static_cast<std::uint8_t>(n >> 8);
        frame[3] = static_cast<std::uint8_t>(n);
    } else {
        frame = payload - 10;
        frame[1] = 127;
        for (int k = 0; k < 8; ++k)
            frame[2 + k] = static_cast<std::uint8_t>(n >> (56 - 8 * k));
    }
    frame[0] = first;
    return frame;
}

// 0x00, payload, 0xFF: the whole frame, trailer included, stays inside dst.
std::uint8_t* encode_76(std::uint8_t* dst, std::uint64_t cap, const std::uint8_t* src, std::uint64_t* len)
{
    const std::uint64_t n = *len;
    if (cap < 2 || n > cap - 2)
        return nullptr;
    std::memmove(dst + q_ws_t::HEAD_ROOM_76, src, n);
    dst[0] = 0x00;
    dst[1 + n] = 0xFF;
    *len = n + 2;
    return dst;
}

} // namespace

std::uint8_t* q_ws_t::encode(std::uint8_t* dst, std::uint64_t cap, const std::uint8_t* src, std::uint64_t* len)
{
    if (!dst || !src || !len || *len == 0)
        return nullptr;
    const std::int32_t v = version.load(std::memory_order_relaxed);
    if (v == 0)
        return nullptr;
    if (v < 13)
        return encode_76(dst, cap, src, len);

    const std::uint64_t n = *len;
    if (cap < HEAD_ROOM || n > cap - HEAD_ROOM)
        return nullptr;
    std::uint8_t* payload = dst + HEAD_ROOM;
    std::memmove(payload, src, n);
    const std::int32_t opcode = classify(payload, n);
    std::uint8_t* frame = write_header(payload, n, first_header_byte(*this, opcode));
    *len = n + static_cast<std::uint64_t>(payload - frame);
    return frame;
}

std::int32_t q_ws_t::classify(const std::uint8_t* s, std::uint64_t n)
{
    utf8_scan scan = load_scan(*this);
    const std::int32_t opcode = (s || n == 0) ? scan_packet(scan, s, n) : scan.opcode;
    store_scan(*this, scan);
    return opcode;
}
