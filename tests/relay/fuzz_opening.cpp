// Fuzz target: what the accept path reads from an opening request and from
// the access options, on hostile bytes.
//
// The input is an opening request as it arrived: complete_request_length
// must name a length within it (a complete request ends with its empty line
// or hixie-76's key bytes), and every header value found lies inside the
// request. The same bytes as text go to the address and Origin list parsers,
// which either take a list that then answers questions, or leave the
// record as it was.
#include "relay/opening.h"
#include "relay/q_access.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void fuzz_request(const std::uint8_t* data, std::size_t size)
{
    const std::uint64_t length = complete_request_length(data, size);
    check(length <= size);
    if (length == 0)
        return;
    check(length >= 2);
    // The request is read in place, as the accept path does.
    std::string copy(reinterpret_cast<const char*>(data), size);
    opening_request request;
    request.buffer = reinterpret_cast<std::uint8_t*>(copy.data());
    request.held = size;
    request.length = length;
    for (const char* name : {"Origin", "Host", "Sec-WebSocket-Key", "X"}) {
        const char* value = nullptr;
        std::uint64_t n = 0;
        if (!request.header(name, value, n))
            continue;
        const auto* v = reinterpret_cast<const std::uint8_t*>(value);
        check(v >= request.buffer && v + n <= request.buffer + length);
    }
}

void fuzz_lists(const std::uint8_t* data, std::size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, std::strlen(text.c_str()));
    Q_ACCESS access;
    if (access.set_allow(text.c_str()) == 0) {
        check(access.allow_count > 0 && access.allow_count <= Q_ACCESS::MAX_BLOCKS);
        for (std::uint32_t i = 0; i < access.allow_count; ++i)
            check(access.admits_address(access.allow[i].network));
    } else {
        check(access.allow_count == 0);
    }
    if (access.set_origins(text.c_str()) == 0) {
        check(access.origin_count > 0);
        check(std::strlen(access.origins) < Q_ACCESS::TEXT_SIZE);
        // The first Origin of the list is admitted, in any letter case.
        const char* comma = std::strchr(access.origins, ',');
        const std::size_t first = comma ? static_cast<std::size_t>(comma - access.origins) : std::strlen(access.origins);
        check(access.admits_origin(access.origins, first));
    } else {
        check(access.origin_count == 0);
    }
    std::uint32_t address = 0;
    ipv4_block block{};
    if (parse_ipv4(text.data(), text.size(), address)) {
        check(parse_ipv4_block(text.data(), text.size(), block));
        check(block.network == address && block.mask == ~std::uint32_t{0});
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_request(data, size);
    fuzz_lists(data, size);
    return 0;
}
