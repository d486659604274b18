// Q_RAM: the one resident block from which every relay buffer is cut.
//
// Physical pages when the system has large pages and the process may lock
// memory (Windows: AWE pages with the lock-memory privilege; Linux: huge pages
// with MAP_HUGETLB, then mlock); otherwise a block aligned to the unit, locked
// where the working set (Windows) or the memory-lock limit (Linux) allows.
#pragma once

#include <cstdint>

struct Q_RAM {
    std::uint8_t physical = 0;        // huge-page mode
    std::uint8_t locked = 0;          // the fallback block is locked
    std::uint64_t pages_requested = 0;
    std::uint64_t pages_received = 0;
    std::uint64_t pfn_array_size = 0;
    std::uint64_t* aPFNs = nullptr;
    void* process = nullptr;
    void* token = nullptr;
    std::uint8_t verbose = 0;
    std::uint64_t page_size = 0;
    std::uint64_t allocation_granularity = 0;
    std::uint64_t unit_count = 0;
    std::uint64_t unit_size = 0;
    std::uint64_t size = 0;
    void* base = nullptr;

    Q_RAM() = default;
    Q_RAM(const Q_RAM&) = delete;
    Q_RAM& operator=(const Q_RAM&) = delete;
    ~Q_RAM() { reset(); }

    // The allocation unit in bytes; sets *physical_flag when the system has
    // huge pages reserved (HugePages_Total above 0). 2 MiB otherwise.
    static std::uint64_t large_page_minimum(std::uint8_t* physical_flag);
    // 0 when memory is held, -1 when none could be obtained.
    int init(std::uint64_t units);
    // 0 when memory was given back, -1 when none was held.
    int release();
    // release, then zero the whole record; returns the result of release.
    int reset();
    // Huge pages, mapped and locked; null when they can't be had (then the
    // AWE line and the diagnostic lines are on standard error and errno holds
    // the cause).
    void* alloc_physical(std::uint64_t bytes);
    // 0 when the process may lock `size` bytes (CAP_IPC_LOCK, or a memory-lock
    // limit that is or can be raised high enough); -1 when the capabilities
    // can't be read; else the error number. errno is left at the result.
    int enable_lock_memory_privilege(void* token_handle);
    // The aligned block, locked where the limit allows; 0 or the allocation's
    // error number.
    int alloc_fallback();
};
