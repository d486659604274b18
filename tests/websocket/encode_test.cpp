// q_ws_t::encode and classify: frame layout inside the send half, the
// capacity limits, and the opcode (and FIN) that the UTF-8 scan of each
// receiver's stream gives its frames.
#include "tests/websocket/ws_test_util.h"

#include <gtest/gtest.h>

namespace {

using wstest::bytes;
using wstest::of;

// An upgraded receiver right after its handshake.
struct receiver {
    q_ws_t ws;
    explicit receiver(std::int32_t version)
    {
        ws.version.store(version);
        ws.reset_scan();
    }

    // Frames one packet into an exact-size half of `cap` bytes; the frame
    // bytes, or nothing when no frame was made.
    bytes send(const bytes& packet, std::uint64_t cap, std::uint64_t* offset = nullptr)
    {
        wstest::exact_buffer half(cap);
        std::uint64_t len = packet.size();
        std::uint8_t* frame = ws.encode(half.data(), cap, packet.data(), &len);
        if (!frame)
            return {};
        EXPECT_GE(frame, half.data());
        EXPECT_LE(len, cap - static_cast<std::uint64_t>(frame - half.data()));
        if (offset)
            *offset = static_cast<std::uint64_t>(frame - half.data());
        return bytes(frame, frame + len);
    }
    bytes send(const bytes& packet) { return send(packet, packet.size() + 10); }
};

struct layout_case {
    const char* name;
    std::int32_t version;
    std::uint64_t length;
    std::uint64_t offset; // of the frame inside the half
    bytes header;
};

TEST(Encode, HeaderInFrontOfThePayloadAtTheFixedHeadRoom)
{
    const layout_case cases[] = {
        {"5 bytes", 13, 5, 8, {0x81, 0x05}},
        {"125 bytes", 13, 125, 8, {0x81, 0x7D}},
        {"126 bytes", 13, 126, 6, {0x81, 0x7E, 0x00, 0x7E}},
        {"65535 bytes", 13, 65535, 6, {0x81, 0x7E, 0xFF, 0xFF}},
        {"65536 bytes", 13, 65536, 0, {0x81, 0x7F, 0, 0, 0, 0, 0, 1, 0, 0}},
        {"hixie-76", 8, 5, 0, {0x00}},
    };
    for (const layout_case& c : cases) {
        SCOPED_TRACE(c.name);
        receiver r(c.version);
        const bytes payload(c.length, 'a');
        std::uint64_t offset = 99;
        const bytes frame = r.send(payload, c.length + 10, &offset);
        EXPECT_EQ(offset, c.offset);
        ASSERT_EQ(frame.size(), c.header.size() + c.length + (c.version < 13 ? 1 : 0));
        EXPECT_EQ(bytes(frame.begin(), frame.begin() + c.header.size()), c.header);
        EXPECT_EQ(bytes(frame.begin() + c.header.size(), frame.begin() + c.header.size() + c.length), payload);
        if (c.version < 13) {
            EXPECT_EQ(frame.back(), 0xFF);
        }
    }
}

TEST(Encode, Hixie76PayloadIsNotEscaped)
{
    receiver r(8);
    const bytes payload = {'a', 0xFF, 0x00, 'b'};
    EXPECT_EQ(r.send(payload), (bytes{0x00, 'a', 0xFF, 0x00, 'b', 0xFF}));
}

// The whole frame stays inside the half: RFC 6455 takes payloads up to
// cap - 10 (the head-room), hixie-76 up to cap - 2 (both frame bytes). The
// halves are exact heap blocks, so a byte written past one shows under the
// address sanitizer.
TEST(Encode, RefusesPayloadsThatDoNotFit)
{
    struct fit_case {
        std::int32_t version;
        std::uint64_t cap;
        std::uint64_t length;
        bool framed;
    };
    const fit_case cases[] = {
        {13, 100, 90, true}, {13, 100, 91, false}, {13, 10, 1, false}, {13, 0, 1, false},
        {8, 100, 98, true},  {8, 100, 99, false},  {8, 2, 1, false},   {8, 1, 1, false},
    };
    for (const fit_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "version " << c.version << " cap " << c.cap << " length " << c.length);
        receiver r(c.version);
        const bytes frame = r.send(bytes(c.length, 'a'), c.cap);
        EXPECT_EQ(!frame.empty(), c.framed);
    }
}

TEST(Encode, MakesNoFrameWithoutPayloadBufferOrFraming)
{
    receiver r(13);
    std::uint8_t half[64];
    const std::uint8_t payload[4] = {'a', 'b', 'c', 'd'};
    std::uint64_t len = 4;
    EXPECT_EQ(r.ws.encode(nullptr, 64, payload, &len), nullptr);
    EXPECT_EQ(r.ws.encode(half, 64, nullptr, &len), nullptr);
    EXPECT_EQ(r.ws.encode(half, 64, payload, nullptr), nullptr);
    len = 0;
    EXPECT_EQ(r.ws.encode(half, 64, payload, &len), nullptr);
    len = 4;
    r.ws.version.store(0);
    EXPECT_EQ(r.ws.encode(half, 64, payload, &len), nullptr);
    EXPECT_EQ(len, 4u);
}

// Packets in order to one receiver, with the first header byte each frame
// must carry (0x81 text, 0x82 binary, 0x01 text without FIN, 0x00 / 0x80
// continuation without / with FIN) and the receiver's opcode afterwards.
struct stream_case {
    const char* name;
    std::vector<bytes> packets;
    bytes first_bytes;
    std::int32_t opcode_after;
};

bytes u8(const char* s)
{
    return of(s);
}

std::vector<stream_case> stream_cases()
{
    return {
        {"ASCII", {u8("hello")}, {0x81}, 1},
        {"two-byte character", {{0xC3, 0xA9}}, {0x81}, 1},
        {"Arabic", {u8("\u0645\u0631\u062D\u0628\u0627")}, {0x81}, 1},
        {"Arabic letter alef", {{0xD8, 0xA7}}, {0x81}, 1},
        {"Devanagari", {u8("\u0928\u092E\u0938\u094D\u0924\u0947")}, {0x81}, 1},
        {"Thai", {u8("\u0E2A\u0E27\u0E31\u0E2A\u0E14\u0E35")}, {0x81}, 1},
        {"emoji", {u8("\U0001F600\U0001F44D")}, {0x81}, 1},
        {"smallest of each range", {{0xE0, 0xA0, 0x80, 0xF0, 0x90, 0x80, 0x80, 0xC2, 0x80}}, {0x81}, 1},
        {"largest below surrogates and U+10FFFF", {{0xED, 0x9F, 0xBF, 0xF4, 0x8F, 0xBF, 0xBF}}, {0x81}, 1},

        // A frame is a message of its own: one that ends inside a character
        // is not valid text, whatever follows it.
        {"character split over two packets", {{'a', 0xC3}, {0xA9, 'b'}}, {0x82, 0x82}, 2},
        {"character split over three packets", {{0xF0, 0x9F}, {0x98}, {0x80}}, {0x82, 0x82, 0x82}, 2},
        {"lead byte alone in the first packet", {{0xC3}, {0xA9}}, {0x82, 0x82}, 2},
        {"text, then a packet ending inside a character", {u8("x"), {0xE2, 0x82}, u8("y")}, {0x81, 0x82, 0x82}, 2},

        {"leading continuation bytes after the handshake", {{0x80, 0x80, 'a'}, u8("b")}, {0x82, 0x81}, 1},
        {"three leading continuation bytes", {{0x80, 0x80, 0x80}, u8("b")}, {0x82, 0x81}, 1},
        {"four leading continuation bytes", {{0x80, 0x80, 0x80, 0x80}, u8("b")}, {0x82, 0x82}, 2},
        {"never-valid byte right after the handshake", {{0xF5}, u8("b")}, {0x82, 0x81}, 1},
        {"0xFF alone", {{0xFF}, u8("b")}, {0x82, 0x81}, 1},
        {"0x00 0xFF", {u8("a"), {0x00, 0xFF}, u8("b")}, {0x81, 0x82, 0x81}, 1},
        {"binary packet ending inside a character", {{0x80, 0xC3}, {0xA9, 'a'}, u8("b")}, {0x82, 0x82, 0x82}, 2},

        {"overlong two-byte form 0xC0", {{0xC0, 0x80}, u8("a")}, {0x82, 0x82}, 2},
        {"overlong two-byte form 0xC1", {{0xC1, 0xBF}, u8("a")}, {0x82, 0x82}, 2},
        {"overlong three-byte form", {{0xE0, 0x80, 0x80}, u8("a")}, {0x82, 0x82}, 2},
        {"overlong four-byte form", {{0xF0, 0x80, 0x80, 0x80}, u8("a")}, {0x82, 0x82}, 2},
        {"surrogate", {{0xED, 0xA0, 0x80}, u8("a")}, {0x82, 0x82}, 2},
        {"above U+10FFFF", {{0xF4, 0x90, 0x80, 0x80}, u8("a")}, {0x82, 0x82}, 2},
        {"lead byte 0xF5 after text", {u8("a"), {0xF5, 0x80, 0x80, 0x80}, u8("b")}, {0x81, 0x82, 0x82}, 2},
        {"0xFF after text", {u8("a"), {'b', 0xFF}, u8("c")}, {0x81, 0x82, 0x82}, 2},
        {"ASCII inside a character", {{0xC3, 'a'}, u8("b")}, {0x82, 0x82}, 2},
        {"continuation byte outside a character", {u8("a"), {0x80}, u8("b")}, {0x81, 0x82, 0x82}, 2},

        {"overlong form split after its lead byte", {{0xE0}, {0x80, 0x80}, u8("a")}, {0x82, 0x82, 0x82}, 2},
        {"valid narrow lead byte alone", {{0xE0}, {0xA0, 0x80}, u8("a")}, {0x82, 0x82, 0x82}, 2},
    };
}

TEST(Classify, OpcodeAndFinFollowTheReceiversStream)
{
    for (const stream_case& c : stream_cases()) {
        SCOPED_TRACE(c.name);
        receiver r(13);
        bytes first_bytes;
        for (const bytes& packet : c.packets) {
            const bytes frame = r.send(packet);
            ASSERT_FALSE(frame.empty());
            first_bytes.push_back(frame[0]);
            EXPECT_EQ(bytes(frame.end() - static_cast<std::ptrdiff_t>(packet.size()), frame.end()), packet);
        }
        EXPECT_EQ(first_bytes, c.first_bytes);
        EXPECT_EQ(r.ws.utf8_opcode.load(), c.opcode_after);
    }
}

// Each receiver has its own scan: one client turning binary leaves
// another's text alone, and a hixie-76 client is framed the same whatever
// its bytes.
TEST(Classify, ScanBelongsToEachReceiver)
{
    receiver a(13), b(13), old(8);
    EXPECT_EQ(a.send({0xC0, 0x80})[0], 0x82);
    EXPECT_EQ(b.send(u8("text"))[0], 0x81);
    EXPECT_EQ(a.send(u8("text"))[0], 0x82);

    EXPECT_EQ(old.send({0xC3}), (bytes{0x00, 0xC3, 0xFF}));
    EXPECT_EQ(old.send({0xA9}), (bytes{0x00, 0xA9, 0xFF}));
}

TEST(Classify, ResetScanStartsTheNextConnectionAsText)
{
    receiver r(13);
    EXPECT_EQ(r.send({0xC3})[0], 0x82);
    EXPECT_EQ(r.ws.utf8_opcode.load(), 2);

    r.ws.reset_scan();
    EXPECT_EQ(r.ws.utf8_opcode.load(), 1);
    EXPECT_EQ(r.ws.utf8_pending.load(), 3);
    EXPECT_EQ(r.ws.utf8_fresh.load(), 1);
    EXPECT_EQ(r.send({0xE0})[0], 0x82);
    r.ws.reset_scan();
    EXPECT_EQ(r.ws.utf8_lead.load(), 0);
    EXPECT_EQ(r.send({0x80, 'a'})[0], 0x82) << "a stale lead byte survived the reset";
    EXPECT_EQ(r.ws.utf8_opcode.load(), 1);
}

// encode_part: what one receiver gets of a payload, frame by frame, when
// each frame must fit a half of `cap` bytes.
std::vector<bytes> frames_of(q_ws_t& ws, const bytes& payload, std::uint64_t cap, bytes* joined)
{
    std::vector<bytes> frames;
    std::uint64_t at = 0;
    do {
        wstest::exact_buffer half(cap);
        std::uint64_t taken = 0;
        const std::uint64_t size = ws.encode_part(half.data(), cap, payload.data() + at, payload.size() - at, &taken);
        if (size == 0)
            break;
        EXPECT_LE(size, cap);
        frames.emplace_back(half.data(), half.data() + size);
        joined->insert(joined->end(), payload.begin() + static_cast<std::ptrdiff_t>(at),
                       payload.begin() + static_cast<std::ptrdiff_t>(at + taken));
        at += taken;
    } while (at < payload.size());
    return frames;
}

// The payload of one RFC 6455 frame from the hub, checked to be complete.
bytes payload_6455(const bytes& frame)
{
    std::uint64_t n = frame[1];
    std::size_t header = 2;
    if (n == 126) {
        n = (std::uint64_t{frame[2]} << 8) | frame[3];
        header = 4;
    } else if (n == 127) {
        n = 0;
        for (int k = 0; k < 8; ++k)
            n = (n << 8) | frame[2 + k];
        header = 10;
    }
    EXPECT_EQ(frame.size(), header + n) << "frame not complete";
    return bytes(frame.begin() + static_cast<std::ptrdiff_t>(header), frame.end());
}

bool valid_utf8(const bytes& s)
{
    receiver probe(13);
    return probe.ws.classify(s.data(), s.size()) == 1 && probe.ws.utf8_opcode.load() == 1;
}

// A payload longer than one frame goes out in as many complete, final
// frames as it needs; text frames end on character boundaries, so every
// one of them is valid UTF-8 on its own.
TEST(EncodePart, PayloadTooLongForOneFrameGoesOutInCompleteFrames)
{
    bytes text;
    while (text.size() < 70000)
        text = wstest::join(text, u8("a\u00e9\u20ac\U0001F600"));
    const bytes ascii(4095, 'z');
    struct split_case {
        const char* name;
        std::int32_t version;
        bytes payload;
        std::uint64_t cap;
        std::size_t frames;
    };
    const split_case cases[] = {
        {"L - 1 ASCII bytes into a half of L", 13, ascii, 4096, 2},
        {"hixie-76, L - 1 bytes into a half of L", 8, ascii, 4096, 2},
        {"text around the 16-bit length form", 13, bytes(text.begin(), text.begin() + 300), 130, 3},
        {"text around the 64-bit length form", 13, text, 65546, 2},
        {"text into small halves", 13, bytes(text.begin(), text.begin() + 200), 16, 15},
        {"hixie-76 text into small halves", 8, bytes(text.begin(), text.begin() + 200), 16, 15},
    };
    for (const split_case& c : cases) {
        SCOPED_TRACE(c.name);
        receiver r(c.version);
        bytes joined;
        const std::vector<bytes> frames = frames_of(r.ws, c.payload, c.cap, &joined);
        EXPECT_EQ(joined, c.payload);
        EXPECT_EQ(frames.size(), c.frames);
        bytes carried;
        for (const bytes& f : frames) {
            const bytes p = c.version < 13 ? bytes(f.begin() + 1, f.end() - 1) : payload_6455(f);
            if (c.version < 13) {
                EXPECT_EQ(f.front(), 0x00);
                EXPECT_EQ(f.back(), 0xFF);
            } else {
                EXPECT_EQ(f[0], 0x81) << "every frame final text";
            }
            EXPECT_TRUE(valid_utf8(p));
            carried = wstest::join(carried, p);
        }
        EXPECT_EQ(carried, c.payload);
        EXPECT_EQ(r.ws.utf8_opcode.load(), 1);
    }
}

TEST(EncodePart, BinaryReceiverIsCutAtTheRoomNotAtCharacters)
{
    receiver r(13);
    EXPECT_EQ(r.send({0xC0})[0], 0x82);
    bytes joined;
    const bytes payload = u8("\u00e9\u00e9\u00e9\u00e9\u00e9");
    const std::vector<bytes> frames = frames_of(r.ws, payload, 5, &joined);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0], (bytes{0x82, 0x03, 0xC3, 0xA9, 0xC3}));
    EXPECT_EQ(joined, payload);
}

TEST(EncodePart, EmptyPayloadIsAnEmptyMessage)
{
    receiver text(13), binary(13), old(8);
    EXPECT_EQ(binary.send({0xC0})[0], 0x82);
    std::uint8_t half[8];
    std::uint64_t taken = 9;
    EXPECT_EQ(text.ws.encode_part(half, sizeof(half), nullptr, 0, &taken), 2u);
    EXPECT_EQ(bytes(half, half + 2), (bytes{0x81, 0x00}));
    EXPECT_EQ(taken, 0u);
    EXPECT_EQ(binary.ws.encode_part(half, sizeof(half), nullptr, 0, &taken), 2u);
    EXPECT_EQ(bytes(half, half + 2), (bytes{0x82, 0x00}));
    EXPECT_EQ(old.ws.encode_part(half, sizeof(half), nullptr, 0, &taken), 2u);
    EXPECT_EQ(bytes(half, half + 2), (bytes{0x00, 0xFF}));
    EXPECT_EQ(text.ws.encode_part(half, 1, nullptr, 0, &taken), 0u);
    text.ws.version.store(0);
    EXPECT_EQ(text.ws.encode_part(half, sizeof(half), nullptr, 0, &taken), 0u);
}

TEST(EncodeControl, PongCarriesThePingPayloadAndCloseItsCode)
{
    receiver r(13), old(8);
    std::uint8_t half[200];
    const bytes ping = u8("keep-alive");
    ASSERT_EQ(r.ws.encode_pong(half, sizeof(half), ping.data(), ping.size()), 12u);
    EXPECT_EQ(bytes(half, half + 12), wstest::join({0x8A, 0x0A}, ping));
    EXPECT_EQ(r.ws.encode_pong(half, sizeof(half), nullptr, 0), 2u);
    EXPECT_EQ(bytes(half, half + 2), (bytes{0x8A, 0x00}));
    const bytes too_long(126, 'p');
    EXPECT_EQ(r.ws.encode_pong(half, sizeof(half), too_long.data(), too_long.size()), 0u);
    EXPECT_EQ(r.ws.encode_pong(half, 11, ping.data(), ping.size()), 0u);
    EXPECT_EQ(old.ws.encode_pong(half, sizeof(half), ping.data(), ping.size()), 0u) << "hixie-76 has no pong";

    struct close_case {
        std::uint16_t code;
        bytes frame;
    };
    const close_case codes[] = {
        {1000, {0x88, 0x02, 0x03, 0xE8}},
        {1001, {0x88, 0x02, 0x03, 0xE9}},
        {1002, {0x88, 0x02, 0x03, 0xEA}},
        {1009, {0x88, 0x02, 0x03, 0xF1}},
    };
    for (const close_case& c : codes) {
        receiver closing(13);
        ASSERT_EQ(closing.ws.encode_close(half, sizeof(half), c.code), 4u);
        EXPECT_EQ(bytes(half, half + 4), c.frame);
        EXPECT_EQ(closing.ws.version.load(), 0) << "nothing is framed after the close";
    }
    ASSERT_EQ(old.ws.encode_close(half, sizeof(half), 1009), 2u);
    EXPECT_EQ(bytes(half, half + 2), (bytes{0xFF, 0x00}));
    EXPECT_EQ(r.ws.encode_close(half, 3, 1000), 0u);
    EXPECT_EQ(r.ws.version.load(), 13) << "a close that did not fit ends nothing";
    r.ws.version.store(0);
    EXPECT_EQ(r.ws.encode_close(half, sizeof(half), 1000), 0u);
}

} // namespace
