#include "relay/opening.h"

#include "tls/q_tls_conn.h"

#include <cstring>

namespace {

// hixie-76 requests carry 8 key bytes behind their blank line.
constexpr std::uint64_t HIXIE_KEY_BYTES = 8;
// A read that fails this close to the deadline was ended by it.
constexpr std::chrono::milliseconds DEADLINE_SLACK{50};

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_text(const std::uint8_t* p, const char* text, std::uint64_t n)
{
    for (std::uint64_t i = 0; i < n; ++i)
        if (lower(static_cast<char>(p[i])) != lower(text[i]))
            return false;
    return true;
}

bool contains(const std::uint8_t* data, std::uint64_t length, const char* text)
{
    const std::uint64_t n = std::strlen(text);
    for (std::uint64_t i = 0; i + n <= length; ++i)
        if (same_text(data + i, text, n))
            return true;
    return false;
}

// The end of the header block (just past its empty line, CRLF or a bare LF)
// searched from `from`, or 0 when it has not arrived.
std::uint64_t header_block_end(const std::uint8_t* data, std::uint64_t from, std::uint64_t held)
{
    for (std::uint64_t i = from; i < held; ++i) {
        if (data[i] != '\n' || i == 0)
            continue;
        if (data[i - 1] == '\n')
            return i + 1;
        if (i >= 3 && data[i - 1] == '\r' && data[i - 2] == '\n')
            return i + 1;
    }
    return 0;
}

// Header names the handshake looks for anywhere in the text: a request
// without the RFC 6455 key but with hixie-76's first key is hixie-76.
std::uint64_t trailing_key_bytes(const std::uint8_t* data, std::uint64_t head_end)
{
    if (contains(data, head_end, "Sec-WebSocket-Key:"))
        return 0;
    return contains(data, head_end, "Sec-WebSocket-Key1:") ? HIXIE_KEY_BYTES : 0;
}

bool is_blank(std::uint8_t c) { return c == ' ' || c == '\t'; }

} // namespace

std::uint64_t complete_request_length(const std::uint8_t* data, std::uint64_t held)
{
    const std::uint64_t head_end = header_block_end(data, 0, held);
    if (head_end == 0)
        return 0;
    const std::uint64_t length = head_end + trailing_key_bytes(data, head_end);
    return length <= held ? length : 0;
}

opening_request::outcome opening_request::read(q_tls_conn_t& tls, SOCKET so, steady_time deadline)
{
    using std::chrono::steady_clock;
    // A trickling client must not make every read scan the whole request
    // again: the search for the empty line goes on where it stopped.
    std::uint64_t searched = 0;
    std::uint64_t head_end = 0;
    length = 0;
    for (;;) {
        if (head_end == 0) {
            head_end = header_block_end(buffer, searched, held);
            searched = held;
            if (head_end != 0)
                head_end += trailing_key_bytes(buffer, head_end);
        }
        if (head_end != 0 && head_end <= held) {
            length = head_end;
            return outcome::complete;
        }
        if (held >= capacity)
            return outcome::too_large;
        const steady_time now = steady_clock::now();
        if (now >= deadline)
            return outcome::too_slow;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        ws2::set_recv_timeout(so, static_cast<std::uint32_t>(left));
        const std::int64_t n = tls.recv(buffer + held, capacity - held);
        if (n > 0) {
            held += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && steady_clock::now() + DEADLINE_SLACK >= deadline)
            return outcome::too_slow;
        return outcome::closed;
    }
}

bool opening_request::header(const char* name, const char*& value, std::uint64_t& value_length) const
{
    const std::uint64_t n = std::strlen(name);
    const std::uint64_t end = length;
    // Header lines start after the request line.
    std::uint64_t line = 0;
    while (line < end && buffer[line] != '\n')
        ++line;
    for (++line; line < end; ++line) {
        std::uint64_t stop = line;
        while (stop < end && buffer[stop] != '\n')
            ++stop;
        if (stop == line || (stop == line + 1 && buffer[line] == '\r'))
            break;  // the empty line: what follows is not a header
        if (stop - line > n && same_text(buffer + line, name, n) && buffer[line + n] == ':') {
            std::uint64_t first = line + n + 1;
            std::uint64_t last = stop;
            if (last > first && buffer[last - 1] == '\r')
                --last;
            while (first < last && is_blank(buffer[first]))
                ++first;
            while (last > first && is_blank(buffer[last - 1]))
                --last;
            value = reinterpret_cast<const char*>(buffer + first);
            value_length = last - first;
            return true;
        }
        line = stop;
    }
    return false;
}
