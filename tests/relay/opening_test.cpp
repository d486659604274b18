// When an opening request is complete, and its header lines as the access
// checks read them.

#include "relay/opening.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

std::uint64_t length_of(const std::string& text)
{
    return complete_request_length(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

} // namespace

TEST(Opening, CompleteOnlyWithTheEmptyLineAndHixieKeyBytes)
{
    const std::string head = "GET / HTTP/1.1\r\nHost: h\r\nSec-WebSocket-Key: k\r\n\r\n";
    const std::string hixie = "GET / HTTP/1.1\r\nSec-WebSocket-Key1: 1 2\r\nSec-WebSocket-Key2: 3 4\r\n\r\n";
    struct {
        const char* name;
        std::string text;
        std::uint64_t length;
    } cases[] = {
        {"whole", head, head.size()},
        {"with data behind it", head + "frames", head.size()},
        {"without the empty line", head.substr(0, head.size() - 2), 0},
        {"cut inside the empty line", head.substr(0, head.size() - 1), 0},
        {"request line only", "GET / HTTP/1.1\r\n", 0},
        {"bare line feeds", "GET / HTTP/1.1\nHost: h\n\nrest", 24},
        {"hixie-76 waits for its key bytes", hixie + "1234567", 0},
        {"hixie-76 with its key bytes", hixie + "12345678" + "more", hixie.size() + 8},
        {"an RFC 6455 key wins over hixie-76 names", head.substr(0, head.size() - 2) + "Sec-WebSocket-Key1: 1\r\n\r\n",
         head.size() + 23},
        {"empty", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(length_of(c.text), c.length);
    }
}

TEST(Opening, HeaderValuesComeFromWholeHeaderLines)
{
    std::string text = "GET /Origin: x HTTP/1.1\r\nX-Origin: wrong\r\nHost: h\r\norigin:  https://a.example \r\n"
                       "Origin: https://second.example\r\n\r\nOrigin: after the request";
    opening_request request;
    request.buffer = reinterpret_cast<std::uint8_t*>(text.data());
    request.held = text.size();
    request.length = length_of(text);
    ASSERT_NE(request.length, 0u);
    const char* value = nullptr;
    std::uint64_t length = 0;
    ASSERT_TRUE(request.header("Origin", value, length));
    EXPECT_EQ(std::string(value, length), "https://a.example");
    ASSERT_TRUE(request.header("host", value, length));
    EXPECT_EQ(std::string(value, length), "h");
    EXPECT_FALSE(request.header("Cookie", value, length));
    EXPECT_FALSE(request.header("Orig", value, length));
}
