// Q_STOP: the orderly stop of the server run (SIGINT, SIGTERM, or the
// console's control events on Windows).
//
// | step | what                                                                    |
// |------|-------------------------------------------------------------------------|
// | 1    | `stop` is set and the listening socket is shut down: the readers        |
// |      | waiting in accept end, no new connection is taken                       |
// | 2    | every relaying connection gets its goodbye on a thread of its own: a    |
// |      | WebSocket client a close frame 1001 (going away) behind what is already |
// |      | queued for it, a TLS session its close_notify, then the socket stops    |
// |      | sending; its reader reads on until the client closes, and prints the    |
// |      | fin line                                                                |
// | 3    | connections still open after LIMIT_MS (a client that never closes, one  |
// |      | that does not read) are dropped                                         |
// | 4    | the readers have ended, so the server run returns, and the program      |
// |      | tears down as after any run                                             |
//
// A connection that finishes its opening during the stop gets its goodbye as
// soon as it relays.
#pragma once

#include "support/q_event.h"
#include "support/q_thread.h"

#include <atomic>
#include <cstdint>

struct Q_TASK;

struct Q_STOP {
    static constexpr std::uint32_t SLOTS = 32;
    static constexpr std::uint32_t LIMIT_MS = 1500;

    // Guards `serving`, `served` and the start of the stop: a stop never begins on a
    // run that is returning.
    Q_EVENT lock;
    std::uint8_t serving = 0;
    std::uint8_t served = 0;
    std::atomic<std::uint8_t> requested{0};
    // The signal that stopped the run, for the run's last line.
    std::atomic<const char*> reason{nullptr};
    // The listening socket, shut down by the stop and closed once the run has
    // returned (a reader may still be on its way into accept).
    std::atomic<std::uint64_t> listening{~0ull};
    Q_THREAD controller;
    Q_THREAD goodbye[SLOTS];
    std::atomic<std::int32_t> goodbyes_running{0};
    std::atomic<std::uint8_t> said[SLOTS] = {};

    Q_STOP();
    Q_STOP(const Q_STOP&) = delete;
    Q_STOP& operator=(const Q_STOP&) = delete;

    // The server run begins and ends serving; the end waits for a stop
    // under way and closes the socket it shut down.
    void begin_serving();
    void end_serving();
    enum class answer : std::uint8_t {
        stopping,  // the stop is under way, or begins as soon as the run serves
        repeated,  // a stop was requested before: end the process at once
        no_run,    // no run serves now or will: end the process at once
    };
    // The first request starts the stop.
    answer request(const char* why);
    // No run will serve (the usage text, a run that has returned).
    void no_run_ahead();
    // The reason of a stop that was requested, or null.
    const char* stopped_by() const { return reason.load(std::memory_order_acquire); }
};

extern Q_STOP g_stop;
