// Fuzz target: q_ws_t::decrypt driven the way the relay drives it.
//
// Input: byte 0 picks the dialect (bit 0: hixie-76) and seeds the read
// sizes; the rest is the byte stream the client sends. The stream arrives
// in reads of varying size into one receive buffer (exact size, plus the
// one byte the decoder may write its NUL into); incomplete frames move to
// the start of the buffer, further frames are taken at payload + result.
// Every decoded payload, and every refusal, is checked against an
// independent reading of the original stream: data, ping and pong frames
// (also between the fragments of a message) decode with their opcode, and
// protocol errors, close frames and frames over the limit give their
// results.
#include "tests/websocket/fuzz_support.h"
#include "tests/websocket/ws_test_util.h"

#include <cstring>

namespace {

using wstest::bytes;

// The payload of the RFC 6455 frame at stream[at], as a receiver reads it.
bytes reference_6455(const bytes& stream, std::size_t at, std::size_t* next)
{
    const std::uint8_t* f = stream.data() + at;
    std::uint64_t n = f[1] & 0x7F;
    std::size_t header = 2;
    if (n == 126) {
        n = (std::uint64_t{f[2]} << 8) | f[3];
        header = 4;
    } else if (n == 127) {
        n = 0;
        for (int k = 0; k < 8; ++k)
            n = (n << 8) | f[2 + k];
        header = 10;
    }
    const bool masked = (f[1] & 0x80) != 0;
    const std::uint8_t* key = f + header;
    if (masked)
        header += 4;
    bytes payload(f + header, f + header + n);
    if (masked)
        for (std::uint64_t j = 0; j < n; ++j)
            payload[j] ^= key[j % 4];
    *next = at + header + n;
    return payload;
}

// The payload of the hixie-76 frame at stream[at]: up to the first 0xFF.
bytes reference_76(const bytes& stream, std::size_t at, std::size_t* next)
{
    std::size_t end = at + 1;
    while (stream[end] != 0xFF)
        ++end;
    *next = end + 1;
    return bytes(stream.begin() + static_cast<std::ptrdiff_t>(at + 1), stream.begin() + static_cast<std::ptrdiff_t>(end));
}

// The header of the RFC 6455 frame at stream[at], once it has arrived:
// false while it is incomplete.
bool header_6455(const bytes& stream, std::size_t at, std::uint64_t* length, std::uint64_t* size)
{
    const std::size_t left = stream.size() - at;
    if (left < 2)
        return false;
    const std::uint8_t* f = stream.data() + at;
    std::uint64_t n = f[1] & 0x7F;
    std::uint64_t h = 2;
    if (n == 126) {
        if (left < 4)
            return false;
        n = (std::uint64_t{f[2]} << 8) | f[3];
        h = 4;
    } else if (n == 127) {
        if (left < 10)
            return false;
        n = 0;
        for (int k = 0; k < 8; ++k)
            n = (n << 8) | f[2 + k];
        h = 10;
    }
    if (f[1] & 0x80)
        h += 4;
    if (left < h)
        return false;
    *length = n;
    *size = h;
    return true;
}

// What the decoder must make of the RFC 6455 frame at stream[at]: a WS_*
// refusal, or 0 for a frame to decode. `fragmented` is the model's own
// message state.
std::int64_t expected_6455(const bytes& stream, std::size_t at, bool fragmented, std::uint64_t limit)
{
    const std::uint8_t first = stream[at];
    const std::uint8_t opcode = first & 0x0F;
    if (first == 0x88)
        return WS_CLOSE_RECEIVED;
    if (first & 0x70)
        return WS_MALFORMED;
    if (opcode >= 8) {
        if (opcode != 9 && opcode != 10)
            return opcode == 8 ? WS_MALFORMED : WS_RESERVED_OPCODE;
        if (!(first & 0x80) || (stream.size() - at >= 2 && (stream[at + 1] & 0x7F) > 125))
            return WS_MALFORMED;
    } else if (opcode > 2) {
        return WS_RESERVED_OPCODE;
    }
    std::uint64_t n = 0, h = 0;
    if (header_6455(stream, at, &n, &h) && limit != 0 && (n > limit || h + n > limit))
        return WS_TOO_BIG;
    if (opcode == 0 && !fragmented)
        return WS_STRAY_CONTINUATION;
    return 0;
}

std::int64_t expected_76(const bytes& stream, std::size_t at, std::uint64_t limit)
{
    if (stream[at] == 0xFF)
        return stream.size() - at >= 2 && stream[at + 1] == 0x00 ? WS_CLOSE_RECEIVED : WS_MALFORMED;
    if (stream[at] != 0x00)
        return WS_MALFORMED;
    std::size_t end = at + 1;
    while (end < stream.size() && stream[end] != 0xFF)
        ++end;
    // The whole frame, terminator included, must fit the limit.
    const std::uint64_t size = end - at + 1;
    return limit != 0 && size > limit ? WS_TOO_BIG : 0;
}

struct reader {
    q_ws_t& ws;
    const bytes& stream;
    bool old = false;           // hixie-76 (the decoder clears version at the end)
    bool fragmented = false;    // the model's message state
    wstest::exact_buffer buffer;
    std::size_t kept = 0;       // bytes of an incomplete frame at the start
    std::size_t buffer_at = 0;  // stream offset of buffer[0]
    std::size_t frame_at = 0;   // stream offset of the next frame
    bool ended = false;

    reader(q_ws_t& w, const bytes& s) : ws(w), stream(s), old(ws_is_hixie_76(w.version.load())), buffer(s.size() + 1) {}

    void decode_frame(std::uint8_t* d, std::size_t t, std::uint8_t* payload, std::int64_t f)
    {
        // The payload and its NUL lie within the data handed over, the NUL
        // at most on the one spare byte.
        FUZZ_CHECK(payload > d && payload <= d + t);
        FUZZ_CHECK(static_cast<std::uint64_t>(f) <= t - static_cast<std::size_t>(payload - d));
        const std::size_t size = old ? static_cast<std::size_t>(f) - 1 : static_cast<std::size_t>(f);
        FUZZ_CHECK(ws.payload_size == size);
        FUZZ_CHECK(payload[size] == 0);
        FUZZ_CHECK(expected(frame_at) == 0);
        if (old) {
            FUZZ_CHECK(ws.frame_opcode == WS_OP_TEXT);
        } else {
            const std::uint8_t first = stream[frame_at];
            FUZZ_CHECK(ws.frame_opcode == (first & 0x0F));
            if (ws.frame_opcode < 8)
                fragmented = (first & 0x80) == 0;
        }
        std::size_t next = 0;
        const bytes expected = old ? reference_76(stream, frame_at, &next) : reference_6455(stream, frame_at, &next);
        FUZZ_CHECK(expected.size() == size);
        FUZZ_CHECK(size == 0 || std::memcmp(payload, expected.data(), size) == 0);
        FUZZ_CHECK((next < end_offset(d, t)) == (ws.more_frames != 0));
        frame_at = next;
    }

    std::int64_t expected(std::size_t at) const
    {
        return old ? expected_76(stream, at, ws.frame_limit)
                                                  : expected_6455(stream, at, fragmented, ws.frame_limit);
    }

    // Stream offset just past the data handed to the decoder.
    std::size_t end_offset(const std::uint8_t* d, std::size_t t) const
    {
        return buffer_at + static_cast<std::size_t>(d - buffer.block.get()) + t;
    }

    void receive(std::size_t from, std::size_t n)
    {
        std::memcpy(buffer.data() + kept, stream.data() + from, n);
        std::uint8_t* d = buffer.data();
        std::size_t t = kept + n;
        for (;;) {
            FUZZ_CHECK(buffer_at + static_cast<std::size_t>(d - buffer.data()) == frame_at);
            std::uint8_t* payload = nullptr;
            const std::int64_t f = ws.decrypt(d, t, &payload);
            if (ws.need_more) {
                FUZZ_CHECK(f == static_cast<std::int64_t>(t));
                FUZZ_CHECK(ws.more_frames == 0);
                std::memmove(buffer.data(), d, t);
                buffer_at = frame_at;
                kept = t;
                return;
            }
            if (f < 0) {
                FUZZ_CHECK(ws.more_frames == 0);
                FUZZ_CHECK(f == expected(frame_at));
                ended = true;
                return;
            }
            decode_frame(d, t, payload, f);
            if (!ws.more_frames) {
                kept = 0;
                buffer_at = frame_at;
                return;
            }
            std::uint8_t* next = payload + f;
            t -= static_cast<std::size_t>(next - d);
            d = next;
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bytes stream(data + 1, data + size);
    q_ws_t ws;
    ws.version.store((data[0] & 1) ? WS_VERSION_HIXIE_76 : WS_VERSION_RFC_6455);
    // Bit 1: a frame limit that short frames can reach.
    ws.frame_limit = (data[0] & 2) ? 16 + (data[0] >> 2) : 0;

    reader r(ws, stream);
    std::uint32_t sizes = data[0] | 1u;
    std::size_t at = 0;
    while (at < stream.size() && !r.ended) {
        // Reads of 1 to 64 bytes, or everything that is left.
        sizes = sizes * 1103515245u + 12345u;
        const std::size_t want = (sizes >> 16) % 8 == 0 ? stream.size() - at : 1 + (sizes >> 16) % 64;
        const std::size_t n = std::min(want, stream.size() - at);
        r.receive(at, n);
        at += n;
    }
    return 0;
}
