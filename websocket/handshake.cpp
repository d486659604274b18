// The opening handshake: RFC 6455 when the request has a key header,
// hixie-76 otherwise. Only the headers below are looked at; every scan stays
// inside data[0, len), whatever the request holds.
#include "websocket/q_ws.h"

#include "support/base64.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char KEY_HEADER[] = "Sec-WebSocket-Key:";
constexpr char PROTOCOL_HEADER[] = "Sec-WebSocket-Protocol:";
constexpr char KEY1_HEADER[] = "Sec-WebSocket-Key1:";
constexpr char KEY2_HEADER[] = "Sec-WebSocket-Key2:";
constexpr char ORIGIN_HEADER[] = "Origin:";
constexpr char HOST_HEADER[] = "Host:";
constexpr char KEY_SUFFIX[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

constexpr std::uint32_t ALG_MD5 = 2;
constexpr std::uint32_t ALG_SHA1 = 3;

constexpr char RESPONSE_6455[] = "HTTP/1.1 101 Switching Protocols\r\n"
                                 "Upgrade: WebSocket\r\n"
                                 "Connection: Upgrade\r\n"
                                 "Sec-WebSocket-Accept: %s\r\n\r\n";
constexpr char PROTOCOL_LINES[] = "Sec-WebSocket-Protocol: %.*s\r\n\r\n";
// Room the protocol header needs beyond its value: the header text, one
// space, CR LF and the final CR LF, over the 2 bytes of the CR LF it
// replaces, plus the NUL.
constexpr std::uint64_t PROTOCOL_OVERHEAD = 27;

constexpr char RESPONSE_76[] = "HTTP/1.1 101 WebSocket Protocol Handshake\r\n"
                               "Upgrade: WebSocket\r\n"
                               "Connection: Upgrade\r\n"
                               "Sec-WebSocket-Origin: %s\r\n"
                               "Sec-WebSocket-Location: ws://%s/\r\n"
                               "Sec-WebSocket-Protocol: dumb-increment-protocol\r\n\r\n";

// Origin, Host and key digits: at most 127 characters and a NUL.
constexpr std::uint64_t FIELD_SIZE = 128;
constexpr std::uint64_t DIGEST_76 = 16;
// Base64 of the largest digest area the hash service may report (256 bytes).
constexpr std::uint64_t ACCEPT_SIZE = 4 * ((256 + 2) / 3) + 1;

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Control characters, space and every byte from 0x80 up.
bool is_blank(char c)
{
    return static_cast<signed char>(c) <= 0x20;
}

bool same_name(const char* p, const char* name, std::uint64_t n)
{
    for (std::uint64_t i = 0; i < n; ++i)
        if (lower(p[i]) != lower(name[i]))
            return false;
    return true;
}

// Just past the first occurrence of `name` (colon included, letter case
// ignored) in [data, end), or null.
const char* find_header(const char* data, const char* end, const char* name)
{
    const std::uint64_t n = std::strlen(name);
    for (const char* p = data; static_cast<std::uint64_t>(end - p) >= n; ++p)
        if (same_name(p, name, n))
            return p + n;
    return nullptr;
}

// The value starts after the blanks behind the colon; the skip crosses line
// ends, so an empty value takes the start of the next line.
const char* value_start(const char* after_name, const char* end)
{
    const char* p = after_name;
    while (p < end && is_blank(*p))
        ++p;
    return p;
}

const char* find_value(const char* data, const char* end, const char* name)
{
    const char* after = find_header(data, end, name);
    return after ? value_start(after, end) : nullptr;
}

// Bytes from `p` up to a blank, a stop character (0 for none) or the end.
std::uint64_t token_length(const char* p, const char* end, char stop)
{
    const char* q = p;
    while (q < end && !is_blank(*q) && (stop == 0 || *q != stop))
        ++q;
    return static_cast<std::uint64_t>(q - p);
}

// Writes base64(SHA-1(key + suffix)) into `accept`; leaves it empty when the
// hash service failed (it has reported the failure).
void compute_accept(Q_CRYPT& crypt, const char* key, std::uint64_t key_length, char* accept)
{
    crypt.init(ALG_SHA1);
    if (!crypt.initialized || crypt.hash(0, key, key_length) != 0 ||
        crypt.hash(0, KEY_SUFFIX, sizeof(KEY_SUFFIX) - 1) != 0 || crypt.finish() != 0)
        return;
    base64_encode(crypt.txt_hashes[0], crypt.txt_length, accept);
    crypt.release();
}

// Echoes the first offered sub-protocol in front of the final empty line,
// when there is one and the response keeps its bound.
std::int64_t add_protocol(const char* data, const char* end, char* response, std::int64_t length)
{
    const char* offered = find_value(data, end, PROTOCOL_HEADER);
    if (!offered || length < 2)
        return length;
    const std::uint64_t n = token_length(offered, end, ',');
    if (n == 0 || static_cast<std::uint64_t>(length) + n + PROTOCOL_OVERHEAD >= q_ws_t::RESPONSE_SIZE)
        return length;
    const std::uint64_t at = static_cast<std::uint64_t>(length) - 2;
    const int written = std::snprintf(response + at, q_ws_t::RESPONSE_SIZE - at, PROTOCOL_LINES,
                                      static_cast<int>(n), offered);
    if (written < 0)
        return length;
    return static_cast<std::int64_t>(at) + written;
}

// Copies a hixie-76 header value up to its CR into a FIELD_SIZE buffer;
// false when it would not fit.
bool copy_line(const char* value, const char* end, char* out)
{
    std::uint64_t n = 0;
    for (const char* p = value; p < end && *p != '\r'; ++p) {
        if (n + 1 >= FIELD_SIZE)
            return false;
        out[n++] = *p;
    }
    out[n] = '\0';
    return true;
}

// A hixie-76 key: its digits read as one decimal number (saturating at the
// 32-bit maximum) divided by its count of spaces.
struct key_76 {
    bool valid = false;
    std::uint32_t value = 0;
};

key_76 read_key(const char* value, const char* end)
{
    key_76 key;
    std::uint64_t digits = 0;
    std::uint64_t spaces = 0;
    std::uint64_t number = 0;
    for (const char* p = value; p < end && *p != '\r'; ++p) {
        if (*p >= '0' && *p <= '9') {
            if (++digits >= FIELD_SIZE)
                return key;
            number = number * 10 + static_cast<std::uint64_t>(*p - '0');
            if (number > 0xFFFFFFFFull)
                number = 0xFFFFFFFFull;
        } else if (*p == ' ') {
            ++spaces;
        }
    }
    if (spaces == 0)
        return key;
    key.value = static_cast<std::uint32_t>(number / spaces);
    key.valid = true;
    return key;
}

void put_big_endian(std::uint8_t* out, std::uint32_t v)
{
    out[0] = static_cast<std::uint8_t>(v >> 24);
    out[1] = static_cast<std::uint8_t>(v >> 16);
    out[2] = static_cast<std::uint8_t>(v >> 8);
    out[3] = static_cast<std::uint8_t>(v);
}

// MD5 over the challenge into `digest` (16 bytes, zero when the hash service
// failed; it has reported the failure).
void compute_digest_76(Q_CRYPT& crypt, const std::uint8_t* challenge, std::uint8_t* digest)
{
    crypt.init(ALG_MD5);
    if (!crypt.initialized || crypt.hash(0, challenge, 16) != 0 || crypt.finish() != 0)
        return;
    const std::uint64_t n = crypt.txt_length < DIGEST_76 ? crypt.txt_length : DIGEST_76;
    std::memcpy(digest, crypt.txt_hashes[0], n);
    crypt.release();
}

} // namespace

std::int64_t q_ws_t::handshake(char* data, std::uint64_t len, char* c_header_server)
{
    if (!data || !c_header_server)
        return 0;
    const char* end = data + len;
    const char* key = find_value(data, end, KEY_HEADER);
    if (!key)
        return handshake_76(data, len, c_header_server);
    version.store(13, std::memory_order_relaxed);

    char accept[ACCEPT_SIZE] = {};
    compute_accept(crypt, key, token_length(key, end, 0), accept);

    const int written = std::snprintf(c_header_server, RESPONSE_SIZE, RESPONSE_6455, accept);
    if (written < 0 || static_cast<std::uint64_t>(written) >= RESPONSE_SIZE)
        return -1;
    return add_protocol(data, end, c_header_server, written);
}

std::int64_t q_ws_t::handshake_76(char* data, std::uint64_t len, char* c_header_server)
{
    if (!data || !c_header_server)
        return 0;
    const char* end = data + len;
    const char* key1_value = find_value(data, end, KEY1_HEADER);
    const char* key2_value = find_value(data, end, KEY2_HEADER);
    const char* origin_value = find_value(data, end, ORIGIN_HEADER);
    const char* host_value = find_value(data, end, HOST_HEADER);
    if (!key1_value || !key2_value || !origin_value || !host_value)
        return 0;

    char origin[FIELD_SIZE] = {};
    char host[FIELD_SIZE] = {};
    if (!copy_line(origin_value, end, origin) || !copy_line(host_value, end, host))
        return 0;
    const key_76 k1 = read_key(key1_value, end);
    const key_76 k2 = read_key(key2_value, end);
    if (!k1.valid || !k2.valid || len < 8)
        return 0;

    // The challenge: both keys, most significant byte first, then the
    // request's last 8 bytes.
    std::uint8_t challenge[16];
    put_big_endian(challenge, k1.value);
    put_big_endian(challenge + 4, k2.value);
    std::memcpy(challenge + 8, data + len - 8, 8);
    std::uint8_t digest[DIGEST_76] = {};
    compute_digest_76(crypt, challenge, digest);
    version.store(8, std::memory_order_relaxed);

    const int written = std::snprintf(c_header_server, RESPONSE_SIZE, RESPONSE_76, origin, host);
    if (written < 0 || static_cast<std::uint64_t>(written) + DIGEST_76 + 1 > RESPONSE_SIZE)
        return 0;
    std::memcpy(c_header_server + written, digest, DIGEST_76);
    c_header_server[written + DIGEST_76] = '\0';
    return written + static_cast<std::int64_t>(DIGEST_76);
}
