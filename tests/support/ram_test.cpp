#include "support/q_ram.h"

#include "tests/common/testkit.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <linux/capability.h>
#include <malloc.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using testkit::eventually;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define RAM_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define RAM_TEST_SANITIZED 1
#endif
#endif
#ifndef RAM_TEST_SANITIZED
#define RAM_TEST_SANITIZED 0
#endif

namespace {

constexpr std::uint64_t UNIT = 0x200000;
constexpr int SKIPPED = 77;

std::string read_all(std::FILE* file)
{
    std::string text;
    std::rewind(file);
    char buffer[1024];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0)
        text.append(buffer, n);
    std::fclose(file);
    return text;
}

// Standard error between start and finish, taken at the file descriptor.
class stderr_capture {
public:
    void start()
    {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_ = dup(STDERR_FILENO);
        dup2(fileno(file_), STDERR_FILENO);
    }
    std::string finish()
    {
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        return read_all(file_);
    }

private:
    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

// A body run in a forked child, so that limits, capabilities and malloc
// settings changed there stay there; its exit code and what it wrote.
struct child_run {
    int status = -1;
    std::string out;
    std::string err;
    bool skipped() const { return WIFEXITED(status) && WEXITSTATUS(status) == SKIPPED; }
    bool exited_cleanly() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

child_run run_in_child(const std::function<int()>& body, std::chrono::milliseconds limit = 60s)
{
    child_run run;
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), STDOUT_FILENO);
        dup2(fileno(err), STDERR_FILENO);
        const int code = body();
        std::fflush(nullptr);
        _exit(code);
    }
    if (pid > 0) {
        int status = 0;
        if (eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
            run.status = status;
        } else {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
    }
    run.out = read_all(out);
    run.err = read_all(err);
    return run;
}


struct huge_pages {
    std::uint64_t total = 0;
    std::uint64_t size_kb = 0;
};

huge_pages read_meminfo()
{
    huge_pages pages;
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f)
        return pages;
    char line[256];
    while (std::fgets(line, sizeof(line), f)) {
        unsigned long long value = 0;
        if (std::sscanf(line, "HugePages_Total: %llu", &value) == 1)
            pages.total = value;
        else if (std::sscanf(line, "Hugepagesize: %llu kB", &value) == 1)
            pages.size_kb = value;
    }
    std::fclose(f);
    return pages;
}

bool huge_pool_reserved()
{
    return read_meminfo().total > 0;
}

bool all_zero(const void* p, std::size_t n)
{
    static const unsigned char zeros[4096] = {};
    const auto* bytes = static_cast<const unsigned char*>(p);
    for (std::size_t at = 0; at < n; at += sizeof(zeros)) {
        const std::size_t chunk = n - at < sizeof(zeros) ? n - at : sizeof(zeros);
        if (std::memcmp(bytes + at, zeros, chunk) != 0)
            return false;
    }
    return true;
}

std::string hex16(const void* p)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%016lx", static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(p)));
    return text;
}

// The page size line and the align line of the fallback, which share one line.
std::string fallback_lines(std::uint64_t size, const void* base, bool locked)
{
    char text[128];
    std::snprintf(text, sizeof(text), ":: page size   2 MB  :: align %4u MB RAM at: %s %s\n",
                  static_cast<unsigned>(size >> 20), hex16(base).c_str(), locked ? "[LOCKED]" : "");
    return text;
}

bool usable(void* base, std::uint64_t size)
{
    auto* bytes = static_cast<volatile unsigned char*>(base);
    bytes[0] = 0x11;
    bytes[size - 1] = 0x22;
    return bytes[0] == 0x11 && bytes[size - 1] == 0x22;
}

// Takes CAP_IPC_LOCK and CAP_SYS_RESOURCE away and caps the memory-lock
// limit, so the process can neither lock more than `limit` bytes nor raise
// the limit again. Without root the capabilities are not held anyway.
bool forbid_locking(rlim_t soft, rlim_t hard)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    for (int cap : {CAP_IPC_LOCK, CAP_SYS_RESOURCE}) {
        data[CAP_TO_INDEX(cap)].effective &= ~CAP_TO_MASK(cap);
        data[CAP_TO_INDEX(cap)].permitted &= ~CAP_TO_MASK(cap);
        data[CAP_TO_INDEX(cap)].inheritable &= ~CAP_TO_MASK(cap);
    }
    if (syscall(SYS_capset, &header, data) != 0)
        return false;
    rlimit limit{soft, hard};
    return setrlimit(RLIMIT_MEMLOCK, &limit) == 0;
}

// Leaves 16 MiB of 0xA5 at the top of glibc's heap and keeps it there, so
// the pool's block is carved out of dirty memory instead of fresh zero pages.
// (The sanitizers bring their own allocators, which ignore these settings.)
void dirty_the_heap()
{
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
    const std::size_t size = 16 * 1024 * 1024;
    void* p = std::malloc(size);
    if (!p)
        return;
    std::memset(p, 0xA5, size);
    asm volatile("" : : "r"(p) : "memory");
    std::free(p);
}

// What a child found out about its pool, one line on standard output.
struct pool_facts {
    int privilege = -99;
    int init = -99;
    int locked = -1;
    int aligned = -1;
    int zero = -1;
    int usable = -1;
    int release = -99;
    unsigned long base = 0;
};

void print_facts(const pool_facts& f)
{
    std::printf("privilege=%d init=%d locked=%d aligned=%d zero=%d usable=%d release=%d base=%lx\n", f.privilege,
                f.init, f.locked, f.aligned, f.zero, f.usable, f.release, f.base);
}

bool parse_facts(const std::string& text, pool_facts* f)
{
    return std::sscanf(text.c_str(), "privilege=%d init=%d locked=%d aligned=%d zero=%d usable=%d release=%d base=%lx",
                       &f->privilege, &f->init, &f->locked, &f->aligned, &f->zero, &f->usable, &f->release,
                       &f->base) == 8;
}

bool can_lock_one_unit()
{
    void* probe = std::aligned_alloc(UNIT, UNIT);
    const bool can = probe && mlock(probe, UNIT) == 0;
    if (can)
        munlock(probe, UNIT);
    std::free(probe);
    return can;
}

// One unit from a dirty heap with the pool's lines on standard error.
int init_one_unit_and_report()
{
    dirty_the_heap();
    Q_RAM ram;
    ram.verbose = 1;
    ram.size = UNIT;
    pool_facts f;
    f.privilege = ram.enable_lock_memory_privilege(nullptr);
    f.init = ram.init(1);
    f.locked = ram.locked;
    f.base = static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(ram.base));
    if (ram.base) {
        f.aligned = reinterpret_cast<std::uintptr_t>(ram.base) % ram.unit_size == 0;
        f.zero = all_zero(ram.base, ram.size);
        f.usable = usable(ram.base, ram.size);
    }
    f.release = ram.release();
    print_facts(f);
    return 0;
}

} // namespace

TEST(RamUnit, LargePageMinimumFollowsTheReservedHugePagePool)
{
    const huge_pages pages = read_meminfo();
    const bool reserved = pages.total > 0;
    std::uint8_t flag = 0xEE;
    const std::uint64_t unit = Q_RAM::large_page_minimum(&flag);
    EXPECT_EQ(unit, reserved ? pages.size_kb * 1024 : UNIT);
    EXPECT_EQ(flag, reserved ? 1 : 0);
    EXPECT_EQ(Q_RAM::large_page_minimum(nullptr), unit);
}

// The engine's two extremes: the default 32 slots fit one unit, -L 0 asks
// for 96 units (192 MB).
TEST(RamPool, FallbackLinesAndBlock)
{
    if (huge_pool_reserved())
        GTEST_SKIP() << "huge pages are reserved here: the pool takes the physical path";
    const struct {
        const char* name;
        std::uint64_t units;
    } cases[] = {{"32 slots of 4 KB", 1}, {"-L 0", 96}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Q_RAM ram;
        ram.verbose = 1;
        stderr_capture capture;
        capture.start();
        const int rc = ram.init(c.units);
        const std::string lines = capture.finish();

        ASSERT_EQ(rc, 0);
        ASSERT_NE(ram.base, nullptr);
        EXPECT_EQ(lines, fallback_lines(c.units * UNIT, ram.base, ram.locked));
        EXPECT_EQ(ram.physical, 0);
        EXPECT_EQ(ram.unit_size, UNIT);
        EXPECT_EQ(ram.unit_count, c.units);
        EXPECT_EQ(ram.size, c.units * UNIT);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(ram.base) % UNIT, 0u);
        if (ram.locked) {
            EXPECT_TRUE(all_zero(ram.base, ram.size));
        }
        EXPECT_TRUE(usable(ram.base, ram.size));
        EXPECT_EQ(ram.release(), 0);
        EXPECT_EQ(ram.base, nullptr);
    }
}

// Whether the block can be locked depends on the machine; each outcome is
// forced in a child process, and skipped where the machine can't give it.
class RamLocking : public ::testing::TestWithParam<bool> {};

TEST_P(RamLocking, OneUnitLockedAndZeroedOrLeftAlone)
{
    const bool may_lock = GetParam();
    const child_run run = run_in_child([may_lock] {
        if (may_lock) {
            if (huge_pool_reserved())
                return SKIPPED;
            // The pool raises the limit itself; skip where even that is not
            // enough for one unit.
            rlimit limit{};
            getrlimit(RLIMIT_MEMLOCK, &limit);
            limit.rlim_cur = limit.rlim_max;
            setrlimit(RLIMIT_MEMLOCK, &limit);
        } else if (!forbid_locking(64 * 1024, 64 * 1024)) {
            return SKIPPED;
        }
        // The sanitizers turn mlock into a no-op that always succeeds.
        if (can_lock_one_unit() != may_lock)
            return SKIPPED;
        return init_one_unit_and_report();
    });
    if (run.skipped())
        GTEST_SKIP() << "this machine can't give that outcome";
    ASSERT_TRUE(run.exited_cleanly()) << run.err;
    pool_facts f;
    ASSERT_TRUE(parse_facts(run.out, &f)) << run.out;
    const void* base = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(f.base));

    EXPECT_EQ(f.init, 0);
    EXPECT_EQ(f.aligned, 1);
    EXPECT_EQ(f.usable, 1);
    EXPECT_EQ(f.release, 0);
    EXPECT_EQ(f.locked, may_lock ? 1 : 0);
    EXPECT_EQ(run.err, fallback_lines(UNIT, base, may_lock));
    if (may_lock) {
        EXPECT_EQ(f.privilege, 0);
        EXPECT_EQ(f.zero, 1) << "a locked block is zero-filled";
    } else {
        EXPECT_NE(f.privilege, 0);
        // Only glibc's own allocator is known to hand the dirty heap back.
        if (!RAM_TEST_SANITIZED) {
            EXPECT_EQ(f.zero, 0) << "an unlocked block is left as the allocator gave it";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RamPool, RamLocking, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "LockingAllowed" : "LockingForbidden";
                         });

TEST(RamPool, LockPrivilegeFollowsCapabilityAndLimit)
{
    const struct {
        const char* name;
        rlim_t soft;
        rlim_t hard;
        std::uint64_t size;
        bool granted;
        rlim_t soft_after;
    } cases[] = {
        {"within the soft limit", 64 * 1024, 64 * 1024, 32 * 1024, true, 64 * 1024},
        {"soft limit raised up to the hard one", 16 * 1024, 64 * 1024, 48 * 1024, true, 48 * 1024},
        {"beyond the hard limit", 64 * 1024, 64 * 1024, UNIT, false, 64 * 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto row = c;
        const child_run run = run_in_child([row] {
            if (!forbid_locking(row.soft, row.hard))
                return SKIPPED;
            Q_RAM ram;
            ram.size = row.size;
            const int result = ram.enable_lock_memory_privilege(nullptr);
            const int error = errno;
            rlimit after{};
            getrlimit(RLIMIT_MEMLOCK, &after);
            std::printf("%d %d %lu\n", result, error, static_cast<unsigned long>(after.rlim_cur));
            return 0;
        });
        if (run.skipped())
            GTEST_SKIP() << "capabilities or limits can't be changed here";
        ASSERT_TRUE(run.exited_cleanly()) << run.err;
        int result = -99;
        int error = -99;
        unsigned long soft_after = 0;
        ASSERT_EQ(std::sscanf(run.out.c_str(), "%d %d %lu", &result, &error, &soft_after), 3) << run.out;
        if (c.granted) {
            EXPECT_EQ(result, 0);
        } else {
            EXPECT_NE(result, 0);
        }
        EXPECT_EQ(error, result) << "errno reports the same result";
        EXPECT_EQ(soft_after, c.soft_after);
    }
}

TEST(RamPool, ReleaseAndResetResults)
{
    stderr_capture capture;
    capture.start();

    Q_RAM ram;
    const int release_empty = ram.release();
    const int init_first = ram.init(1);
    const bool held = ram.base != nullptr;
    const int release_held = ram.release();
    const int release_again = ram.release();
    const int init_second = ram.init(1);
    ram.page_size = 4096;
    const int reset_held = ram.reset();
    static const unsigned char zero_record[sizeof(Q_RAM)] = {};
    const bool zero_after_reset = std::memcmp(static_cast<const void*>(&ram), zero_record, sizeof(Q_RAM)) == 0;
    ram.verbose = 1;
    ram.unit_size = UNIT;
    const int reset_empty = ram.reset();
    const bool zero_after_empty_reset = std::memcmp(static_cast<const void*>(&ram), zero_record, sizeof(Q_RAM)) == 0;

    const std::string lines = capture.finish();
    EXPECT_EQ(release_empty, -1);
    EXPECT_EQ(init_first, 0);
    EXPECT_TRUE(held);
    EXPECT_EQ(release_held, 0);
    EXPECT_EQ(release_again, -1);
    EXPECT_EQ(init_second, 0);
    EXPECT_EQ(reset_held, 0);
    EXPECT_TRUE(zero_after_reset);
    EXPECT_EQ(reset_empty, -1);
    EXPECT_TRUE(zero_after_empty_reset);
    EXPECT_EQ(lines, "") << "a pool that is not verbose and gets its memory prints nothing";
}

TEST(RamPool, FailedAllocationIsReportedAndInitFails)
{
    if (RAM_TEST_SANITIZED)
        GTEST_SKIP() << "the sanitizers' allocators end the process instead of failing";
    if (huge_pool_reserved())
        GTEST_SKIP() << "huge pages are reserved here: the pool takes the physical path";
    Q_RAM ram;
    ram.verbose = 1;
    stderr_capture capture;
    capture.start();
    // 2^61 bytes: more than any address space.
    const int rc = ram.init(1ULL << 40);
    const std::string lines = capture.finish();

    EXPECT_EQ(rc, -1);
    EXPECT_EQ(ram.base, nullptr);
    EXPECT_EQ(ram.locked, 0);
    // The MB figure is kept to 32 bits, as every MB figure of the pool.
    EXPECT_EQ(lines, ":: page size   2 MB  :: align    0 MB RAM at: 0x0000000000000000 \n"
                     "!! _aligned_malloc() failed to allocate RAM!\n"
                     "   ^ERROR: 12, Cannot allocate memory\n");
    EXPECT_EQ(ram.release(), -1);
}

// Huge pages are mapped when the pool has them; otherwise the AWE line and
// the six diagnostic lines say what was missing and nothing is kept.
TEST(RamPhysical, AllocPhysicalMapsHugePagesOrExplains)
{
    const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const huge_pages pages = read_meminfo();
    const std::uint64_t bytes = pages.size_kb ? pages.size_kb * 1024 : UNIT;
    Q_RAM ram;
    stderr_capture capture;
    capture.start();
    void* p = ram.alloc_physical(bytes);
    const int error = errno;
    const std::string lines = capture.finish();

    EXPECT_EQ(ram.pages_requested, bytes / page);
    EXPECT_EQ(ram.pfn_array_size, bytes / page * 8);
    if (p) {
        EXPECT_EQ(lines, "") << "success is silent when the pool is not verbose";
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % bytes, 0u);
        EXPECT_TRUE(usable(p, bytes));
        ram.base = p;
        ram.physical = 1;
        ram.unit_size = bytes;
        ram.unit_count = 1;
        EXPECT_EQ(ram.release(), 0);
        EXPECT_EQ(ram.aPFNs, nullptr);
        return;
    }
    EXPECT_NE(error, 0);
    EXPECT_EQ(ram.aPFNs, nullptr);
    EXPECT_EQ(ram.pages_received, 0u);
    // The array's address is the allocator's; take it from the text.
    const std::size_t at = lines.find("aPFNs [0x");
    ASSERT_NE(at, std::string::npos) << lines;
    const unsigned long array = std::strtoul(lines.c_str() + at + 9, nullptr, 16);
    EXPECT_NE(array, 0u);
    char expected[1024];
    std::snprintf(expected, sizeof(expected),
                  ":: AWE         0 MB physical RAM at: 0x0000000000000000\n"
                  "\n"
                  "Memory to request for PFN array\t%8lu KB\taPFNs [0x%08lx]\n"
                  "Requested number of pages\t%8lu\tRequested %5u MB\n"
                  "Received  number of pages\t       0\tReceived      0 MB\n"
                  "AllocateUserPhysicalPages\t[FAILED]\tpage size %5u bytes\n"
                  "MapUserPhysicalPages\t\t[FAILED]\n",
                  static_cast<unsigned long>(bytes / page * 8 >> 10), array, static_cast<unsigned long>(bytes / page),
                  static_cast<unsigned>(bytes >> 20), static_cast<unsigned>(page));
    EXPECT_EQ(lines, expected);
}
