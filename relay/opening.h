// opening_request: a connection's opening HTTP request, read whole before
// anything is decided about it: across as many reads as it takes until its
// blank line (and, for a hixie-76 request, the 8 key bytes behind it),
// within the receive buffer and a deadline.
#pragma once

#include "support/sockets.h"

#include <chrono>
#include <cstdint>

struct q_tls_conn_t;

using steady_time = std::chrono::steady_clock::time_point;

// The whole opening request must have arrived this long after the
// connection was accepted: enough for a browser on a slow network, short
// enough that idle or trickling openings do not hold slots for long.
inline constexpr std::chrono::milliseconds OPENING_DEADLINE{5000};

struct opening_request {
    enum class outcome : std::uint8_t { complete, too_large, too_slow, closed };

    std::uint8_t* buffer = nullptr;
    std::uint64_t capacity = 0;  // the most bytes the request may take
    std::uint64_t held = 0;      // bytes in the buffer: the request and what followed it
    std::uint64_t length = 0;    // bytes of the request once complete

    // Reads until the request is complete, the buffer is full, the deadline
    // passes or the connection ends. `held` bytes may already be there.
    outcome read(q_tls_conn_t& tls, SOCKET so, steady_time deadline);
    // The value of the first header line `name` (without its colon; letter
    // case ignored), blanks around it left out. False when there is none.
    bool header(const char* name, const char*& value, std::uint64_t& value_length) const;
};

// The length of the request at the start of `data` once it is complete
// (headers, blank line and, when it is a hixie-76 request, its 8 key bytes),
// 0 while more is needed.
std::uint64_t complete_request_length(const std::uint8_t* data, std::uint64_t held);
