// Frames the hub sends by itself (pongs, close frames) travel through the
// receiving slot's writer like data: a slot of a real engine with its writer
// thread running, a socket pair as its connection, and several threads
// handing data, pongs and close frames to it at once. The client's end must
// see only complete frames, exactly one close frame and nothing after it.
#include "relay/engine_state.h"
#include "relay/q_socket.h"
#include "relay/writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

std::unique_ptr<Q_SOCKET> build_engine()
{
    std::vector<std::u16string> args = {u"relayhub", u"-c", u"2", u"-L", u"4096", u"-p", u"9"};
    std::vector<char16_t*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    auto engine = std::make_unique<Q_SOCKET>(static_cast<int>(args.size()), argv.data());
    testing::internal::GetCapturedStdout();
    return engine;
}

struct frame {
    std::uint8_t first;
    bytes payload;
};

// Splits what the client received into frames; false when a frame is cut
// short or malformed.
bool parse_frames(const bytes& wire, std::vector<frame>& frames)
{
    std::size_t at = 0;
    while (at < wire.size()) {
        if (wire.size() - at < 2 || (wire[at + 1] & 0x80))
            return false;
        std::uint64_t n = wire[at + 1];
        std::size_t header = 2;
        if (n == 126) {
            if (wire.size() - at < 4)
                return false;
            n = (std::uint64_t{wire[at + 2]} << 8) | wire[at + 3];
            header = 4;
        } else if (n == 127) {
            return false;  // nothing here is that long
        }
        if (wire.size() - at - header < n)
            return false;
        frames.push_back({wire[at], bytes(wire.begin() + static_cast<std::ptrdiff_t>(at + header),
                                          wire.begin() + static_cast<std::ptrdiff_t>(at + header + n))});
        at += header + n;
    }
    return true;
}

class ControlFrames : public testing::Test {
protected:
    std::unique_ptr<Q_SOCKET> engine;
    Q_TASK* slot = nullptr;
    int peer = -1;
    bytes wire;
    std::atomic<bool> reading{true};
    std::thread reader;

    void SetUp() override
    {
        engine = build_engine();
        ASSERT_EQ(engine->ready, 1);
        slot = &engine->tasks[1];
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        peer = fds[1];
        slot->ws.tls.so.store(fds[0]);
        slot->ws.version.store(WS_VERSION_RFC_6455);
        slot->ws.reset_scan();
        store(slot->ws.upgraded, 1);
        store(slot->connected, 1);
        slot->active.store(1, std::memory_order_release);
        slot->start_w.set();
        // The client reads all the time, so no send waits for it.
        reader = std::thread([this] {
            std::uint8_t chunk[4096];
            while (reading.load()) {
                const ssize_t n = ::recv(peer, chunk, sizeof(chunk), MSG_DONTWAIT);
                if (n > 0)
                    wire.insert(wire.end(), chunk, chunk + n);
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }

    void TearDown() override
    {
        reading.store(false);
        if (reader.joinable())
            reader.join();
        store(slot->active, 0);
        slot->ws.tls.drop_connection();
        store(slot->connected, 0);
        engine.reset();
        ::close(peer);
    }

    // Everything the client has got once the writer is idle.
    bytes received()
    {
        wait_until_writer_idle(*slot);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        reading.store(false);
        reader.join();
        return wire;
    }
};

TEST_F(ControlFrames, CloseFromSeveralThreadsIsSentOnceLastAndWhole)
{
    std::atomic<bool> go{false};
    std::atomic<int> sent_closes{0};
    std::vector<std::thread> threads;
    // Data in frames of several sizes, and pongs, handed over at the same
    // time as the closes.
    threads.emplace_back([&] {
        bytes payload(3000, 'd');
        while (!go.load()) {}
        for (int i = 0; i < 200; ++i) {
            const payload_ref p{payload.data(), payload.size(), payload.data(), static_cast<std::uint64_t>(1 + i * 15),
                                true};
            send_packets(*slot, &p, 1);
        }
    });
    threads.emplace_back([&] {
        const std::uint8_t ping[] = "ping";
        while (!go.load()) {}
        for (int i = 0; i < 200; ++i)
            send_pong(*slot, ping, 4);
    });
    for (std::uint16_t code : {WS_CLOSE_NORMAL, WS_CLOSE_GOING_AWAY}) {
        threads.emplace_back([&, code] {
            while (!go.load()) {}
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (send_close(*slot, code))
                sent_closes.fetch_add(1);
        });
    }
    go.store(true);
    for (std::thread& t : threads)
        t.join();

    const bytes all = received();
    std::vector<frame> frames;
    ASSERT_TRUE(parse_frames(all, frames)) << "a frame was cut or mixed into another";
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(sent_closes.load(), 1);
    const frame& last = frames.back();
    EXPECT_EQ(last.first, 0x88) << "the close frame is the last one";
    ASSERT_EQ(last.payload.size(), 2u);
    const int code = last.payload[0] << 8 | last.payload[1];
    EXPECT_TRUE(code == 1000 || code == 1001) << code;
    for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
        EXPECT_TRUE(frames[i].first == 0x81 || frames[i].first == 0x8A) << i;
        if (frames[i].first == 0x8A) {
            EXPECT_EQ(frames[i].payload, (bytes{'p', 'i', 'n', 'g'}));
        }
    }
    EXPECT_EQ(slot->ws.version.load(), WS_VERSION_NONE);
}

// A payload longer than one frame for the receiver is framed in pieces that
// are each complete, and a pong handed over later follows the last piece.
TEST_F(ControlFrames, PongFollowsEveryPieceOfTheDataBeforeIt)
{
    bytes payload(9000);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>('a' + i % 26);
    const payload_ref p{payload.data(), payload.size(), payload.data(), payload.size(), true};
    ASSERT_TRUE(send_packets(*slot, &p, 1));
    const std::uint8_t ping[] = {'k'};
    ASSERT_TRUE(send_pong(*slot, ping, 1));

    const bytes all = received();
    std::vector<frame> frames;
    ASSERT_TRUE(parse_frames(all, frames));
    ASSERT_GE(frames.size(), 4u);
    bytes joined;
    for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
        EXPECT_EQ(frames[i].first, 0x81);
        EXPECT_LE(frames[i].payload.size() + 4, 4096u) << "a frame larger than the half";
        joined.insert(joined.end(), frames[i].payload.begin(), frames[i].payload.end());
    }
    EXPECT_EQ(joined, payload);
    EXPECT_EQ(frames.back().first, 0x8A);
    EXPECT_EQ(frames.back().payload, (bytes{'k'}));
}

} // namespace
