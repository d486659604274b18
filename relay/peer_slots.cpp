#include "relay/peer_slots.h"

Q_PEER_SLOTS g_peer_slots;

bool Q_PEER_SLOTS::take(std::uint32_t id, std::uint32_t peer_ip, std::uint16_t limit)
{
    if (id >= SLOTS)
        return limit == 0;
    peer[id].store(peer_ip);
    held[id].store(1);
    if (limit != 0 && held_by(peer_ip, id) >= limit) {
        release(id);
        return false;
    }
    return true;
}

void Q_PEER_SLOTS::release(std::uint32_t id)
{
    if (id < SLOTS)
        held[id].store(0);
}

std::uint32_t Q_PEER_SLOTS::held_by(std::uint32_t peer_ip, std::uint32_t id) const
{
    std::uint32_t n = 0;
    for (std::uint32_t i = 0; i < SLOTS; ++i)
        if (i != id && held[i].load() && peer[i].load() == peer_ip)
            ++n;
    return n;
}
