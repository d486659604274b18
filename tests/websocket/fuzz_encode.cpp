// Fuzz target: the frames one receiver gets from two raw senders.
//
// Input: byte 0 picks the dialect (bit 0: hixie-76), bytes 1 and 2 the
// capacity of the send half; then reads, each a byte (bit 7: sender B,
// bits 0..6: length) and that many bytes. Each read goes through its
// sender's hold-back (q_utf8_hold_t) and is framed with encode_part into
// as many halves as it needs; at the end both senders leave. Checked:
// every frame lies in its half, is complete and final; every RFC 6455 text
// frame is valid UTF-8 on its own; after the receiver turned binary every
// frame is binary; each sender's bytes arrive whole and in order; and when
// both senders' streams are valid UTF-8 every frame is text. The same reads
// also go through encode (whole packets at the head-room) to a second
// receiver, with the same text rule.
#include "tests/websocket/fuzz_support.h"
#include "tests/websocket/ws_test_util.h"
#include "websocket/q_utf8_hold.h"

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

// The payload of a complete RFC 6455 frame from the hub.
bytes check_6455_frame(const std::uint8_t* frame, std::uint64_t len)
{
    FUZZ_CHECK(len >= 2);
    FUZZ_CHECK((frame[0] & 0xF0) == 0x80);  // FIN, no RSV bit
    FUZZ_CHECK((frame[0] & 0x0F) == 1 || (frame[0] & 0x0F) == 2);
    FUZZ_CHECK((frame[1] & 0x80) == 0);     // never masked
    std::uint64_t n = frame[1];
    std::uint64_t header = 2;
    if (n == 126) {
        FUZZ_CHECK(len >= 4);
        n = (std::uint64_t{frame[2]} << 8) | frame[3];
        header = 4;
        FUZZ_CHECK(n >= 126);
    } else if (n == 127) {
        FUZZ_CHECK(len >= 10);
        n = 0;
        for (int k = 0; k < 8; ++k)
            n = (n << 8) | frame[2 + k];
        header = 10;
        FUZZ_CHECK(n >= 65536);
    }
    FUZZ_CHECK(len == header + n);
    const bytes payload(frame + header, frame + len);
    if ((frame[0] & 0x0F) == 1)
        FUZZ_CHECK(valid_utf8(payload));
    return payload;
}

bytes check_76_frame(const std::uint8_t* frame, std::uint64_t len)
{
    FUZZ_CHECK(len >= 2 && frame[0] == 0x00 && frame[len - 1] == 0xFF);
    return bytes(frame + 1, frame + len - 1);
}

struct receiver {
    q_ws_t ws;
    bool old;
    std::uint64_t cap;
    bool any_binary = false;

    receiver(bool hixie, std::uint64_t c) : old(hixie), cap(c)
    {
        ws.version.store(hixie ? WS_VERSION_HIXIE_76 : WS_VERSION_RFC_6455);
        ws.reset_scan();
    }

    bytes frame_checked(const std::uint8_t* frame, std::uint64_t len)
    {
        if (old)
            return check_76_frame(frame, len);
        const bool was_binary = ws.utf8_opcode.load() == 2;
        const bytes payload = check_6455_frame(frame, len);
        if (was_binary)
            FUZZ_CHECK(frame[0] == 0x82);
        any_binary = any_binary || frame[0] == 0x82;
        return payload;
    }

    // Everything of one span, in as many frames as it takes.
    bytes deliver(const bytes& span)
    {
        bytes got;
        std::uint64_t at = 0;
        do {
            wstest::exact_buffer half(cap);
            std::uint64_t taken = 0;
            const std::uint64_t len = ws.encode_part(half.data(), cap, span.data() + at, span.size() - at, &taken);
            FUZZ_CHECK(len != 0 && len <= cap);
            FUZZ_CHECK(taken <= span.size() - at && (taken != 0 || span.size() == at));
            const bytes payload = frame_checked(half.data(), len);
            FUZZ_CHECK(payload.size() == taken);
            FUZZ_CHECK(taken == 0 || std::memcmp(payload.data(), span.data() + at, taken) == 0);
            got.insert(got.end(), payload.begin(), payload.end());
            at += taken;
        } while (at < span.size());
        return got;
    }
};

struct sender {
    q_utf8_hold_t hold;
    bytes stream;    // everything it wrote
    bytes received;  // what the receiver got of it
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const bool old = (data[0] & 1) != 0;
    // Room for at least one whole character in every frame.
    const std::uint64_t cap = 14 + (std::uint64_t{data[1]} << 8 | data[2]) % 300;
    receiver r(old, cap);
    receiver whole(old, cap + q_ws_t::HEAD_ROOM + 127);
    sender senders[2];

    bytes buffer(q_utf8_hold_t::ROOM + 128);
    for (std::size_t at = 3; at < size;) {
        sender& s = senders[data[at] >> 7];
        const std::size_t n = std::min<std::size_t>(data[at] & 0x7F, size - at - 1);
        const std::uint8_t* read = data + at + 1;
        at += 1 + n;
        if (n == 0)
            continue;
        s.stream.insert(s.stream.end(), read, read + n);
        std::memcpy(buffer.data() + q_utf8_hold_t::ROOM, read, n);
        const std::uint8_t* start = nullptr;
        const std::uint64_t span = s.hold.wrap(buffer.data() + q_utf8_hold_t::ROOM, n, &start);
        FUZZ_CHECK(s.hold.count <= 3);
        if (span != 0) {
            const bytes b(start, start + span);
            const bytes got = r.deliver(b);
            FUZZ_CHECK(got == b);
            s.received.insert(s.received.end(), got.begin(), got.end());
        }

        // The same read whole, behind the head-room.
        const bytes packet(read, read + n);
        wstest::exact_buffer half(whole.cap);
        std::uint64_t len = n;
        std::uint8_t* frame = whole.ws.encode(half.data(), whole.cap, packet.data(), &len);
        FUZZ_CHECK(frame != nullptr && frame >= half.data());
        FUZZ_CHECK(len <= whole.cap - static_cast<std::uint64_t>(frame - half.data()));
        FUZZ_CHECK(whole.frame_checked(frame, len) == packet);
    }
    for (sender& s : senders) {
        const std::uint8_t* start = nullptr;
        const std::uint64_t left = s.hold.release(&start);
        if (left != 0) {
            const bytes b(start, start + left);
            const bytes got = r.deliver(b);
            s.received.insert(s.received.end(), got.begin(), got.end());
        }
        FUZZ_CHECK(s.received == s.stream);
    }
    if (!old && valid_utf8(senders[0].stream) && valid_utf8(senders[1].stream))
        FUZZ_CHECK(!r.any_binary && r.ws.utf8_opcode.load() == 1);
    return 0;
}
