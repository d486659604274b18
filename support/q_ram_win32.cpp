#include "support/q_ram.h"

#include "shell/console.h"

#include <cstdint>
#include <cstring>
#include <malloc.h>
#include <windows.h>

namespace {

constexpr std::uint64_t DEFAULT_UNIT = 0x200000;

unsigned mb(std::uint64_t bytes)
{
    return static_cast<unsigned>(bytes >> 20);
}

unsigned long long address(const void* p)
{
    return static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p));
}

using large_page_minimum_fn = SIZE_T(WINAPI*)();

} // namespace

std::uint64_t Q_RAM::large_page_minimum(std::uint8_t* physical_flag)
{
    if (physical_flag)
        *physical_flag = 0;
    // Looked up at run time: systems without large pages have no such call.
    HMODULE kernel = LoadLibraryExW(L"kernel32.dll", nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (!kernel)
        return DEFAULT_UNIT;
    std::uint64_t unit = DEFAULT_UNIT;
    auto call = reinterpret_cast<large_page_minimum_fn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "GetLargePageMinimum")));
    if (call) {
        const SIZE_T minimum = call();
        if (minimum != 0) {
            unit = minimum;
            if (physical_flag)
                *physical_flag = 1;
        }
    }
    FreeLibrary(kernel);
    return unit;
}

int Q_RAM::init(std::uint64_t units)
{
    unit_count = units;
    unit_size = static_cast<std::uint32_t>(large_page_minimum(&physical));
    size = unit_size * unit_count;
    process = GetCurrentProcess();
    HANDLE opened = nullptr;
    (void)OpenProcessToken(process, TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &opened);
    token = opened;
    if (physical) {
        // AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED when the
        // account does not hold the privilege: only 0 and 0 mean it is held.
        const int privilege = enable_lock_memory_privilege(token);
        if (privilege != 0 || GetLastError() != 0)
            physical = 0;
    }
    if (physical) {
        base = alloc_physical(size);
        if (!base) {
            const DWORD error = GetLastError();
            physical = 0;
            if (verbose)
                err("\n");
            report_error_stderr(error, "!! Failed to allocate physical RAM, the feature will be disabled!");
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
    // Without a working set that holds the block, VirtualLock would fail.
    const SIZE_T working_set = static_cast<SIZE_T>(size + 8 * unit_size);
    (void)SetProcessWorkingSetSize(static_cast<HANDLE>(process), working_set, working_set);
    SetLastError(0);
    base = _aligned_malloc(static_cast<std::size_t>(size), static_cast<std::size_t>(unit_size));
    const int error = base ? 0 : static_cast<int>(GetLastError() != 0 ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY);
    locked = base && VirtualLock(base, static_cast<SIZE_T>(size));
    if (verbose)
        err(":: align %4u MB RAM at: 0x%016llx %s\n", mb(size), address(base), locked ? "[LOCKED]" : "");
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
        ULONG_PTR pages = static_cast<ULONG_PTR>(pages_received);
        MapUserPhysicalPages(base, pages, nullptr);
        VirtualFree(base, 0, MEM_RELEASE);
        FreeUserPhysicalPages(static_cast<HANDLE>(process), &pages, reinterpret_cast<PULONG_PTR>(aPFNs));
        HeapFree(GetProcessHeap(), 0, aPFNs);
        aPFNs = nullptr;
        base = nullptr;
        return 0;
    }
    if (locked)
        VirtualUnlock(base, static_cast<SIZE_T>(size));
    _aligned_free(base);
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
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    const std::uint64_t page = info.dwPageSize != 0 ? info.dwPageSize : 4096;
    pages_requested = pages_received = bytes / page;
    pfn_array_size = pages_requested * 8;
    aPFNs = static_cast<std::uint64_t*>(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(pfn_array_size)));
    bool granted = false;
    bool mapped = false;
    void* range = nullptr;
    DWORD error = aPFNs ? 0 : GetLastError();
    if (aPFNs) {
        ULONG_PTR pages = static_cast<ULONG_PTR>(pages_received);
        granted = AllocateUserPhysicalPages(static_cast<HANDLE>(process), &pages, reinterpret_cast<PULONG_PTR>(aPFNs));
        if (!granted)
            error = GetLastError();
        pages_received = pages;
        range = VirtualAlloc(nullptr, static_cast<SIZE_T>(bytes), MEM_RESERVE | MEM_PHYSICAL, PAGE_READWRITE);
        if (!range && error == 0)
            error = GetLastError();
        mapped = range && MapUserPhysicalPages(range, pages, reinterpret_cast<PULONG_PTR>(aPFNs));
        if (range && !mapped && error == 0)
            error = GetLastError();
    }
    if (!(granted && mapped) || verbose)
        err(":: AWE %9u MB physical RAM at: 0x%016llx\n", mb(page * pages_received), address(range));
    if (granted && mapped && pages_received >= pages_requested)
        return range;
    err("\n");
    err("Memory to request for PFN array\t%8llu KB\taPFNs [0x%08llx]\n",
        static_cast<unsigned long long>(pfn_array_size >> 10), address(aPFNs));
    err("Requested number of pages\t%8llu\tRequested %5u MB\n",
        static_cast<unsigned long long>(pages_requested), mb(page * pages_requested));
    err("Received  number of pages\t%8llu\tReceived  %5u MB\n",
        static_cast<unsigned long long>(pages_received), mb(page * pages_received));
    err("AllocateUserPhysicalPages\t%8s\tpage size %5u bytes\n", granted ? "[OK]" : "[FAILED]",
        static_cast<unsigned>(page));
    err("MapUserPhysicalPages\t\t%8s\n", mapped ? "[OK]" : "[FAILED]");
    if (range) {
        MapUserPhysicalPages(range, static_cast<ULONG_PTR>(pages_received), nullptr);
        VirtualFree(range, 0, MEM_RELEASE);
    }
    if (aPFNs) {
        ULONG_PTR pages = static_cast<ULONG_PTR>(pages_received);
        if (granted)
            FreeUserPhysicalPages(static_cast<HANDLE>(process), &pages, reinterpret_cast<PULONG_PTR>(aPFNs));
        HeapFree(GetProcessHeap(), 0, aPFNs);
    }
    aPFNs = nullptr;
    SetLastError(error);
    return nullptr;
}

int Q_RAM::enable_lock_memory_privilege(void* token_handle)
{
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, L"SeLockMemoryPrivilege", &privileges.Privileges[0].Luid))
        return -1;
    SetLastError(0);
    if (!AdjustTokenPrivileges(static_cast<HANDLE>(token_handle), FALSE, &privileges, 0, nullptr, nullptr))
        return static_cast<int>(GetLastError());
    return 0;
}
