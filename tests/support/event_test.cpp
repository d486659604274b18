#include "support/q_event.h"

#include "tests/common/testkit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <climits>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

// The futex ban below is the Linux event's own test.
#if defined(__linux__) && defined(__x86_64__)
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

using namespace std::chrono_literals;
using testkit::blocked_waiters;
using testkit::eventually;

namespace {

constexpr std::uint32_t NOT_RETURNED = 0xFFFFFFFFu;

// One thread doing one wait with status, and what it saw afterwards.
struct waiter {
    std::atomic<std::uint32_t> result{NOT_RETURNED};
    std::atomic<std::uint8_t> valid_after{0xFF};
    std::thread thread;

    void start(Q_EVENT& event, std::uint32_t milliseconds = Q_EVENT::INFINITE)
    {
        thread = std::thread([this, &event, milliseconds] {
            const std::uint32_t r = event.wait_status(milliseconds);
            valid_after.store(event.is_valid() ? 1 : 0);
            result.store(r);
        });
    }
    bool returned() const { return result.load() != NOT_RETURNED; }
};

// An event with waiter threads; tear-down releases the event, which lets
// every waiter go, and joins them.
class EventWaiters : public ::testing::Test {
protected:
    Q_EVENT event;
    std::vector<std::unique_ptr<waiter>> waiters;

    void start_waiters(std::size_t count, std::uint32_t milliseconds = Q_EVENT::INFINITE)
    {
        for (std::size_t i = 0; i < count; ++i) {
            waiters.push_back(std::make_unique<waiter>());
            waiters.back()->start(event, milliseconds);
        }
    }
    std::size_t returned() const
    {
        std::size_t n = 0;
        for (const auto& w : waiters)
            n += w->returned() ? 1 : 0;
        return n;
    }
    void TearDown() override
    {
        event.release();
#if defined(__linux__)
        // Should the release have missed a waiter, wake them all once more
        // (they find the event closed), so a failure never hangs the join.
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&event.state), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, INT_MAX,
                nullptr, nullptr, 0);
#endif
        for (auto& w : waiters)
            if (w->thread.joinable())
                w->thread.join();
    }
};

struct immediate_case {
    const char* name;
    std::function<void(Q_EVENT&)> prepare;
    std::uint32_t milliseconds;
    std::uint32_t expected;
};

} // namespace

// Waits that must end on their own, without any other thread's help.
TEST(EventWait, EndsWithoutHelpInEveryState)
{
    const immediate_case cases[] = {
        {"never created", [](Q_EVENT&) {}, Q_EVENT::INFINITE, Q_EVENT::WAIT_INVALID},
        {"released", [](Q_EVENT& e) { e.create(false); e.release(); }, Q_EVENT::INFINITE, Q_EVENT::WAIT_INVALID},
        {"released twice", [](Q_EVENT& e) { e.create(true); e.release(); e.release(); }, Q_EVENT::INFINITE,
         Q_EVENT::WAIT_INVALID},
        {"created signalled", [](Q_EVENT& e) { e.create(true); }, Q_EVENT::INFINITE, 0},
        {"set while nobody waits", [](Q_EVENT& e) { e.create(false); e.set(); }, Q_EVENT::INFINITE, 0},
        {"not signalled", [](Q_EVENT& e) { e.create(false); }, 20, Q_EVENT::WAIT_TIMED_OUT},
        {"signal taken by the previous wait",
         [](Q_EVENT& e) { e.create(true); e.wait_status(0); }, 20, Q_EVENT::WAIT_TIMED_OUT},
        {"two sets count once",
         [](Q_EVENT& e) { e.create(false); e.set(); e.set(); e.wait_status(0); }, 20, Q_EVENT::WAIT_TIMED_OUT},
        {"created again after a release",
         [](Q_EVENT& e) { e.create(false); e.release(); e.create(true); }, Q_EVENT::INFINITE, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Q_EVENT event;
        c.prepare(event);
        waiter w;
        w.start(event, c.milliseconds);
        const bool ended = eventually([&] { return w.returned(); });
        event.release(); // frees a wrongly blocked waiter, so the join below ends
        w.thread.join();
        ASSERT_TRUE(ended);
        EXPECT_EQ(w.result.load(), c.expected);
    }
}

TEST_F(EventWaiters, OneSetLetsExactlyOneWaiterThrough)
{
    ASSERT_EQ(event.create(false), 0);
    start_waiters(3);
    ASSERT_TRUE(eventually([&] { return blocked_waiters(event) == 3; }));

    for (std::size_t through = 1; through <= 3; ++through) {
        event.set();
        ASSERT_TRUE(eventually([&] { return returned() == through; }));
        // The one signal is used up: the others stay blocked until the next set.
        EXPECT_EQ(blocked_waiters(event), 3 - through);
        EXPECT_EQ(returned(), through);
    }
    for (const auto& w : waiters) {
        EXPECT_EQ(w->result.load(), 0u);
        EXPECT_EQ(w->valid_after.load(), 1);
    }
}

TEST_F(EventWaiters, ReleaseWakesEveryWaiterAndEachSeesValidZero)
{
    ASSERT_EQ(event.create(false), 0);
    start_waiters(4);
    start_waiters(1, 60000);
    ASSERT_TRUE(eventually([&] { return blocked_waiters(event) == 5; }));

    event.release();

    ASSERT_TRUE(eventually([&] { return returned() == waiters.size(); }));
    for (const auto& w : waiters) {
        EXPECT_EQ(w->result.load(), 0u);
        EXPECT_EQ(w->valid_after.load(), 0);
    }
    event.set(); // a no-op on a released event
    EXPECT_EQ(event.wait_status(), Q_EVENT::WAIT_INVALID);
}

TEST_F(EventWaiters, TimedWaitEndsWithTheSet)
{
    ASSERT_EQ(event.create(false), 0);
    start_waiters(1, 60000);
    ASSERT_TRUE(eventually([&] { return blocked_waiters(event) == 1; }));

    event.set();

    ASSERT_TRUE(eventually([&] { return returned() == 1; }));
    EXPECT_EQ(waiters[0]->result.load(), 0u);
    EXPECT_EQ(waiters[0]->valid_after.load(), 1);
}

// The two uses the engine makes of events, run hard: a wake-up that got lost
// would leave a thread blocked and the run would not end in time.
TEST(EventContention, PingPongAndOneHolderAtATimeLoseNoWakeUp)
{
    constexpr int ROUNDS = 20000;
    {
        SCOPED_TRACE("two threads passing the turn back and forth");
        Q_EVENT ping, pong;
        ASSERT_EQ(ping.create(false), 0);
        ASSERT_EQ(pong.create(false), 0);
        std::atomic<int> answered{0};
        std::thread other([&] {
            for (int i = 0; i < ROUNDS; ++i) {
                if (ping.wait_status() != 0 || !ping.is_valid())
                    return;
                answered.fetch_add(1);
                pong.set();
            }
        });
        std::atomic<int> rounds{0};
        std::thread self([&] {
            for (int i = 0; i < ROUNDS; ++i) {
                ping.set();
                if (pong.wait_status() != 0 || !pong.is_valid())
                    return;
                rounds.fetch_add(1);
            }
        });
        const bool done = eventually([&] { return rounds.load() == ROUNDS; }, 60s);
        ping.release();
        pong.release();
        other.join();
        self.join();
        ASSERT_TRUE(done) << "stuck after " << rounds.load() << " rounds";
        EXPECT_EQ(answered.load(), ROUNDS);
    }
    {
        SCOPED_TRACE("four threads taking an event created signalled as a lock");
        Q_EVENT gate;
        ASSERT_EQ(gate.create(true), 0);
        std::atomic<int> inside{0};
        std::atomic<int> overlaps{0};
        std::atomic<int> passes{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < ROUNDS / 4; ++i) {
                    if (gate.wait_status() != 0 || !gate.is_valid())
                        return;
                    if (inside.fetch_add(1) != 0)
                        overlaps.fetch_add(1);
                    inside.fetch_sub(1);
                    passes.fetch_add(1);
                    gate.set();
                }
            });
        const bool done = eventually([&] { return passes.load() == ROUNDS; }, 60s);
        gate.release();
        for (auto& t : threads)
            t.join();
        ASSERT_TRUE(done) << "stuck after " << passes.load() << " passes";
        EXPECT_EQ(overlaps.load(), 0);
    }
}

#if defined(__linux__) && defined(__x86_64__)
namespace {

// From here on any futex call kills the process with SIGSYS.
bool forbid_futex()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_futex, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

constexpr int FILTER_UNAVAILABLE = 77;

// Runs `body` in a child process under the futex ban; the child's wait status,
// or -1 when it did not end in time (it is then killed).
int status_under_futex_ban(const std::function<int()>& body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (!forbid_futex())
            _exit(FILTER_UNAVAILABLE);
        _exit(body());
    }
    if (pid < 0)
        return -1;
    int status = 0;
    const bool ended = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 30s);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return status;
}

int idle_event_traffic()
{
    Q_EVENT event;
    if (event.create(false) != 0)
        return 1;
    for (int i = 0; i < 10000; ++i) {
        event.set();
        event.set();
        if (event.wait_status() != 0)
            return 2;
    }
    event.release();
    return event.wait_status() == Q_EVENT::WAIT_INVALID ? 0 : 3;
}

int direct_futex_call()
{
    int word = 0;
    syscall(SYS_futex, &word, 1 /* FUTEX_WAKE */, 1, nullptr, nullptr, 0);
    return 0;
}

} // namespace

// A set that nobody waits for and a wait on a signalled event are plain
// memory operations; the kernel is entered only to block or to wake a
// blocked thread.
TEST(EventKernel, IdleSetAndSignalledWaitMakeNoFutexCall)
{
    struct {
        const char* name;
        int (*body)();
        bool killed;
    } const cases[] = {
        {"sets and waits without contention", idle_event_traffic, false},
        {"a futex call, which the ban must catch", direct_futex_call, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int status = status_under_futex_ban(c.body);
        ASSERT_NE(status, -1);
        if (WIFEXITED(status) && WEXITSTATUS(status) == FILTER_UNAVAILABLE)
            GTEST_SKIP() << "seccomp filters are not available here";
        if (c.killed) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS);
        } else {
            EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
            if (WIFEXITED(status)) {
                EXPECT_EQ(WEXITSTATUS(status), 0);
            }
        }
    }
}
#endif
