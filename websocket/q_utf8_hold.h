// q_utf8_hold_t: the character cut at the end of one sender's read. Its
// bytes are held back from that sender's WebSocket receivers and go out in
// front of the sender's next data, so a receiver's text frames only ever
// carry whole characters. Raw and TLS receivers get every byte at once;
// this record only shapes what WebSocket receivers get.
#pragma once

#include <cstdint>

struct q_utf8_hold_t {
    // Writable bytes the caller leaves in front of every read.
    static constexpr std::uint64_t ROOM = 3;

    std::uint8_t held[ROOM] = {};
    std::uint8_t count = 0;

    // A read at data[0, n), with ROOM writable bytes in front of it: puts the
    // held bytes directly in front of data and holds back the character a
    // new cut leaves unfinished at its end. *start and the result are the
    // span the WebSocket receivers get (it may be empty).
    std::uint64_t wrap(std::uint8_t* data, std::uint64_t n, const std::uint8_t** start);
    // At the sender's end: the held bytes, to go out on their own (*start,
    // result); nothing is held afterwards. The bytes stay readable until
    // the next wrap.
    std::uint64_t release(const std::uint8_t** start);
    void clear() { count = 0; }
};

// The trailing bytes of p[0, n) (0 to 3) that begin a character without
// finishing it, as far as they are valid UTF-8; 0 when p ends on a
// character boundary or in bytes that are no UTF-8 at all.
std::uint32_t utf8_incomplete_tail(const std::uint8_t* p, std::uint64_t n);
