#include "support/q_ram.h"

#include "shell/console.h"
#include "support/process.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr std::uint64_t DEFAULT_UNIT = 0x200000;

struct huge_pages {
    std::uint64_t total = 0;   // pages reserved in the pool
    std::uint64_t size_kb = 0; // the default huge page size
};

// The number after a "Name:" label of /proc/meminfo, when the line has it.
bool meminfo_value(const char* line, const char* label, std::uint64_t* value)
{
    const std::size_t length = std::strlen(label);
    if (std::strncmp(line, label, length) != 0)
        return false;
    *value = std::strtoull(line + length, nullptr, 10);
    return true;
}

huge_pages read_huge_pages()
{
    huge_pages pages;
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f)
        return pages;
    char line[256];
    while (std::fgets(line, sizeof(line), f)) {
        if (!meminfo_value(line, "HugePages_Total:", &pages.total))
            meminfo_value(line, "Hugepagesize:", &pages.size_kb);
    }
    std::fclose(f);
    return pages;
}

// -1 when the capability sets can't be read.
int holds_ipc_lock()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return -1;
    return (data[CAP_TO_INDEX(CAP_IPC_LOCK)].effective & CAP_TO_MASK(CAP_IPC_LOCK)) != 0;
}

bool limit_allows(rlim_t limit, std::uint64_t bytes)
{
    return limit == RLIM_INFINITY || limit >= bytes;
}

// Stands in for the working-set call: the memory-lock limit is what decides
// how much of the block may stay resident. Raised as far as permitted.
void raise_memlock_limit(std::uint64_t bytes)
{
    rlimit now{};
    if (getrlimit(RLIMIT_MEMLOCK, &now) != 0 || limit_allows(now.rlim_cur, bytes))
        return;
    rlimit wanted = now;
    wanted.rlim_cur = bytes;
    if (!limit_allows(wanted.rlim_max, bytes))
        wanted.rlim_max = bytes;
    if (setrlimit(RLIMIT_MEMLOCK, &wanted) == 0)
        return;
    wanted.rlim_max = now.rlim_max;
    wanted.rlim_cur = now.rlim_max;
    (void)setrlimit(RLIMIT_MEMLOCK, &wanted);
}

unsigned mb(std::uint64_t bytes)
{
    return static_cast<unsigned>(bytes >> 20);
}

unsigned long address(const void* p)
{
    return static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(p));
}

// Linux has no process or token handles: both stand for the process itself,
// whose capabilities and limits are what the privilege check reads.
void* current_process()
{
    return reinterpret_cast<void*>(static_cast<std::intptr_t>(getpid()));
}

} // namespace

std::uint64_t Q_RAM::large_page_minimum(std::uint8_t* physical_flag)
{
    if (physical_flag)
        *physical_flag = 0;
    // A huge page size is always reported, but only a reserved pool makes
    // huge-page mappings possible; without one the attempt would only fail
    // noisily.
    const huge_pages pages = read_huge_pages();
    if (pages.total == 0 || pages.size_kb == 0)
        return DEFAULT_UNIT;
    if (physical_flag)
        *physical_flag = 1;
    return pages.size_kb * 1024;
}

int Q_RAM::init(std::uint64_t units)
{
    unit_count = units;
    unit_size = static_cast<std::uint32_t>(large_page_minimum(&physical));
    size = unit_size * unit_count;
    process = current_process();
    token = process;
    if (physical) {
        const int privilege = enable_lock_memory_privilege(token);
        if (privilege != 0 || errno != 0)
            physical = 0;
    }
    if (physical) {
        base = alloc_physical(size);
        if (!base) {
            const int error = errno;
            physical = 0;
            if (verbose)
                err("\n");
            report_error_stderr(static_cast<std::uint32_t>(error),
                                "!! Failed to allocate physical RAM, the feature will be disabled!");
        }
    }
    if (verbose)
        err(":: page size %3d MB  ", static_cast<int>(unit_size >> 20));
    int error = 0;
    if (!physical)
        error = alloc_fallback();
    if (base)
        return 0;
    report_error_stderr(static_cast<std::uint32_t>(error), "!! _aligned_malloc() failed to allocate RAM!");
    return -1;
}

int Q_RAM::alloc_fallback()
{
    raise_memlock_limit(size + 8 * unit_size);
    errno = 0;
    base = std::aligned_alloc(static_cast<std::size_t>(unit_size), static_cast<std::size_t>(size));
    const int error = base ? 0 : errno;
    locked = base && mlock(base, size) == 0;
    if (verbose)
        err(":: align %4u MB RAM at: 0x%016lx %s\n", mb(size), address(base), locked ? "[LOCKED]" : "");
    // Touches every page once before the relay starts.
    if (locked)
        std::memset(base, 0, size);
    return error;
}

int Q_RAM::release()
{
    if (!base)
        return -1;
    size = unit_size * unit_count;
    if (physical || locked)
        std::memset(base, 0, size);
    if (physical) {
        munmap(base, size);
        std::free(aPFNs);
        aPFNs = nullptr;
        base = nullptr;
        return 0;
    }
    if (locked)
        munlock(base, size);
    std::free(base);
    base = nullptr;
    return 0;
}

int Q_RAM::reset()
{
    const int result = release();
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
    return result;
}

void* Q_RAM::alloc_physical(std::uint64_t bytes)
{
    const std::uint64_t page = system_page_size();
    pages_requested = pages_received = bytes / page;
    pfn_array_size = pages_requested * 8;
    // Linux hands out no frame numbers; the array keeps the record's shape
    // and its own failure case.
    aPFNs = static_cast<std::uint64_t*>(std::malloc(pfn_array_size));
    int error = aPFNs ? 0 : errno;
    bool granted = false;
    bool mapped = false;
    void* range = nullptr;
    if (aPFNs) {
        // The pages come from the reserved huge-page pool, all or none.
        range = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB, -1, 0);
        granted = range != MAP_FAILED;
        if (!granted) {
            error = errno;
            range = nullptr;
            pages_received = 0;
        } else {
            mapped = mlock(range, bytes) == 0;
            if (!mapped)
                error = errno;
        }
    }
    if (!(granted && mapped) || verbose)
        err(":: AWE %9u MB physical RAM at: 0x%016lx\n", mb(page * pages_received), address(range));
    if (granted && mapped && pages_received >= pages_requested)
        return range;
    err("\n");
    err("Memory to request for PFN array\t%8lu KB\taPFNs [0x%08lx]\n",
        static_cast<unsigned long>(pfn_array_size >> 10), address(aPFNs));
    err("Requested number of pages\t%8lu\tRequested %5u MB\n",
        static_cast<unsigned long>(pages_requested), mb(page * pages_requested));
    err("Received  number of pages\t%8lu\tReceived  %5u MB\n",
        static_cast<unsigned long>(pages_received), mb(page * pages_received));
    err("AllocateUserPhysicalPages\t%8s\tpage size %5u bytes\n", granted ? "[OK]" : "[FAILED]",
        static_cast<unsigned>(page));
    err("MapUserPhysicalPages\t\t%8s\n", mapped ? "[OK]" : "[FAILED]");
    if (range)
        munmap(range, bytes);
    std::free(aPFNs);
    aPFNs = nullptr;
    errno = error;
    return nullptr;
}

int Q_RAM::enable_lock_memory_privilege(void*)
{
    const int ipc_lock = holds_ipc_lock();
    if (ipc_lock < 0) {
        errno = EPERM;
        return -1;
    }
    int result = 0;
    rlimit now{};
    if (ipc_lock == 1)
        result = 0;
    else if (getrlimit(RLIMIT_MEMLOCK, &now) != 0)
        result = errno;
    else if (limit_allows(now.rlim_cur, size))
        result = 0;
    else if (!limit_allows(now.rlim_max, size))
        result = EPERM;
    else {
        // Raising the soft limit up to the hard one needs no privilege.
        rlimit raised{size, now.rlim_max};
        result = setrlimit(RLIMIT_MEMLOCK, &raised) == 0 ? 0 : errno;
    }
    errno = result;
    return result;
}
