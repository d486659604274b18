// Engine construction: the packet length settled against the unit, the
// buffers cut from the pool, the slots in use with their threads, and the
// tear-down that ends every waiting thread.

#include "relay/engine_state.h"
#include "relay/q_socket.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t MiB2 = 2097152;

std::unique_ptr<Q_SOCKET> build(std::vector<std::u16string> args, std::string* output)
{
    args.insert(args.begin(), u"relayhub");
    std::vector<char16_t*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    auto engine = std::make_unique<Q_SOCKET>(static_cast<int>(args.size()), argv.data());
    *output = testing::internal::GetCapturedStdout();
    return engine;
}

} // namespace

TEST(Engine, PacketLengthSettlesAgainstTheUnit)
{
    struct {
        std::uint64_t requested;
        std::int32_t protocol;
        std::uint64_t length;
        std::uint64_t unit;
    } cases[] = {
        {4096, 6, 4096, 4096},
        {1472, 6, 1472, 4096},
        {1405, 6, 1405, 4096},
        {65507, 6, 65507, 65536},
        {0, 6, MiB2, MiB2},
        {~0ull, 6, MiB2, MiB2},
        {MiB2 + 1, 6, MiB2, MiB2},
        {1000000, 6, 1000000, 245 * 4096},
        {65507, 17, 65112, 65536},
        {65112, 17, 65112, 65112 + 4096 - 65112 % 4096},
        {1000000, 17, 65112, 65536},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.requested);
        packet_sizes s = normalise_packet_length(c.requested, MiB2, c.protocol);
        EXPECT_EQ(s.length, c.length);
        EXPECT_EQ(s.buffer_unit, c.unit);
    }
}

TEST(Engine, OneSlotInUseGetsBuffersAndThreadsTheOthersNone)
{
    std::string out;
    auto engine = build({u"-c", u"1", u"-L", u"1405", u"-p", u"9"}, &out);
    ASSERT_EQ(engine->ready, 1);
    EXPECT_EQ(engine->cfg.packet_length_r, 1405u);
    EXPECT_EQ(load(g_engine.sndbuf_size), 2810u);
    EXPECT_EQ(load(g_engine.slot_count), 1);
    EXPECT_EQ(engine->ram.unit_count, 1u);

    Q_TASK& first = engine->tasks[0];
    EXPECT_EQ(first.recv_buf, static_cast<std::uint8_t*>(engine->ram.base));
    EXPECT_EQ(first.send_base, first.recv_buf + 4096);
    EXPECT_EQ(first.send_fill, first.send_base);
    EXPECT_EQ(first.half_size, 1405u);
    EXPECT_EQ(first.ws.tls.p_recv, first.recv_buf);
    EXPECT_EQ(first.ws.tls.p_recv_size, 1405u);
    EXPECT_EQ(load(first.running), 1);
    EXPECT_TRUE(first.thread_r.is_created());
    EXPECT_TRUE(first.thread_w.is_created());
    EXPECT_TRUE(first.start_r.is_valid());
    EXPECT_TRUE(first.start_w.is_valid());

    for (std::uint32_t i = 1; i < Q_SOCKET::SLOTS; ++i) {
        const Q_TASK& t = engine->tasks[i];
        EXPECT_EQ(t.id, i);
        EXPECT_EQ(load(t.running), 0);
        EXPECT_EQ(t.recv_buf, nullptr);
        EXPECT_FALSE(t.thread_r.is_created());
        EXPECT_FALSE(t.start_r.is_valid());
    }
    // Never woken, the threads are ended by the tear-down's release of their
    // events: destroying the engine must return.
    engine.reset();
    EXPECT_EQ(g_engine.next_id, 0u);
}

TEST(Engine, RejectedCommandLineBuildsNothing)
{
    std::string out;
    auto engine = build({u"--help"}, &out);
    EXPECT_EQ(engine->ready, 0);
    EXPECT_EQ(engine->ram.base, nullptr);
    for (const Q_TASK& t : engine->tasks) {
        EXPECT_FALSE(t.thread_r.is_created());
        EXPECT_EQ(t.recv_buf, nullptr);
    }
}

TEST(Engine, FullTableCutsThreeUnitsPerSlot)
{
    std::string out;
    auto engine = build({u"-L", u"65507", u"-p", u"9"}, &out);
    ASSERT_EQ(engine->ready, 1);
    EXPECT_EQ(engine->ram.unit_count, 3u);  // 32 slots x 3 x 64 KiB in 2 MiB units
    auto* base = static_cast<std::uint8_t*>(engine->ram.base);
    for (std::uint32_t i = 0; i < Q_SOCKET::SLOTS; ++i) {
        const Q_TASK& t = engine->tasks[i];
        EXPECT_EQ(t.recv_buf, base + 3 * 65536 * i);
        EXPECT_TRUE(t.thread_r.is_created());
        // Both halves end inside the slot's three units.
        EXPECT_LE(t.send_base + 2 * t.half_size, t.recv_buf + 3 * 65536);
    }
}
