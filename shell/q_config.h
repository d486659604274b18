// Q_CONFIG: the configuration record, its defaults and the command line.
#pragma once

#include "relay/q_access.h"

#include <cstdint>

struct Q_CONFIG {
    static constexpr std::uint16_t MAX_CONNECTIONS = 32;

    std::uint8_t log_connections = 1;
    std::uint8_t listen = 1;
    std::uint8_t print_once = 0;
    std::uint8_t print = 1;
    std::uint8_t verbose = 1;
    std::uint8_t write = 1;
    char addr_local_ip[64] = {};
    char addr_remote_ip[64] = {};
    std::uint16_t addr_local_port = 81;
    std::uint16_t addr_remote_port = 0;
    std::uint16_t cw_connections = 32;
    std::uint64_t packet_length_r = 4096;
    std::int32_t cso_type = 1;      // SOCK_STREAM
    std::int32_t cso_protocol = 6;  // IPPROTO_TCP
    // -a, -o, -m and -i; -b writes addr_local_ip.
    Q_ACCESS access;

    // Writes the defaults, scans the command line (argv[0] is skipped), sets
    // up TLS, settles the connection count and prints the configuration
    // block. 0 when the engine may run, -1 for the usage text.
    int config(int argc, char16_t** argv);
    void print_block() const;
};

// What config() starts from. The program leaves the table's values in place;
// a test may change them (client mode, a remote address) before it builds an
// engine, since the command line cannot.
extern Q_CONFIG g_config_defaults;

// _wtoi: leading white space, one sign, decimal digits; saturates at the
// signed 32-bit limits; no digits give 0.
std::int32_t wide_to_int(const char16_t* text);
