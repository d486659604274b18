// Fuzz target: q_ws_t::encode (with classify) over a stream of packets to
// one receiver.
//
// Input: byte 0 picks the dialect (bit 0: hixie-76), bytes 1 and 2 the
// capacity of the send half; then packets, each a length byte and that many
// payload bytes. Every frame is checked to lie inside its half and to carry
// the payload unchanged, and the RFC 6455 frames are fed to a model of a
// browser: messages must be well-formed sequences of frames, every complete
// text message must be valid UTF-8 on its own, a receiver never returns from
// binary, and a stream that is valid UTF-8 as a whole goes out as text only.
#include "tests/websocket/fuzz_support.h"
#include "tests/websocket/ws_test_util.h"

#include <cstring>

namespace {

using wstest::bytes;

// RFC 3629, written out independently of the scan under test.
bool valid_utf8(const bytes& s)
{
    std::size_t i = 0;
    while (i < s.size()) {
        const std::uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t n = 0;
        std::uint8_t low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) n = 2;
        else if (c == 0xE0) { n = 3; low = 0xA0; }
        else if (c == 0xED) { n = 3; high = 0x9F; }
        else if (c >= 0xE1 && c <= 0xEF) n = 3;
        else if (c == 0xF0) { n = 4; low = 0x90; }
        else if (c == 0xF4) { n = 4; high = 0x8F; }
        else if (c >= 0xF1 && c <= 0xF3) n = 4;
        else return false;
        if (s.size() - i < n || s[i + 1] < low || s[i + 1] > high)
            return false;
        for (std::size_t k = 2; k < n; ++k)
            if (s[i + k] < 0x80 || s[i + k] > 0xBF)
                return false;
        i += n;
    }
    return true;
}

bool is_end_marker(const bytes& p)
{
    return (p.size() == 1 && p[0] == 0xFF) || (p.size() == 2 && p[0] == 0x00 && p[1] == 0xFF);
}

// What a browser makes of the frames it receives.
struct browser {
    bool in_message = false;
    bytes message;
    bool binary_for_good = false;

    void frame(std::uint8_t first, const bytes& payload, bool turned_binary_now)
    {
        const std::uint8_t opcode = first & 0x0F;
        const bool fin = (first & 0x80) != 0;
        FUZZ_CHECK((first & 0x70) == 0);
        if (binary_for_good)
            FUZZ_CHECK(first == 0x82);
        if (opcode == 0) {
            FUZZ_CHECK(in_message);
            message.insert(message.end(), payload.begin(), payload.end());
        } else {
            FUZZ_CHECK(!in_message);
            FUZZ_CHECK(opcode == 1 || (opcode == 2 && fin));
            message = payload;
            if (opcode == 2)
                return;
        }
        in_message = !fin;
        // A message cut off by the switch to binary cannot be valid; every
        // other text message must be.
        if (fin && !turned_binary_now)
            FUZZ_CHECK(valid_utf8(message));
    }
};

void check_6455_frame(const std::uint8_t* frame, std::uint64_t len, const bytes& payload)
{
    const std::uint64_t n = payload.size();
    const std::uint64_t header = n <= 125 ? 2 : n <= 65535 ? 4 : 10;
    FUZZ_CHECK(len == n + header);
    std::uint64_t declared = frame[1];
    if (header == 4)
        declared = (std::uint64_t{frame[2]} << 8) | frame[3];
    FUZZ_CHECK(declared == n);
    FUZZ_CHECK(std::memcmp(frame + header, payload.data(), n) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const bool old = (data[0] & 1) != 0;
    const std::uint64_t cap = (std::uint64_t{data[1]} << 8 | data[2]) % 300;
    q_ws_t ws;
    ws.version.store(old ? 8 : 13);
    ws.reset_scan();

    browser b;
    bytes whole_stream;
    bool stream_has_marker = false;
    bool any_binary = false;
    for (std::size_t at = 3; at < size;) {
        const std::size_t n = std::min<std::size_t>(data[at], size - at - 1);
        const bytes packet(data + at + 1, data + at + 1 + n);
        at += 1 + n;

        wstest::exact_buffer half(cap);
        std::uint64_t len = packet.size();
        const std::int32_t opcode_before = ws.utf8_opcode.load();
        std::uint8_t* frame = ws.encode(half.data(), cap, packet.data(), &len);
        const bool fits = !packet.empty() && packet.size() + (old ? 2 : q_ws_t::HEAD_ROOM) <= cap;
        FUZZ_CHECK((frame != nullptr) == fits);
        if (!frame) {
            FUZZ_CHECK(len == packet.size());
            continue;
        }
        FUZZ_CHECK(frame >= half.data() && frame < half.data() + cap);
        FUZZ_CHECK(len <= cap - static_cast<std::uint64_t>(frame - half.data()));
        if (old) {
            FUZZ_CHECK(frame == half.data() && len == n + 2 && frame[0] == 0x00 && frame[n + 1] == 0xFF);
            FUZZ_CHECK(std::memcmp(frame + 1, packet.data(), n) == 0);
            continue;
        }
        check_6455_frame(frame, len, packet);
        FUZZ_CHECK(frame + len == half.data() + q_ws_t::HEAD_ROOM + n);
        const std::int32_t opcode_after = ws.utf8_opcode.load();
        FUZZ_CHECK(opcode_before == 1 || opcode_after == 2);
        b.frame(frame[0], packet, opcode_before == 1 && opcode_after == 2);
        b.binary_for_good = opcode_after == 2;

        whole_stream.insert(whole_stream.end(), packet.begin(), packet.end());
        stream_has_marker = stream_has_marker || is_end_marker(packet);
        any_binary = any_binary || (frame[0] & 0x0F) == 2;
    }
    if (!old && !stream_has_marker && valid_utf8(whole_stream))
        FUZZ_CHECK(!any_binary && ws.utf8_opcode.load() == 1);
    return 0;
}
