// q_ws_t: lifecycle and the frame decoder.
//
// decrypt results:
//   WS_ENDED (-8)  version is WS_VERSION_NONE: nothing is decoded any more
//   WS_CLOSE_RECEIVED  an RFC 6455 close frame (its first byte is enough) or
//       an empty buffer; hixie-76 0xFF 0x00. The caller answers with close
//       1000 through the writer (encode_close, which ends the framing)
//   WS_TOO_BIG  the frame (header included) is longer than frame_limit;
//       payload_size holds the declared payload length
//   WS_RESERVED_OPCODE, WS_STRAY_CONTINUATION, WS_MALFORMED: protocol errors
//   len with need_more set: the frame is incomplete; call again with the same
//       frame start once more bytes are appended
//   otherwise a decoded data, ping or pong frame (frame_opcode, payload_size):
//       the RFC 6455 payload length, or for hixie-76 the terminator's offset
//       from data (payload length + 1); *payload points at the unmasked
//       payload and a NUL follows it; more_frames says that the next frame
//       starts at *payload + result.
// The caller leaves one writable byte after the received data for that NUL.
#include "websocket/q_ws.h"

#include <cstring>

namespace {

constexpr std::uint8_t FIN = 0x80;
constexpr std::uint8_t RSV_BITS = 0x70;
constexpr std::uint8_t OPCODE_BITS = 0x0F;
constexpr std::uint8_t MASK_BIT = 0x80;
constexpr std::uint8_t CLOSE_FRAME = FIN | WS_OP_CLOSE;
constexpr std::uint8_t CONTROL_BIT = 0x08;

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

// The reply (close 1000) goes out through the connection's writer, after
// what is already queued for the client; making it ends the framing.
std::int64_t close_received()
{
    return WS_CLOSE_RECEIVED;
}

// False for a continuation frame that continues nothing.
bool track_fragments(q_ws_t& ws, std::uint8_t first)
{
    const std::uint8_t opcode = first & OPCODE_BITS;
    const bool final_frame = (first & FIN) != 0;
    if (opcode == WS_OP_CONTINUATION && !ws.fragmented)
        return false;
    ws.fragmented = final_frame ? 0 : 1;
    return true;
}

// Ends the payload with a NUL; the byte it covers, the start of the next
// frame, is kept for the next call.
std::int64_t deliver(q_ws_t& ws, std::uint8_t* p, std::uint64_t n, std::uint64_t avail, std::uint8_t** payload)
{
    ws.payload_size = n;
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
        return close_received();
    if (data[0] & RSV_BITS)
        return WS_MALFORMED;
    const std::uint8_t opcode = data[0] & OPCODE_BITS;
    if (opcode & CONTROL_BIT) {
        // Pings and pongs may come between the fragments of a message; a
        // control frame is never fragmented itself (a close without FIN
        // included) and carries at most 125 bytes.
        if (opcode != WS_OP_PING && opcode != WS_OP_PONG)
            return opcode == WS_OP_CLOSE ? WS_MALFORMED : WS_RESERVED_OPCODE;
        if (!(data[0] & FIN) || (len >= 2 && (data[1] & 0x7F) > WS_CONTROL_PAYLOAD_MAX))
            return WS_MALFORMED;
    } else if (opcode > WS_OP_BINARY) {
        return WS_RESERVED_OPCODE;
    }

    const frame_header h = read_header(data, len);
    if (!h.complete)
        return wait_for_more(ws, len);
    if (ws.frame_limit != 0 && (h.length > ws.frame_limit || h.header_size + h.length > ws.frame_limit)) {
        ws.payload_size = h.length;
        return WS_TOO_BIG;
    }
    std::uint8_t* p = data + h.header_size;
    const std::uint64_t avail = len - h.header_size;
    if (h.length > avail)
        return wait_for_more(ws, len);
    // Fragments are tracked once the frame is whole, so a frame that arrives
    // in pieces is looked at once.
    if (!(opcode & CONTROL_BIT) && !track_fragments(ws, data[0]))
        return WS_STRAY_CONTINUATION;
    if (h.masked)
        ws_unmask(p, h.length, h.key);
    ws.frame_opcode = opcode;
    return deliver(ws, p, h.length, avail, payload);
}

std::int64_t decode_76(q_ws_t& ws, std::uint8_t* data, std::uint64_t len, std::uint8_t** payload)
{
    ws.more_frames = 0;
    if (len == 0)
        return close_received();
    // 0xFF 0x00 is the closing frame; its second byte may arrive later.
    if (data[0] == 0xFF) {
        if (len == 1)
            return wait_for_more(ws, len);
        return data[1] == 0x00 ? close_received() : WS_MALFORMED;
    }
    if (data[0] != 0x00)
        return WS_MALFORMED;
    auto* terminator = len > 1 ? static_cast<std::uint8_t*>(std::memchr(data + 1, 0xFF, len - 1)) : nullptr;
    if (!terminator) {
        if (ws.frame_limit != 0 && len >= ws.frame_limit) {
            ws.payload_size = len - 1;
            return WS_TOO_BIG;
        }
        *payload = data + 1;
        return wait_for_more(ws, len);
    }
    const std::uint64_t i = static_cast<std::uint64_t>(terminator - data);
    if (ws.frame_limit != 0 && i + 1 > ws.frame_limit) {
        ws.payload_size = i - 1;
        return WS_TOO_BIG;
    }
    *terminator = 0x00;
    *payload = data + 1;
    ws.frame_opcode = WS_OP_TEXT;
    ws.payload_size = i - 1;
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
}

std::int64_t q_ws_t::decrypt(std::uint8_t* data, std::uint64_t len, std::uint8_t** payload)
{
    const std::int32_t v = version.load(std::memory_order_relaxed);
    if (v == WS_VERSION_NONE)
        return WS_ENDED;
    need_more = 0;
    std::uint8_t* unused = nullptr;
    if (!payload)
        payload = &unused;
    if (!data && len != 0) {
        more_frames = 0;
        return WS_MALFORMED;
    }
    return ws_is_hixie_76(v) ? decode_76(*this, data, len, payload) : decode_6455(*this, data, len, payload);
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
