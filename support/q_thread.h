// Q_THREAD: one thread and the parameters it was started with.
//
// A thread may release its own record as its last act while another thread
// joins it; `claimed` decides who gives back the system thread, so the thread
// is joined or detached exactly once and never joined after it detached.
#pragma once

#include <atomic>
#include <cstdint>

using Q_THREAD_ROUTINE = std::uint32_t (*)(void* parameter);

struct Q_THREAD {
    static constexpr std::uint32_t STACK_SIZE_PARAM_IS_A_RESERVATION = 0x10000;
    // Stacks are never smaller than this: OpenSSL needs room, and both
    // systems commit stack pages only as they are touched.
    static constexpr std::uint64_t MIN_STACK_SIZE = 256 * 1024;

    std::uint64_t stack_size = 0;
    std::uint32_t creation_flags = 0;
    void* security_attributes = nullptr;
    std::atomic<std::uintptr_t> handle{0};  // the system's thread handle
    std::uint32_t thread_id = 0;
    std::atomic<std::uint8_t> created{0};
    std::atomic<std::uint8_t> claimed{0};  // joined or detached already

    Q_THREAD() = default;
    Q_THREAD(const Q_THREAD&) = delete;
    Q_THREAD& operator=(const Q_THREAD&) = delete;
    // A record that still holds a thread terminates it (exit code 1).
    ~Q_THREAD();

    // 0 on success, else the system error number.
    int start(Q_THREAD_ROUTINE routine, void* parameter, std::uint64_t stack);
    // Waits until the thread has ended. Returns at once when the record holds
    // no thread or the thread has already given itself back.
    void join();
    // Forced end (pthread_cancel; TerminateThread on Windows), then waits for
    // the thread to end.
    void terminate();
    // Gives the record back: from another thread after join or terminate, or
    // from the thread itself as its last act.
    void release();

    bool is_created() const { return created.load(std::memory_order_acquire) != 0; }
};
