#include "support/q_event.h"
#include "support/q_thread.h"

#include "tests/common/testkit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <pthread.h>
#include <thread>

using namespace std::chrono_literals;
using testkit::blocked_waiters;
using testkit::eventually;

#if defined(__SANITIZE_THREAD__)
#define THREAD_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define THREAD_TEST_TSAN 1
#endif
#endif
#ifndef THREAD_TEST_TSAN
#define THREAD_TEST_TSAN 0
#endif

namespace {

// Runs a call that blocks (a join, a terminate, a destruction) on a helper
// thread and gives it a time limit. On a time-out the helper is left behind:
// the test has failed anyway.
bool finishes_within(std::function<void()> call, std::chrono::milliseconds limit = 10s)
{
    auto done = std::make_shared<std::atomic<std::uint8_t>>(0);
    std::thread helper([call = std::move(call), done] {
        call();
        done->store(1);
    });
    if (eventually([&] { return done->load() != 0; }, limit)) {
        helper.join();
        return true;
    }
    helper.detach();
    return false;
}

// What a thread routine saw and did; shared with the test through `parameter`.
struct routine_context {
    Q_EVENT* event = nullptr;
    Q_THREAD* record = nullptr;
    std::uint32_t milliseconds = Q_EVENT::INFINITE;
    std::atomic<std::uint8_t> ran{0};
    std::atomic<std::uint8_t> passed_wait{0};
    std::atomic<std::uint64_t> stack_size{0};
};

std::uint32_t note_stack(void* parameter)
{
    auto* ctx = static_cast<routine_context*>(parameter);
    pthread_attr_t attr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &size);
        pthread_attr_destroy(&attr);
    }
    ctx->stack_size.store(size);
    ctx->ran.store(1);
    return 0;
}

std::uint32_t wait_on_event(void* parameter)
{
    auto* ctx = static_cast<routine_context*>(parameter);
    ctx->ran.store(1);
    ctx->event->wait_status(ctx->milliseconds);
    ctx->passed_wait.store(1);
    return 0;
}

// The way a slot's threads end: wait for the go (when there is one), then
// give back the own record.
std::uint32_t wait_then_release_self(void* parameter)
{
    auto* ctx = static_cast<routine_context*>(parameter);
    if (ctx->event)
        ctx->event->wait_status();
    ctx->record->release();
    return 0;
}

void expect_empty(const Q_THREAD& t)
{
    EXPECT_FALSE(t.is_created());
    EXPECT_EQ(t.stack_size, 0u);
    EXPECT_EQ(t.creation_flags, 0u);
    EXPECT_EQ(t.thread_id, 0u);
    EXPECT_EQ(t.security_attributes, nullptr);
}

// Nobody is counted as waiting any more.
void expect_event_unheld(Q_EVENT& event)
{
    EXPECT_EQ(blocked_waiters(event), 0u);
}

} // namespace

TEST(ThreadStart, ReservesAtLeastTheMinimumStackAndRunsTheRoutine)
{
    const std::uint64_t requested_sizes[] = {0, 4096, 3 * 1024 * 1024 + 1};
    for (const std::uint64_t requested : requested_sizes) {
        SCOPED_TRACE(requested);
        routine_context ctx;
        Q_THREAD t;
        ASSERT_EQ(t.start(note_stack, &ctx, requested), 0);
        EXPECT_TRUE(t.is_created());
        EXPECT_EQ(t.stack_size, requested);
        EXPECT_NE(t.creation_flags & Q_THREAD::STACK_SIZE_PARAM_IS_A_RESERVATION, 0u);

        ASSERT_TRUE(finishes_within([&] { t.join(); }));
        EXPECT_EQ(ctx.ran.load(), 1);
        EXPECT_GE(ctx.stack_size.load(), std::max<std::uint64_t>(requested, Q_THREAD::MIN_STACK_SIZE));

        t.release();
        expect_empty(t);
    }
}

TEST(ThreadStart, FailureIsReturnedAndLeavesTheRecordEmpty)
{
    routine_context ctx;
    Q_THREAD t;
    // No system can map a stack of 4 EiB.
    const int rc = t.start(note_stack, &ctx, 1ULL << 62);
    EXPECT_NE(rc, 0);
    EXPECT_FALSE(t.is_created());
    // Nothing to join, terminate or release.
    ASSERT_TRUE(finishes_within([&] {
        t.join();
        t.terminate();
        t.release();
    }));
    EXPECT_EQ(ctx.ran.load(), 0);
}

TEST(ThreadTerminate, CancelledWaiterLeavesTheEventUsable)
{
    const std::uint32_t waits[] = {Q_EVENT::INFINITE, 60000};
    for (const std::uint32_t milliseconds : waits) {
        SCOPED_TRACE(milliseconds);
        Q_EVENT event;
        ASSERT_EQ(event.create(false), 0);
        routine_context ctx;
        ctx.event = &event;
        ctx.milliseconds = milliseconds;
        Q_THREAD t;
        ASSERT_EQ(t.start(wait_on_event, &ctx, 0), 0);
        ASSERT_TRUE(eventually([&] { return blocked_waiters(event) == 1; }));

        ASSERT_TRUE(finishes_within([&] { t.terminate(); }));
        EXPECT_EQ(ctx.passed_wait.load(), 0);
        expect_event_unheld(event);

        // Still an ordinary event: a set is taken by the next wait, and a
        // release reaches a new waiter.
        event.set();
        EXPECT_EQ(event.wait_status(0), 0u);
        routine_context next;
        next.event = &event;
        Q_THREAD other;
        ASSERT_EQ(other.start(wait_on_event, &next, 0), 0);
        ASSERT_TRUE(eventually([&] { return blocked_waiters(event) == 1; }));
        event.release();
        ASSERT_TRUE(finishes_within([&] { other.join(); }));
        EXPECT_EQ(next.passed_wait.load(), 1);

        t.release();
        other.release();
        expect_empty(t);
    }
}

TEST(ThreadTerminate, DestroyingARecordEndsItsRunningThread)
{
    Q_EVENT event;
    ASSERT_EQ(event.create(false), 0);
    routine_context ctx;
    ctx.event = &event;
    auto t = std::make_unique<Q_THREAD>();
    ASSERT_EQ(t->start(wait_on_event, &ctx, 0), 0);
    ASSERT_TRUE(eventually([&] { return blocked_waiters(event) == 1; }));

    ASSERT_TRUE(finishes_within([&] { t.reset(); }));
    EXPECT_EQ(ctx.passed_wait.load(), 0);
    expect_event_unheld(event);
}

std::uint32_t join_other(void* parameter)
{
    auto* ctx = static_cast<routine_context*>(parameter);
    ctx->ran.store(1);
    ctx->record->join();
    ctx->passed_wait.store(1);
    return 0;
}

// A reader terminated while it joins its writer: the writer must stay
// joinable by whoever comes next, not be taken as joined already.
TEST(ThreadTerminate, CancelledJoinerGivesItsClaimBack)
{
    if (THREAD_TEST_TSAN)
        GTEST_SKIP() << "ThreadSanitizer can't follow a thread cancelled inside pthread_join";
    Q_EVENT event;
    ASSERT_EQ(event.create(false), 0);
    routine_context waiting;
    waiting.event = &event;
    Q_THREAD writer;
    ASSERT_EQ(writer.start(wait_on_event, &waiting, 0), 0);
    routine_context joining;
    joining.record = &writer;
    Q_THREAD reader;
    ASSERT_EQ(reader.start(join_other, &joining, 0), 0);
    ASSERT_TRUE(eventually([&] { return writer.claimed.load() != 0; }));

    ASSERT_TRUE(finishes_within([&] { reader.terminate(); }));
    EXPECT_EQ(joining.passed_wait.load(), 0);
    EXPECT_EQ(writer.claimed.load(), 0) << "the cancelled join still holds the claim";

    event.set();
    ASSERT_TRUE(finishes_within([&] { writer.join(); }));
    EXPECT_EQ(waiting.passed_wait.load(), 1) << "join returned before the thread ended";
    reader.release();
    writer.release();
}

// A thread gives back its own record while another thread joins it: the
// system thread is joined or detached exactly once, join returns only when
// the thread no longer touches the record, and the record may be freed at
// once. Heap records make a late access visible to AddressSanitizer; a thread
// neither joined nor detached shows as a leak under ThreadSanitizer.
TEST(ThreadSelfRelease, RecordReleasedByItsThreadWhileJoined)
{
    enum class order { at_once, release_then_join, together, join_then_release };
    const struct {
        const char* name;
        order when;
    } cases[] = {
        {"the thread releases at once, maybe before start returns", order::at_once},
        {"the thread releases, then the owner joins", order::release_then_join},
        {"release and join at the same moment", order::together},
        {"the owner is already joining", order::join_then_release},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int round = 0; round < 50; ++round) {
            Q_EVENT go;
            ASSERT_EQ(go.create(false), 0);
            auto* record = new Q_THREAD;
            routine_context ctx;
            ctx.event = c.when == order::at_once ? nullptr : &go;
            ctx.record = record;
            ASSERT_EQ(record->start(wait_then_release_self, &ctx, 0), 0);

            bool joined = false;
            switch (c.when) {
            case order::at_once:
                // A thread that ended before its record was published is
                // still the owner's to join.
                joined = finishes_within([&] { record->join(); });
                break;
            case order::release_then_join:
                go.set();
                ASSERT_TRUE(eventually([&] { return !record->is_created(); }));
                joined = finishes_within([&] { record->join(); });
                break;
            case order::together:
                go.set();
                joined = finishes_within([&] { record->join(); });
                break;
            case order::join_then_release: {
                std::atomic<std::uint8_t> join_returned{0};
                std::thread joiner([&] {
                    record->join();
                    join_returned.store(1);
                });
                // The joiner has claimed the thread before the thread lets go.
                const bool claimed = eventually([&] { return record->claimed.load() != 0; });
                go.set();
                joined = claimed && eventually([&] { return join_returned.load() != 0; });
                if (!joined) {
                    joiner.detach();
                    break;
                }
                joiner.join();
                break;
            }
            }
            ASSERT_TRUE(joined) << "round " << round;
            if (c.when != order::at_once) {
                EXPECT_FALSE(record->is_created());
            }
            record->release();
            EXPECT_FALSE(record->is_created());
            delete record;
        }
    }
}
