// q_ws_t: lifecycle and the frame decoder.
//
// decrypt results:
//   -8  no framing on this state, or the connection is ending (RFC 6455 close
//       frame or empty buffer, both answered with a close frame; hixie-76
//       empty frame); version is 0 afterwards
//   -2  RFC 6455 continuation frame while no fragmented message is open
//   -1  RFC 6455 frame with an RSV bit, or hixie-76 data not starting 0x00
//    0  RFC 6455 opcode above 2 (ping, pong, close without FIN, reserved) -
//       or an empty data frame when need_more is clear
//   len with need_more set: the frame is incomplete; call again with the same
//       frame start once more bytes are appended
//   otherwise a decoded frame: the RFC 6455 payload length, or for hixie-76
//       the terminator's offset from data (payload length + 1); *payload
//       points at the unmasked payload and a NUL follows it; more_frames says
//       that the next frame starts at *payload + result.
// The caller leaves one writable byte after the received data for that NUL.
#include "websocket/q_ws.h"

#include <cstring>

namespace {

constexpr std::int64_t WS_CLOSED = -8;
constexpr std::int64_t WS_STRAY_CONTINUATION = -2;
constexpr std::int64_t WS_MALFORMED = -1;
constexpr std::int64_t WS_UNSUPPORTED = 0;

constexpr std::uint8_t FIN = 0x80;
constexpr std::uint8_t RSV_BITS = 0x70;
constexpr std::uint8_t OPCODE_BITS = 0x0F;
constexpr std::uint8_t MASK_BIT = 0x80;
constexpr std::uint8_t CLOSE_FRAME = 0x88;
constexpr std::uint8_t CLOSE_REPLY[4] = {0x88, 0x02, 0x03, 0xE8};

std::uint64_t load_u64(const std::uint8_t* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

void store_u64(std::uint8_t* p, std::uint64_t v)
{
    std::memcpy(p, &v, sizeof(v));
}

std::uint64_t big_endian(const std::uint8_t* p, int bytes)
{
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}

// Where an RFC 6455 header says the payload lies. `complete` is false while
// the header (length field or masking key) has not fully arrived.
struct frame_header {
    bool complete = false;
    bool masked = false;
    std::uint8_t key[4] = {0, 0, 0, 0};
    std::uint64_t length = 0;
    std::uint64_t header_size = 0;
};

frame_header read_header(const std::uint8_t* data, std::uint64_t len)
{
    frame_header h;
    if (len < 2)
        return h;
    h.length = data[1] & 0x7F;
    h.header_size = 2;
    if (h.length == 126) {
        if (len < 4)
            return h;
        h.length = big_endian(data + 2, 2);
        h.header_size = 4;
    } else if (h.length == 127) {
        if (len < 10)
            return h;
        h.length = big_endian(data + 2, 8);
        h.header_size = 10;
    }
    h.masked = (data[1] & MASK_BIT) != 0;
    if (h.masked) {
        if (len - h.header_size < 4)
            return h;
        std::memcpy(h.key, data + h.header_size, 4);
        h.header_size += 4;
    }
    h.complete = true;
    return h;
}

std::int64_t wait_for_more(q_ws_t& ws, std::uint64_t len)
{
    ws.need_more = 1;
    return static_cast<std::int64_t>(len);
}

std::int64_t close_reply(q_ws_t& ws)
{
    ws.version.store(0, std::memory_order_relaxed);
    ws.tls.send(CLOSE_REPLY, sizeof(CLOSE_REPLY));
    return WS_CLOSED;
}

// False for a continuation frame that continues nothing.
bool track_fragments(q_ws_t& ws, std::uint8_t first)
{
    const std::uint8_t opcode = first & OPCODE_BITS;
    const bool final_frame = (first & FIN) != 0;
    if (opcode != 0 && final_frame)
        ws.fragmented = 0;
    else if (opcode == 0 && !ws.fragmented)
        return false;
    else if (!final_frame)
        ws.fragmented = 1;
    return true;
}

// Ends the payload with a NUL; the byte it covers, the start of the next
// frame, is kept for the next call.
std::int64_t deliver(q_ws_t& ws, std::uint8_t* p, std::uint64_t n, std::uint64_t avail, std::uint8_t** payload)
{
    if (n < avail) {
        ws.more_frames = 1;
        ws.saved_byte = p[n];
    }
    p[n] = 0;
    *payload = p;
    return static_cast<std::int64_t>(n);
}

std::int64_t decode_6455(q_ws_t& ws, std::uint8_t* data, std::uint64_t len, std::uint8_t** payload)
{
    if (ws.more_frames && len != 0)
        data[0] = ws.saved_byte;
    ws.more_frames = 0;

    if (len == 0 || data[0] == CLOSE_FRAME)
        return close_reply(ws);
    if (data[0] & RSV_BITS)
        return WS_MALFORMED;
    if ((data[0] & OPCODE_BITS) > 2)
        return WS_UNSUPPORTED;
    if (!track_fragments(ws, data[0]))
        return WS_STRAY_CONTINUATION;

    const frame_header h = read_header(data, len);
    if (!h.complete)
        return wait_for_more(ws, len);
    std::uint8_t* p = data + h.header_size;
    const std::uint64_t avail = len - h.header_size;
    if (h.length > avail)
        return wait_for_more(ws, len);
    if (h.masked)
        ws_unmask(p, h.length, h.key);
    return deliver(ws, p, h.length, avail, payload);
}

std::int64_t end_of_76(q_ws_t& ws)
{
    ws.version.store(0, std::memory_order_relaxed);
    return WS_CLOSED;
}

std::int64_t decode_76(q_ws_t& ws, std::uint8_t* data, std::uint64_t len, std::uint8_t** payload)
{
    ws.more_frames = 0;
    if (len == 0)
        return end_of_76(ws);
    if (data[0] != 0x00)
        return WS_MALFORMED;
    // A frame's opening byte may arrive alone; the rest follows in the next
    // read. Only the empty frame 0x00 0xFF ends the connection.
    if (len == 1) {
        *payload = data + 1;
        return wait_for_more(ws, len);
    }
    auto* terminator = static_cast<std::uint8_t*>(std::memchr(data + 1, 0xFF, len - 1));
    if (!terminator) {
        *payload = data + 1;
        return wait_for_more(ws, len);
    }
    const std::uint64_t i = static_cast<std::uint64_t>(terminator - data);
    *terminator = 0x00;
    if (i == 1)
        return end_of_76(ws);
    *payload = data + 1;
    if (i < len - 1)
        ws.more_frames = 1;
    return static_cast<std::int64_t>(i);
}

} // namespace

// Tear-down order: readers of other slots stop framing for this client
// first; then the members go, the transport (last member) before the hash
// service (first member), which releases itself.
q_ws_t::~q_ws_t()
{
    upgraded.store(0, std::memory_order_relaxed);
}

void q_ws_t::reset_scan()
{
    utf8_opcode.store(1, std::memory_order_relaxed);
    utf8_pending.store(3, std::memory_order_relaxed);
    utf8_fresh.store(1, std::memory_order_relaxed);
    utf8_lead.store(0, std::memory_order_relaxed);
    text_open.store(0, std::memory_order_relaxed);
}

std::int64_t q_ws_t::decrypt(std::uint8_t* data, std::uint64_t len, std::uint8_t** payload)
{
    const std::int32_t v = version.load(std::memory_order_relaxed);
    if (v == 0)
        return WS_CLOSED;
    need_more = 0;
    std::uint8_t* unused = nullptr;
    if (!payload)
        payload = &unused;
    if (!data && len != 0) {
        more_frames = 0;
        return WS_MALFORMED;
    }
    return v < 13 ? decode_76(*this, data, len, payload) : decode_6455(*this, data, len, payload);
}

// Whole 64-byte blocks, then 8-byte words, then single bytes. Blocks and
// words are multiples of 4, so the key phase stays that of byte j mod 4;
// memcpy keeps the unaligned word access defined and compiles to plain
// loads and stores.
void ws_unmask(std::uint8_t* p, std::uint64_t n, const std::uint8_t key[4])
{
    std::uint8_t pattern[8];
    std::memcpy(pattern, key, 4);
    std::memcpy(pattern + 4, key, 4);
    const std::uint64_t key8 = load_u64(pattern);

    std::uint64_t i = 0;
    for (; n - i >= 64; i += 64) {
        std::uint8_t* block = p + i;
        for (int w = 0; w < 64; w += 8)
            store_u64(block + w, load_u64(block + w) ^ key8);
    }
    for (; n - i >= 8; i += 8)
        store_u64(p + i, load_u64(p + i) ^ key8);
    for (; i < n; ++i)
        p[i] ^= key[i & 3];
}
