// Fuzz target: q_ws_t::handshake on hostile requests.
//
// The first byte picks the shape: the input as it is, or the input's fields
// (separated by 0x01) placed into an RFC 6455 or hixie-76 request with
// header names in varying letter case, so that random bytes reach the key,
// protocol, Origin, Host and challenge handling.
#include "tests/websocket/fuzz_support.h"
#include "tests/websocket/ws_test_util.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> fields(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> out(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0x01)
            out.emplace_back();
        else
            out.back() += static_cast<char>(data[i]);
    }
    out.resize(std::max<std::size_t>(out.size(), 6));
    return out;
}

std::string cased(std::string name, std::uint8_t bits)
{
    for (std::size_t i = 0; i < name.size(); ++i)
        if (bits & (1u << (i % 8)))
            name[i] = static_cast<char>((name[i] >= 'a' && name[i] <= 'z') ? name[i] - 32
                                        : (name[i] >= 'A' && name[i] <= 'Z') ? name[i] + 32
                                                                             : name[i]);
    return name;
}

std::string build_request(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return "";
    const std::uint8_t shape = data[0] % 3;
    const std::uint8_t bits = data[0];
    const std::vector<std::string> f = fields(data + 1, size - 1);
    if (shape == 0)
        return std::string(reinterpret_cast<const char*>(data + 1), size - 1);
    if (shape == 1)
        return "GET / HTTP/1.1\r\n" + cased("Sec-WebSocket-Key:", bits) + f[0] + "\r\n" +
               cased("Sec-WebSocket-Protocol:", bits) + f[1] + "\r\n" + f[2] + "\r\n\r\n";
    return "GET / HTTP/1.1\r\n" + cased("Host:", bits) + f[0] + "\r\n" + cased("Sec-WebSocket-Key1:", bits) + f[1] +
           "\r\n" + cased("Sec-WebSocket-Key2:", bits) + f[2] + "\r\n" + cased("Origin:", bits) + f[3] + "\r\n\r\n" +
           f[4];
}

bool starts_with(const char* text, const char* prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string request = build_request(data, size);
    // The request NUL-terminated at data[len] as the accept loop hands it
    // over, in an exact block; the response in an exact 2048-byte block.
    wstest::exact_buffer in(wstest::of(request), 1);
    in.data()[request.size()] = 0;
    wstest::exact_buffer out(q_ws_t::RESPONSE_SIZE);
    char* response = reinterpret_cast<char*>(out.data());

    q_ws_t ws;
    const std::int64_t result = ws.handshake(reinterpret_cast<char*>(in.data()), request.size(), response);

    FUZZ_CHECK(result < static_cast<std::int64_t>(q_ws_t::RESPONSE_SIZE));
    FUZZ_CHECK(std::memcmp(in.data(), request.data(), request.size()) == 0);
    FUZZ_CHECK(ws.crypt.initialized == 0);
    const std::int32_t version = ws.version.load();
    FUZZ_CHECK(version == 0 || version == 8 || version == 13);
    if (result <= 0)
        return 0;
    FUZZ_CHECK(response[result] == '\0');
    if (version == 13) {
        FUZZ_CHECK(starts_with(response, "HTTP/1.1 101 Switching Protocols\r\n"));
        FUZZ_CHECK(std::strstr(response, "Sec-WebSocket-Accept: ") != nullptr);
        FUZZ_CHECK(std::strlen(std::strstr(response, "Sec-WebSocket-Accept: ") + 22) >= 28 + 4);
        FUZZ_CHECK(std::memcmp(response + result - 4, "\r\n\r\n", 4) == 0);
        FUZZ_CHECK(std::strlen(response) == static_cast<std::size_t>(result));
    } else {
        FUZZ_CHECK(version == 8);
        FUZZ_CHECK(starts_with(response, "HTTP/1.1 101 WebSocket Protocol Handshake\r\n"));
        FUZZ_CHECK(result > 16);
        FUZZ_CHECK(std::memcmp(response + result - 20, "\r\n\r\n", 4) == 0);
    }
    return 0;
}
