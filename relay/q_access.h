// Q_ACCESS: whom the hub admits and for how long: the peer addresses and
// browser Origins allowed, the slots one peer address may hold at once, and
// the idle time-out. Every limit is off by default.
#pragma once

#include <cstddef>
#include <cstdint>

// An IPv4 address block in host byte order; a single address has mask ~0.
struct ipv4_block {
    std::uint32_t network;
    std::uint32_t mask;

    bool holds(std::uint32_t address) const { return (address & mask) == network; }
};

struct Q_ACCESS {
    static constexpr std::uint32_t MAX_BLOCKS = 32;
    static constexpr std::uint32_t TEXT_SIZE = 512;

    ipv4_block allow[MAX_BLOCKS] = {};
    std::uint32_t allow_count = 0;      // 0: every address is admitted
    char allow_text[TEXT_SIZE] = {};    // the list as it was given
    char origins[TEXT_SIZE] = {};       // Origins separated by commas, blanks removed
    std::uint32_t origin_count = 0;     // 0: any Origin
    std::uint16_t per_address_max = 0;  // 0: no limit
    std::uint32_t idle_seconds = 0;     // 0: no idle time-out

    // A comma-separated list of a.b.c.d and a.b.c.d/n. 0 when it was taken;
    // -1 (and the record unchanged) when it is not such a list.
    int set_allow(const char* list);
    // A comma-separated list of Origins (scheme://host[:port], printable
    // ASCII without blanks). 0 when it was taken, -1 (record unchanged) otherwise.
    int set_origins(const char* list);

    bool admits_address(std::uint32_t peer) const;
    // `value` is the Origin header's value. Letter case does not matter:
    // schemes and host names are case-insensitive.
    bool admits_origin(const char* value, std::size_t length) const;
    bool restricts_peers() const { return allow_count != 0 || origin_count != 0; }
};

// Dotted IPv4: exactly four decimal parts of 0 to 255, at most three digits
// each. The address in host byte order; false when the text is not one.
bool parse_ipv4(const char* text, std::size_t length, std::uint32_t& address);
// a.b.c.d or a.b.c.d/n with n from 0 to 32. The address is masked to its
// block, so 10.1.2.3/8 is 10.0.0.0/8.
bool parse_ipv4_block(const char* text, std::size_t length, ipv4_block& block);

// Milliseconds of the steady clock: what idle time-outs are measured in.
std::int64_t steady_ms();
// -i in milliseconds (0: off), at most what a receive time-out can hold.
std::uint32_t idle_limit_ms();

// What the slot threads check; construction copies the configuration's
// record here before any thread runs.
extern Q_ACCESS g_access;
