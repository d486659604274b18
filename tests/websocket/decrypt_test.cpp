// q_ws_t::decrypt: single frames by table, then the multi-call protocols
// (frames sharing a buffer, frames arriving in pieces, fragments with
// control frames between them, close). The decoder itself never writes to
// the connection: every answer goes through the slot's writer.
#include "tests/websocket/ws_test_util.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

namespace {

using wstest::bytes;
using wstest::client_frame;
using wstest::of;

// A q_ws_t whose transport is one end of a socket pair, so anything the
// decoder sent would show at the other end.
class Decrypt : public testing::Test {
protected:
    q_ws_t ws;
    int peer = -1;

    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        ws.tls.so.store(fds[0]);
        peer = fds[1];
        ws.version.store(13);
    }

    void TearDown() override
    {
        const SOCKET so = ws.tls.so.exchange(INVALID_SOCKET);
        if (so != INVALID_SOCKET)
            ::close(so);
        ::close(peer);
    }

    // Everything the decoder has sent so far.
    bytes sent()
    {
        bytes all;
        std::uint8_t chunk[64];
        for (;;) {
            const ssize_t n = ::recv(peer, chunk, sizeof(chunk), MSG_DONTWAIT);
            if (n <= 0)
                return all;
            all.insert(all.end(), chunk, chunk + n);
        }
    }
};

struct decode_case {
    const char* name;
    std::int32_t version;
    bytes input;
    std::int64_t result;
    bool need_more;
    bool more_frames;
    std::int64_t payload_offset; // -1: no payload to look at
    bytes payload;               // followed by a NUL in the buffer
    std::int32_t version_after;
    int opcode; // frame_opcode of a decoded frame; -1: none
};

std::vector<decode_case> single_frame_cases()
{
    const std::uint8_t key[4] = {0x01, 0x02, 0x03, 0x04};
    const bytes hello = of("Hello");
    const bytes p125 = wstest::pattern(125), p126 = wstest::pattern(126);
    const bytes p65535 = wstest::pattern(65535), p65536 = wstest::pattern(65536);
    const bytes masked_head = {0x81, 0x85, 0x01, 0x02, 0x03, 0x04};
    bytes huge = {0x82, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'x'};
    const std::int64_t M = WS_MALFORMED, C = WS_CLOSE_RECEIVED;
    return {
        {"masked text", 13, client_frame(0x81, hello, true, key), 5, false, false, 6, hello, 13, 1},
        {"unmasked binary", 13, client_frame(0x82, hello, false), 5, false, false, 2, hello, 13, 2},
        {"empty data frame", 13, client_frame(0x81, {}, true), 0, false, false, 6, {}, 13, 1},
        {"empty frame followed by more", 13, wstest::join(client_frame(0x82, {}, true), {0x81}), 0, false, true, 6, {},
         13, 2},
        {"length 125, short header", 13, client_frame(0x82, p125, true), 125, false, false, 6, p125, 13, 2},
        {"length 126, 16-bit length", 13, client_frame(0x82, p126, true), 126, false, false, 8, p126, 13, 2},
        {"length 65535, 16-bit length", 13, client_frame(0x82, p65535, true), 65535, false, false, 8, p65535, 13, 2},
        {"length 65536, 64-bit length", 13, client_frame(0x82, p65536, true), 65536, false, false, 14, p65536, 13, 2},
        {"frame followed by more bytes", 13, wstest::join(client_frame(0x81, hello, true), {0x81}), 5, false, true, 6,
         hello, 13, 1},

        {"first byte alone", 13, {0x81}, 1, true, false, -1, {}, 13, -1},
        {"16-bit length cut short", 13, {0x81, 0x7E, 0x00}, 3, true, false, -1, {}, 13, -1},
        {"64-bit length cut short", 13, {0x81, 0x7F, 0, 0, 0, 0, 0, 0, 1}, 9, true, false, -1, {}, 13, -1},
        {"masking key cut short", 13, {0x81, 0x85, 0x01, 0x02}, 4, true, false, -1, {}, 13, -1},
        {"no payload yet", 13, masked_head, 6, true, false, -1, {}, 13, -1},
        {"part of the payload", 13, wstest::join(masked_head, {0x49, 0x67}), 8, true, false, -1, {}, 13, -1},
        {"length beyond any buffer", 13, huge, 11, true, false, -1, {}, 13, -1},

        {"ping", 13, client_frame(0x89, hello, true), 5, false, false, 6, hello, 13, 9},
        {"empty ping", 13, {0x89, 0x00}, 0, false, false, 2, {}, 13, 9},
        {"pong", 13, client_frame(0x8A, hello, true), 5, false, false, 6, hello, 13, 10},
        {"ping cut short", 13, {0x89, 0x85, 1, 2}, 4, true, false, -1, {}, 13, -1},
        {"ping of 126 bytes", 13, client_frame(0x89, p126, true), M, false, false, -1, {}, 13, -1},
        {"ping without FIN", 13, {0x09, 0x00}, M, false, false, -1, {}, 13, -1},

        {"close frame", 13, {0x88, 0x80, 1, 2, 3, 4}, C, false, false, -1, {}, 13, -1},
        {"close byte alone", 13, {0x88}, C, false, false, -1, {}, 13, -1},
        {"empty buffer", 13, {}, C, false, false, -1, {}, 13, -1},
        {"close without FIN", 13, {0x08, 0x00}, M, false, false, -1, {}, 13, -1},
        {"reserved data opcode", 13, {0x83, 0x00}, WS_RESERVED_OPCODE, false, false, -1, {}, 13, -1},
        {"reserved control opcode", 13, {0x8B, 0x00}, WS_RESERVED_OPCODE, false, false, -1, {}, 13, -1},
        {"RSV1", 13, {0xC1, 0x00}, M, false, false, -1, {}, 13, -1},
        {"RSV2", 13, {0xA1, 0x00}, M, false, false, -1, {}, 13, -1},
        {"RSV3 on a close", 13, {0x98, 0x00}, M, false, false, -1, {}, 13, -1},
        {"continuation after the handshake", 13, {0x00, 0x00}, WS_STRAY_CONTINUATION, false, false, -1, {}, 13, -1},
        {"no framing", 0, client_frame(0x81, hello, true), WS_ENDED, false, false, -1, {}, 0, -1},

        {"hixie-76 frame", 8, {0x00, 'a', 'b', 0xFF}, 3, false, false, 1, of("ab"), 8, 1},
        {"hixie-76 frame and more", 8, {0x00, 'a', 0xFF, 0x00, 'b', 0xFF}, 2, false, true, 1, of("a"), 8, 1},
        {"hixie-76 empty frame", 8, {0x00, 0xFF}, 1, false, false, 1, {}, 8, 1},
        {"hixie-76 without terminator", 8, {0x00, 'a', 'b'}, 3, true, false, -1, {}, 8, -1},
        {"hixie-76 opening byte alone", 8, {0x00}, 1, true, false, -1, {}, 8, -1},
        {"hixie-76 closing frame", 8, {0xFF, 0x00}, C, false, false, -1, {}, 8, -1},
        {"hixie-76 closing byte alone", 8, {0xFF}, 1, true, false, -1, {}, 8, -1},
        {"hixie-76 not starting with 0x00", 8, {0xFF, 0x01}, M, false, false, -1, {}, 8, -1},
        {"hixie-76 starting with another byte", 8, {0x80, 0x00}, M, false, false, -1, {}, 8, -1},
        {"hixie-76 empty buffer", 8, {}, C, false, false, -1, {}, 8, -1},
        {"version 1 decodes as hixie-76", 1, {0x00, 'z', 0xFF}, 2, false, false, 1, of("z"), 1, 1},
    };
}

TEST_F(Decrypt, SingleFrames)
{
    for (const decode_case& c : single_frame_cases()) {
        SCOPED_TRACE(c.name);
        ws.version.store(c.version);
        ws.need_more = ws.more_frames = ws.fragmented = 0;
        // One writable byte after the data, for the NUL behind a payload.
        wstest::exact_buffer buffer(c.input, 1);
        std::uint8_t* payload = nullptr;

        const std::int64_t result = ws.decrypt(buffer.data(), c.input.size(), &payload);

        EXPECT_EQ(result, c.result);
        EXPECT_EQ(ws.need_more, c.need_more ? 1 : 0);
        EXPECT_EQ(ws.more_frames, c.more_frames ? 1 : 0);
        EXPECT_EQ(ws.version.load(), c.version_after);
        EXPECT_EQ(sent(), bytes{});
        if (c.opcode >= 0) {
            EXPECT_EQ(ws.frame_opcode, c.opcode);
            EXPECT_EQ(ws.payload_size, c.payload.size());
        }
        if (c.need_more) {
            EXPECT_EQ(bytes(buffer.data(), buffer.data() + c.input.size()), c.input) << "incomplete frame changed";
        }
        if (c.payload_offset >= 0) {
            ASSERT_EQ(payload, buffer.data() + c.payload_offset);
            EXPECT_EQ(bytes(payload, payload + c.payload.size()), c.payload);
            EXPECT_EQ(payload[c.payload.size()], 0) << "no NUL after the payload";
        }
    }
}

// The answer to a close is the connection's last frame: once it is made,
// nothing is decoded or framed any more.
TEST_F(Decrypt, AfterTheCloseReplyEveryCallEnds)
{
    std::uint8_t close[2] = {0x88, 0x00};
    EXPECT_EQ(ws.decrypt(close, 1, nullptr), WS_CLOSE_RECEIVED);
    std::uint8_t reply[4];
    ASSERT_EQ(ws.encode_close(reply, sizeof(reply), WS_CLOSE_NORMAL), 4u);
    EXPECT_EQ(bytes(reply, reply + 4), (bytes{0x88, 0x02, 0x03, 0xE8}));
    EXPECT_EQ(ws.encode_close(reply, sizeof(reply), WS_CLOSE_NORMAL), 0u) << "a second close";
    std::uint64_t len = 4;
    EXPECT_EQ(ws.encode(reply, sizeof(reply), reply, &len), nullptr);
    bytes frame = client_frame(0x81, of("late"), true);
    frame.push_back(0);
    std::uint8_t* payload = nullptr;
    EXPECT_EQ(ws.decrypt(frame.data(), frame.size() - 1, &payload), WS_ENDED);
    EXPECT_EQ(ws.decrypt(close, 1, &payload), WS_ENDED);
    EXPECT_EQ(sent(), bytes{});
}

// Data frames in fragments: text without FIN, continuations, the final one;
// pings and pongs may come between them and leave the message open.
TEST_F(Decrypt, FragmentsWithControlFramesBetweenAndStrayContinuations)
{
    struct step {
        std::uint8_t first;
        std::int64_t result;
    };
    const step steps[] = {
        {0x01, 1}, // text, FIN clear: opens a message
        {0x89, 1}, // ping between fragments
        {0x00, 1}, // continuation
        {0x8A, 1}, // pong between fragments
        {0x80, 1}, // final continuation: the message is complete
        {0x00, WS_STRAY_CONTINUATION},
        {0x02, 1}, // binary, FIN clear
        {0x80, 1},
        {0x81, 1}, // an unfragmented frame
        {0x80, WS_STRAY_CONTINUATION},
    };
    for (const step& s : steps) {
        SCOPED_TRACE(static_cast<int>(s.first));
        bytes frame = client_frame(s.first, of("x"), true);
        frame.push_back(0);
        std::uint8_t* payload = nullptr;
        EXPECT_EQ(ws.decrypt(frame.data(), frame.size() - 1, &payload), s.result);
    }
}

// The decoding loop of the relay: frames are taken one after another at
// payload + result; an incomplete frame is moved to the start of the buffer
// and the next read is appended behind it.
struct relay_reader {
    q_ws_t& ws;
    bytes buffer;
    std::uint64_t kept = 0;
    std::vector<bytes> payloads;
    bytes opcodes;
    bool failed = false;

    relay_reader(q_ws_t& w, std::uint64_t capacity) : ws(w), buffer(capacity + 1) {}

    void receive(const std::uint8_t* p, std::uint64_t n)
    {
        std::memcpy(buffer.data() + kept, p, n);
        std::uint8_t* d = buffer.data();
        std::uint64_t t = kept + n;
        for (;;) {
            std::uint8_t* payload = nullptr;
            const std::int64_t f = ws.decrypt(d, t, &payload);
            if (f < 0) {
                failed = true;
                return;
            }
            if (ws.need_more) {
                std::memmove(buffer.data(), d, t);
                kept = t;
                return;
            }
            payloads.emplace_back(payload, payload + ws.payload_size);
            opcodes.push_back(ws.frame_opcode);
            kept = 0;
            if (!ws.more_frames)
                return;
            std::uint8_t* next = payload + f;
            t -= static_cast<std::uint64_t>(next - d);
            d = next;
        }
    }
};

// The same stream cut in two at every position, and fed byte by byte,
// always yields the same payloads: need_more keeps incomplete frames whole
// and the saved byte restores each following frame's first byte.
TEST_F(Decrypt, StreamCutAnywhereGivesTheSamePayloads)
{
    const std::vector<bytes> messages = {of("one"), wstest::pattern(126), of("x"), wstest::pattern(300, 9), of("last"),
                                         of("ping"), {}, of("frag"), of("pong"), of("ment"), {}};
    // Text, binary, an unmasked text, ..., a ping, an empty binary frame, a
    // fragmented text with a pong between its fragments, an empty text.
    const bytes firsts = {0x81, 0x82, 0x81, 0x82, 0x81, 0x89, 0x82, 0x01, 0x8A, 0x80, 0x81};
    const bytes opcodes = {1, 2, 1, 2, 1, 9, 2, 1, 10, 0, 1};
    const std::uint8_t key[4] = {0x81, 0x82, 0x83, 0x84};
    bytes stream;
    for (std::size_t i = 0; i < messages.size(); ++i)
        stream = wstest::join(stream, client_frame(firsts[i], messages[i], i != 2, key));

    for (std::uint64_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        ws.version.store(13);
        ws.need_more = ws.more_frames = ws.fragmented = 0;
        relay_reader reader(ws, stream.size());
        if (cut > 0)
            reader.receive(stream.data(), cut);
        if (cut < stream.size())
            reader.receive(stream.data() + cut, stream.size() - cut);
        ASSERT_FALSE(reader.failed);
        EXPECT_EQ(reader.payloads, messages);
        EXPECT_EQ(reader.opcodes, opcodes);
    }

    ws.need_more = ws.more_frames = ws.fragmented = 0;
    relay_reader reader(ws, stream.size());
    for (std::uint8_t b : stream)
        reader.receive(&b, 1);
    EXPECT_FALSE(reader.failed);
    EXPECT_EQ(reader.payloads, messages);
}

TEST_F(Decrypt, Hixie76StreamCutAnywhereGivesTheSamePayloads)
{
    const std::vector<bytes> messages = {of("alpha"), of("b"), of("gamma delta")};
    bytes stream;
    for (const bytes& m : messages)
        stream = wstest::join(wstest::join(stream, {0x00}), wstest::join(m, {0xFF}));

    for (std::uint64_t cut = 1; cut <= stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        ws.version.store(8);
        ws.need_more = ws.more_frames = 0;
        relay_reader reader(ws, stream.size());
        reader.receive(stream.data(), cut);
        if (cut < stream.size())
            reader.receive(stream.data() + cut, stream.size() - cut);
        ASSERT_FALSE(reader.failed);
        EXPECT_EQ(reader.payloads, messages);
    }
}

// A frame longer than the receive buffer can hold is refused as soon as its
// header says so, with the declared length for the log; one that fits
// exactly is decoded.
TEST_F(Decrypt, FrameLongerThanTheLimitIsTooBig)
{
    struct limit_case {
        const char* name;
        std::int32_t version;
        bytes input;
        std::uint64_t limit;
        std::int64_t result;
        std::uint64_t declared;
    };
    const bytes fits = client_frame(0x82, wstest::pattern(4087), true);  // 4095 bytes in all
    const bytes over = client_frame(0x82, wstest::pattern(4088), true);
    const bytes header_only = {0x81, 0xFE, 0x27, 0x10, 1, 2, 3, 4};      // 10000 bytes declared
    const bytes huge = {0x82, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    bytes unterminated(4095, 'a');
    unterminated[0] = 0x00;
    const limit_case cases[] = {
        {"frame of exactly the limit", 13, fits, 4095, 4087, 4087},
        {"one byte more", 13, over, 4095, WS_TOO_BIG, 4088},
        {"header alone is enough", 13, header_only, 4095, WS_TOO_BIG, 10000},
        {"length near 2^64", 13, huge, 4095, WS_TOO_BIG, ~std::uint64_t{0}},
        {"no limit", 13, header_only, 0, static_cast<std::int64_t>(header_only.size()), 0},
        {"hixie-76 without terminator filling the buffer", 8, unterminated, 4095, WS_TOO_BIG, 4094},
        {"hixie-76 without terminator, room left", 8, unterminated, 4096, 4095, 0},
    };
    for (const limit_case& c : cases) {
        SCOPED_TRACE(c.name);
        ws.version.store(c.version);
        ws.need_more = ws.more_frames = ws.fragmented = 0;
        ws.payload_size = 0;
        ws.frame_limit = c.limit;
        wstest::exact_buffer buffer(c.input, 1);
        std::uint8_t* payload = nullptr;
        EXPECT_EQ(ws.decrypt(buffer.data(), c.input.size(), &payload), c.result);
        if (c.result == WS_TOO_BIG) {
            EXPECT_EQ(ws.payload_size, c.declared);
        }
    }
}

} // namespace
