#include "relay/q_access.h"

#include <chrono>
#include <cstring>

Q_ACCESS g_access;

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_blank(char c) { return c == ' ' || c == '\t'; }

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// A decimal number of 1 to 3 digits at most `limit`; `at` moves past it.
bool take_number(const char* text, std::size_t length, std::size_t& at, std::uint32_t limit, std::uint32_t& value)
{
    std::size_t digits = 0;
    value = 0;
    while (at < length && is_digit(text[at]) && digits < 3) {
        value = value * 10 + static_cast<std::uint32_t>(text[at] - '0');
        ++at;
        ++digits;
    }
    return digits > 0 && value <= limit && !(at < length && is_digit(text[at]));
}

// The next entry of a comma-separated list, blanks around it left out.
// False when the list is used up.
bool next_entry(const char* list, std::size_t& at, const char*& entry, std::size_t& length)
{
    if (list[at] == 0)
        return false;
    std::size_t end = at;
    while (list[end] != 0 && list[end] != ',')
        ++end;
    std::size_t first = at;
    std::size_t last = end;
    while (first < last && is_blank(list[first]))
        ++first;
    while (last > first && is_blank(list[last - 1]))
        --last;
    entry = list + first;
    length = last - first;
    at = list[end] == ',' ? end + 1 : end;
    return true;
}

bool is_origin_text(const char* entry, std::size_t length)
{
    if (length == 0)
        return false;
    for (std::size_t i = 0; i < length; ++i)
        if (entry[i] <= ' ' || entry[i] > '~' || entry[i] == ',')
            return false;
    return true;
}

bool equals_ignoring_case(const char* a, const char* b, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    return true;
}

} // namespace

bool parse_ipv4(const char* text, std::size_t length, std::uint32_t& address)
{
    std::size_t at = 0;
    std::uint32_t result = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= length || text[at] != '.')
                return false;
            ++at;
        }
        std::uint32_t value = 0;
        if (!take_number(text, length, at, 255, value))
            return false;
        result = (result << 8) | value;
    }
    if (at != length)
        return false;
    address = result;
    return true;
}

bool parse_ipv4_block(const char* text, std::size_t length, ipv4_block& block)
{
    std::size_t slash = 0;
    while (slash < length && text[slash] != '/')
        ++slash;
    std::uint32_t address = 0;
    if (!parse_ipv4(text, slash, address))
        return false;
    std::uint32_t prefix = 32;
    if (slash < length) {
        std::size_t at = slash + 1;
        if (!take_number(text, length, at, 32, prefix) || at != length)
            return false;
    }
    const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
    block = {address & mask, mask};
    return true;
}

int Q_ACCESS::set_allow(const char* list)
{
    if (!list || std::strlen(list) >= TEXT_SIZE)
        return -1;
    ipv4_block blocks[MAX_BLOCKS] = {};
    std::uint32_t count = 0;
    std::size_t at = 0;
    const char* entry = nullptr;
    std::size_t length = 0;
    while (next_entry(list, at, entry, length)) {
        if (count == MAX_BLOCKS || !parse_ipv4_block(entry, length, blocks[count]))
            return -1;
        ++count;
    }
    if (count == 0)
        return -1;
    std::memcpy(allow, blocks, sizeof(allow));
    allow_count = count;
    std::memset(allow_text, 0, sizeof(allow_text));
    std::memcpy(allow_text, list, std::strlen(list));
    return 0;
}

int Q_ACCESS::set_origins(const char* list)
{
    if (!list || std::strlen(list) >= TEXT_SIZE)
        return -1;
    char text[TEXT_SIZE] = {};
    std::size_t used = 0;
    std::uint32_t count = 0;
    std::size_t at = 0;
    const char* entry = nullptr;
    std::size_t length = 0;
    while (next_entry(list, at, entry, length)) {
        if (!is_origin_text(entry, length))
            return -1;
        if (count > 0)
            text[used++] = ',';
        std::memcpy(text + used, entry, length);
        used += length;
        ++count;
    }
    if (count == 0)
        return -1;
    std::memcpy(origins, text, sizeof(origins));
    origin_count = count;
    return 0;
}

bool Q_ACCESS::admits_address(std::uint32_t peer) const
{
    if (allow_count == 0)
        return true;
    for (std::uint32_t i = 0; i < allow_count && i < MAX_BLOCKS; ++i)
        if (allow[i].holds(peer))
            return true;
    return false;
}

bool Q_ACCESS::admits_origin(const char* value, std::size_t length) const
{
    if (origin_count == 0)
        return true;
    std::size_t at = 0;
    const char* entry = nullptr;
    std::size_t entry_length = 0;
    while (next_entry(origins, at, entry, entry_length))
        if (entry_length == length && equals_ignoring_case(entry, value, length))
            return true;
    return false;
}

std::int64_t steady_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::uint32_t idle_limit_ms()
{
    const std::uint64_t ms = std::uint64_t{g_access.idle_seconds} * 1000;
    return ms > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<std::uint32_t>(ms);
}
