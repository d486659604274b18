// q_utf8_hold_t and utf8_incomplete_tail: a sender's cut character is held
// back for WebSocket receivers, so each receiver gets whole characters in
// every text frame, however the sender's reads are cut and interleaved.
#include "tests/websocket/ws_test_util.h"
#include "websocket/q_utf8_hold.h"

#include <gtest/gtest.h>

namespace {

using wstest::bytes;
using wstest::of;

TEST(Utf8Tail, CountsTheBytesOfAnUnfinishedCharacter)
{
    struct tail_case {
        const char* name;
        bytes data;
        std::uint32_t tail;
    };
    const tail_case cases[] = {
        {"empty", {}, 0},
        {"ASCII", of("abc"), 0},
        {"whole two-byte character", {'a', 0xC3, 0xA9}, 0},
        {"lead byte of two", {'a', 0xC3}, 1},
        {"lead byte alone", {0xE2}, 1},
        {"two of three", {'a', 0xE2, 0x82}, 2},
        {"three of four", {0xF0, 0x9F, 0x98}, 3},
        {"whole four-byte character", {0xF0, 0x9F, 0x98, 0x80}, 0},
        {"continuation bytes without a lead", {'a', 0x80, 0x80}, 0},
        {"overlong second byte is not held", {0xE0, 0x80}, 0},
        {"surrogate second byte is not held", {0xED, 0xA0}, 0},
        {"above U+10FFFF is not held", {0xF4, 0x90}, 0},
        {"narrow lead with a valid second byte", {0xF4, 0x8F, 0xBF}, 3},
        {"never-valid byte", {'a', 0xFF}, 0},
        {"0xC0 is no lead", {0xC0}, 0},
    };
    for (const tail_case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(utf8_incomplete_tail(c.data.data(), c.data.size()), c.tail);
    }
}

// One sender's reads, each put into a buffer with the hold's room in front;
// what its WebSocket receivers get of each read.
struct sender {
    q_utf8_hold_t hold;
    bytes buffer = bytes(q_utf8_hold_t::ROOM + 256);

    bytes read(const bytes& data)
    {
        if (!data.empty())
            std::memcpy(buffer.data() + q_utf8_hold_t::ROOM, data.data(), data.size());
        const std::uint8_t* start = nullptr;
        const std::uint64_t n = hold.wrap(buffer.data() + q_utf8_hold_t::ROOM, data.size(), &start);
        EXPECT_LE(hold.count, 3u);
        return bytes(start, start + n);
    }
    bytes leave()
    {
        const std::uint8_t* start = nullptr;
        const std::uint64_t n = hold.release(&start);
        return bytes(start, start + n);
    }
};

bool whole_characters(const bytes& s)
{
    q_ws_t probe;
    probe.version.store(13);
    probe.reset_scan();
    return probe.classify(s.data(), s.size()) == 1 && probe.utf8_opcode.load() == 1;
}

// A stream of 1- to 4-byte characters, cut into three reads at every pair
// of positions: every span is whole characters, and together they are the
// stream.
TEST(Utf8Hold, EveryCutPositionGivesWholeCharacters)
{
    const bytes stream = of("a\u00e9\u20ac\U0001F600z\u0E2A\u00e9");
    for (std::size_t i = 0; i <= stream.size(); ++i) {
        for (std::size_t j = i; j <= stream.size(); ++j) {
            SCOPED_TRACE(testing::Message() << "cuts " << i << " " << j);
            sender s;
            bytes got;
            const bytes parts[3] = {bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(i)),
                                    bytes(stream.begin() + static_cast<std::ptrdiff_t>(i),
                                          stream.begin() + static_cast<std::ptrdiff_t>(j)),
                                    bytes(stream.begin() + static_cast<std::ptrdiff_t>(j), stream.end())};
            for (const bytes& part : parts) {
                const bytes span = s.read(part);
                EXPECT_TRUE(whole_characters(span));
                got = wstest::join(got, span);
            }
            EXPECT_EQ(s.leave(), bytes{});
            EXPECT_EQ(got, stream);
        }
    }
}

TEST(Utf8Hold, HeldBytesGoOutAloneWhenTheSenderLeaves)
{
    sender s;
    EXPECT_EQ(s.read({'x', 0xF0, 0x9F}), of("x"));
    EXPECT_EQ(s.read({0x98}), bytes{}) << "still unfinished: nothing for WebSocket receivers";
    EXPECT_EQ(s.leave(), (bytes{0xF0, 0x9F, 0x98}));
    EXPECT_EQ(s.leave(), bytes{});
    EXPECT_EQ(s.read(of("ok")), of("ok"));
}

// Raw sender A writes "x" and the first byte of "é", raw sender B writes
// "abc", then A the rest: the receiver gets three text frames, each valid
// UTF-8, and stays text.
TEST(Utf8Hold, InterleavedSendersKeepTheReceiverText)
{
    sender a, b;
    q_ws_t receiver;
    receiver.version.store(13);
    receiver.reset_scan();
    std::vector<bytes> frames;
    auto deliver = [&](const bytes& span) {
        std::uint8_t half[64];
        std::uint64_t taken = 0;
        const std::uint64_t size = receiver.encode_part(half, sizeof(half), span.data(), span.size(), &taken);
        if (!span.empty())
            frames.emplace_back(half, half + size);
    };
    deliver(a.read({'x', 0xC3}));
    deliver(b.read(of("abc")));
    deliver(a.read({0xA9}));
    const std::vector<bytes> expected = {{0x81, 0x01, 'x'}, {0x81, 0x03, 'a', 'b', 'c'}, {0x81, 0x02, 0xC3, 0xA9}};
    EXPECT_EQ(frames, expected);
    EXPECT_EQ(receiver.utf8_opcode.load(), 1);
}

} // namespace
