// Q_SOCKET: the engine. It owns the configuration, the buffer pool and the
// slot table for the life of the run.
#pragma once

#include "relay/q_task.h"
#include "shell/q_config.h"
#include "support/q_ram.h"
#include "support/sockets.h"

#include <cstdint>

struct packet_sizes {
    std::uint64_t length;       // L: reads take at most L - 1 bytes; each send half holds L
    std::uint64_t buffer_unit;  // B: the pool slice of each of a slot's three buffers
};

// The requested packet length settled against the allocation unit and the
// socket protocol.
packet_sizes normalise_packet_length(std::uint64_t requested, std::uint64_t unit, std::int32_t protocol);

struct Q_SOCKET {
    static constexpr std::uint32_t SLOTS = 32;

    Q_CONFIG cfg;
    Q_RAM ram;
    Q_TASK tasks[SLOTS];
    std::uint8_t ready = 0;
    ws2::address addr_local{};
    ws2::address addr_remote{};

    // Builds the engine from the command line (argv as UTF-16). Ends the
    // process on the fatal failures (no buffer memory, no thread).
    Q_SOCKET(int argc, char16_t** argv);
    Q_SOCKET(const Q_SOCKET&) = delete;
    Q_SOCKET& operator=(const Q_SOCKET&) = delete;
    ~Q_SOCKET();

    void fill_addresses();
    // The listening server: 0 after every reader ended, -1 on a set-up failure.
    int run_server();
    // Client mode: 0 after every reader ended, -1 or the connect error otherwise.
    int run_client();

    enum class connect_outcome { next_slot, stop_from_here, give_up };
    // What follows a failed connect of slot i with error e: it reports the
    // failure and, for an aborted connection, ends that slot on its own.
    connect_outcome settle_failed_connect(std::uint32_t i, int e);
};
