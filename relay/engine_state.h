// The process-wide state the slot threads share.
#pragma once

#include "support/q_event.h"
#include "support/q_thread.h"
#include "support/sockets.h"

#include <atomic>
#include <cstdint>

struct Q_TASK;

struct Q_ENGINE_STATE {
    std::atomic<Q_TASK*> tasks{nullptr};
    std::atomic<std::uint16_t> slot_count{0};
    std::atomic<std::uint64_t> packet_length{0};
    std::atomic<std::uint64_t> sndbuf_size{0};
    std::atomic<std::uint64_t> thread_stack_size{0};
    std::atomic<std::uint8_t> listen_mode{0};
    std::atomic<std::uint8_t> stop{0};
    std::atomic<std::int32_t> active_count{0};
    std::atomic<std::uint8_t> line_open{0};
    // When accept last failed for want of descriptors or memory (steady
    // clock, milliseconds; 0: never).
    std::atomic<std::int64_t> accept_short_at{0};
    std::atomic<SOCKET> so_listen{INVALID_SOCKET};
    std::uint32_t next_id = 0;  // main thread only
    Q_EVENT event_p;
    Q_THREAD thread_p;
};

extern Q_ENGINE_STATE g_engine;

// Relaxed load/store of the shared flags: single bytes that readers re-check
// where it matters.
template <typename T>
inline T load(const std::atomic<T>& a) { return a.load(std::memory_order_relaxed); }
template <typename T, typename V>
inline void store(std::atomic<T>& a, V v) { a.store(static_cast<T>(v), std::memory_order_relaxed); }
