// Outgoing frames and the UTF-8 scan that picks their opcode.
//
// The scan is RFC 3629 UTF-8, carried from packet to packet of one receiver:
// a client receives text frames as long as its whole stream is valid UTF-8
// and binary frames for good after the first invalid sequence. Right after
// a handshake the scan has no position in the stream yet ("fresh"): a few
// leading continuation bytes, or a byte that never occurs in UTF-8, then
// mark only the packet at hand as binary.
//
// Every frame is final and every text frame is valid UTF-8 on its own: a
// packet that ends inside a character is not valid text, so it goes out as
// binary and the receiver stays binary. The relay keeps characters whole
// (it holds back a sender's cut character, and cuts payloads too long for
// one frame on a character boundary), so a valid stream stays text.
#include "websocket/q_ws.h"
#include "websocket/q_utf8_hold.h"

#include <cstring>

namespace {

constexpr std::int32_t TEXT = WS_OP_TEXT;
constexpr std::int32_t BINARY = WS_OP_BINARY;
constexpr std::uint8_t FIN = 0x80;

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
    // A frame is a message of its own: one that ends inside a character is
    // not valid text.
    if (inside_character(s))
        return turn_binary(s);
    return result;
}

// Bytes an RFC 6455 header takes in front of a payload of n bytes.
std::uint64_t header_size(std::uint64_t n)
{
    return n <= 125 ? 2 : n <= 65535 ? 4 : 10;
}

// Writes an unmasked RFC 6455 header at frame; returns its size.
std::uint64_t write_header(std::uint8_t* frame, std::uint64_t n, std::uint8_t first)
{
    frame[0] = first;
    if (n <= 125) {
        frame[1] = static_cast<std::uint8_t>(n);
        return 2;
    }
    if (n <= 65535) {
        frame[1] = 126;
        frame[2] = static_cast<std::uint8_t>(n >> 8);
        frame[3] = static_cast<std::uint8_t>(n);
        return 4;
    }
    frame[1] = 127;
    for (int k = 0; k < 8; ++k)
        frame[2 + k] = static_cast<std::uint8_t>(n >> (56 - 8 * k));
    return 10;
}

// The longest payload whose RFC 6455 frame fits cap bytes.
std::uint64_t payload_room_6455(std::uint64_t cap)
{
    if (cap >= 10 + 65536)
        return cap - 10;
    if (cap >= 4 + 126)
        return cap - 4 < 65535 ? cap - 4 : 65535;
    if (cap >= 2)
        return cap - 2 < 125 ? cap - 2 : 125;
    return 0;
}

std::uint64_t payload_room_76(std::uint64_t cap)
{
    return cap >= 2 ? cap - 2 : 0;
}

// 0x00, payload, 0xFF at dst; the frame length.
std::uint64_t write_76(std::uint8_t* dst, const std::uint8_t* src, std::uint64_t n)
{
    dst[0] = 0x00;
    if (n)
        std::memmove(dst + 1, src, n);
    dst[1 + n] = 0xFF;
    return n + 2;
}

} // namespace

std::uint8_t* q_ws_t::encode(std::uint8_t* dst, std::uint64_t cap, const std::uint8_t* src, std::uint64_t* len)
{
    if (!dst || !src || !len || *len == 0)
        return nullptr;
    const std::int32_t v = version.load(std::memory_order_relaxed);
    if (v == WS_VERSION_NONE)
        return nullptr;
    const std::uint64_t n = *len;
    if (ws_is_hixie_76(v)) {
        // The whole frame, trailer included, stays inside dst.
        if (n > payload_room_76(cap))
            return nullptr;
        *len = write_76(dst, src, n);
        return dst;
    }
    if (cap < HEAD_ROOM || n > cap - HEAD_ROOM)
        return nullptr;
    // The payload goes to the fixed head-room and the header right in front
    // of it, so the frame is never shifted once its length is known.
    std::uint8_t* payload = dst + HEAD_ROOM;
    std::memmove(payload, src, n);
    const std::int32_t opcode = classify(payload, n);
    std::uint8_t* frame = payload - header_size(n);
    write_header(frame, n, static_cast<std::uint8_t>(FIN | opcode));
    *len = n + static_cast<std::uint64_t>(payload - frame);
    return frame;
}

std::uint64_t q_ws_t::encode_part(std::uint8_t* dst, std::uint64_t cap, const std::uint8_t* src, std::uint64_t len,
                                  std::uint64_t* taken)
{
    *taken = 0;
    if (!dst || (!src && len != 0))
        return 0;
    const std::int32_t v = version.load(std::memory_order_relaxed);
    if (v == WS_VERSION_NONE)
        return 0;
    const bool hixie = ws_is_hixie_76(v);
    const std::uint64_t room = hixie ? payload_room_76(cap) : payload_room_6455(cap);
    if (room == 0 && (len != 0 || cap < 2))
        return 0;
    std::uint64_t n = len;
    if (n > room) {
        // The rest goes into the next frame: cut before a character the
        // room would split, unless that character is all there is room for.
        n = room;
        const bool text = hixie || utf8_opcode.load(std::memory_order_relaxed) == TEXT;
        const std::uint32_t cut = text ? utf8_incomplete_tail(src, n) : 0;
        if (cut < n)
            n -= cut;
    }
    *taken = n;
    if (hixie)
        return write_76(dst, src, n);
    const std::int32_t opcode = classify(src, n);
    const std::uint64_t header = write_header(dst, n, static_cast<std::uint8_t>(FIN | opcode));
    if (n)
        std::memmove(dst + header, src, n);
    return header + n;
}

std::uint64_t q_ws_t::encode_pong(std::uint8_t* dst, std::uint64_t cap, const std::uint8_t* payload, std::uint64_t n)
{
    if (!dst || (!payload && n != 0) || n > WS_CONTROL_PAYLOAD_MAX || cap < 2 + n)
        return 0;
    if (version.load(std::memory_order_relaxed) != WS_VERSION_RFC_6455)
        return 0;
    write_header(dst, n, FIN | WS_OP_PONG);
    if (n)
        std::memmove(dst + 2, payload, n);
    return 2 + n;
}

std::uint64_t q_ws_t::encode_close(std::uint8_t* dst, std::uint64_t cap, std::uint16_t code)
{
    if (!dst || cap < 4)
        return 0;
    const std::int32_t v = version.exchange(WS_VERSION_NONE, std::memory_order_relaxed);
    if (v == WS_VERSION_NONE)
        return 0;
    if (ws_is_hixie_76(v)) {
        dst[0] = 0xFF;
        dst[1] = 0x00;
        return 2;
    }
    dst[0] = FIN | WS_OP_CLOSE;
    dst[1] = 2;
    dst[2] = static_cast<std::uint8_t>(code >> 8);
    dst[3] = static_cast<std::uint8_t>(code);
    return 4;
}

std::int32_t q_ws_t::classify(const std::uint8_t* s, std::uint64_t n)
{
    utf8_scan scan = load_scan(*this);
    const std::int32_t opcode = (s || n == 0) ? scan_packet(scan, s, n) : scan.opcode;
    store_scan(*this, scan);
    return opcode;
}
