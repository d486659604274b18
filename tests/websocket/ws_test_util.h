// Helpers shared by the WebSocket tests: byte strings, exact-size heap
// buffers (so the address sanitizer sees the first byte past the end) and
// RFC 6455 frames built the way a client sends them.
#pragma once

#include "websocket/q_ws.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace wstest {

using bytes = std::vector<std::uint8_t>;

inline bytes of(const std::string& s)
{
    return bytes(s.begin(), s.end());
}

inline bytes join(bytes a, const bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A heap block of exactly `size` bytes.
struct exact_buffer {
    std::unique_ptr<std::uint8_t[]> block;
    std::uint64_t size;

    explicit exact_buffer(std::uint64_t n) : block(new std::uint8_t[n == 0 ? 1 : n]), size(n)
    {
        std::memset(block.get(), 0xA5, n == 0 ? 1 : n);
    }
    exact_buffer(const bytes& content, std::uint64_t extra) : exact_buffer(content.size() + extra)
    {
        if (!content.empty())
            std::memcpy(block.get(), content.data(), content.size());
    }
    std::uint8_t* data() { return block.get(); }
};

// A client frame: first byte, the shortest length form, optionally masked
// with `key` (payload bytes XORed as they go on the wire).
inline bytes client_frame(std::uint8_t first, const bytes& payload, bool masked,
                          const std::uint8_t key[4] = nullptr)
{
    static const std::uint8_t default_key[4] = {0x37, 0xFA, 0x21, 0x3D};
    if (!key)
        key = default_key;
    bytes f{first};
    const std::uint8_t mask_bit = masked ? 0x80 : 0x00;
    const std::uint64_t n = payload.size();
    if (n <= 125) {
        f.push_back(static_cast<std::uint8_t>(mask_bit | n));
    } else if (n <= 65535) {
        f.push_back(mask_bit | 126);
        f.push_back(static_cast<std::uint8_t>(n >> 8));
        f.push_back(static_cast<std::uint8_t>(n));
    } else {
        f.push_back(mask_bit | 127);
        for (int k = 7; k >= 0; --k)
            f.push_back(static_cast<std::uint8_t>(n >> (8 * k)));
    }
    if (masked)
        f.insert(f.end(), key, key + 4);
    for (std::uint64_t j = 0; j < n; ++j)
        f.push_back(masked ? static_cast<std::uint8_t>(payload[j] ^ key[j % 4]) : payload[j]);
    return f;
}

inline bytes pattern(std::uint64_t n, std::uint8_t seed = 1)
{
    bytes b(n);
    for (std::uint64_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(seed + i * 31);
    return b;
}

} // namespace wstest
