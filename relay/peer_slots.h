// Q_PEER_SLOTS: the peer address each slot serves, so that one address can
// be kept from holding more than its share of the slots.
#pragma once

#include <atomic>
#include <cstdint>

struct Q_PEER_SLOTS {
    static constexpr std::uint32_t SLOTS = 32;

    std::atomic<std::uint32_t> peer[SLOTS] = {};
    std::atomic<std::uint8_t> held[SLOTS] = {};

    // Slot `id` takes a connection of `peer` unless that address already
    // holds `limit` other slots (0: no limit). Two connections of one
    // address taken at the same moment each see the other (every access is
    // sequentially consistent), so the limit is never exceeded; at worst
    // both are turned away.
    bool take(std::uint32_t id, std::uint32_t peer_ip, std::uint16_t limit);
    void release(std::uint32_t id);
    // Slots the address holds now, `id`'s own left out.
    std::uint32_t held_by(std::uint32_t peer_ip, std::uint32_t id) const;
};

extern Q_PEER_SLOTS g_peer_slots;
