// The opening handshake in both dialects.
#include "tests/websocket/ws_test_util.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <string>

namespace {

const std::string RESPONSE_HEAD = "HTTP/1.1 101 Switching Protocols\r\n"
                                  "Upgrade: WebSocket\r\n"
                                  "Connection: Upgrade\r\n"
                                  "Sec-WebSocket-Accept: ";
// The accept value for the sample key of RFC 6455 section 1.3.
const std::string SAMPLE_KEY = "dGhlIHNhbXBsZSBub25jZQ==";
const std::string SAMPLE_ACCEPT = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
const std::string SAMPLE_RESPONSE = RESPONSE_HEAD + SAMPLE_ACCEPT + "\r\n\r\n";

std::string request_6455(const std::string& extra_headers, const std::string& key_header = "Sec-WebSocket-Key: ")
{
    return "GET /chat HTTP/1.1\r\nHost: server.example.com\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
           key_header + SAMPLE_KEY + "\r\n" + extra_headers + "Sec-WebSocket-Version: 13\r\n\r\n";
}

// The sample request of the hixie-76 draft, with its 8 key bytes.
const std::string SAMPLE_76 = "GET /demo HTTP/1.1\r\n"
                              "Host: example.com\r\n"
                              "Connection: Upgrade\r\n"
                              "Sec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\n"
                              "Sec-WebSocket-Protocol: sample\r\n"
                              "Upgrade: WebSocket\r\n"
                              "Sec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\n"
                              "Origin: http://example.com\r\n"
                              "\r\n"
                              "^n:ds[4U";

std::string response_76(const std::string& origin, const std::string& host)
{
    return "HTTP/1.1 101 WebSocket Protocol Handshake\r\n"
           "Upgrade: WebSocket\r\n"
           "Connection: Upgrade\r\n"
           "Sec-WebSocket-Origin: " + origin + "\r\n"
           "Sec-WebSocket-Location: ws://" + host + "/\r\n"
           "Sec-WebSocket-Protocol: dumb-increment-protocol\r\n\r\n";
}

std::string request_76(const std::string& key1, const std::string& key2, const std::string& origin,
                       const std::string& host, const std::string& tail = "12345678")
{
    return "GET / HTTP/1.1\r\nHost: " + host + "\r\nSec-WebSocket-Key1: " + key1 + "\r\nSec-WebSocket-Key2: " + key2 +
           "\r\nOrigin: " + origin + "\r\n\r\n" + tail;
}

// The request in an exact block with the caller's NUL behind it, the
// response in an exact 2048-byte block.
struct handshake_run {
    q_ws_t ws;
    wstest::exact_buffer response{q_ws_t::RESPONSE_SIZE};
    std::int64_t result = 0;

    explicit handshake_run(const std::string& request, bool nul_terminated = true)
    {
        wstest::exact_buffer data(wstest::of(request), nul_terminated ? 1 : 0);
        if (nul_terminated)
            data.data()[request.size()] = 0;
        result = ws.handshake(reinterpret_cast<char*>(data.data()), request.size(), text());
    }
    char* text() { return reinterpret_cast<char*>(response.data()); }
    std::string sent() { return result > 0 ? std::string(text(), static_cast<std::size_t>(result)) : ""; }
};

TEST(Handshake, SampleKeyGivesThePublishedAccept)
{
    handshake_run run(request_6455(""));
    EXPECT_EQ(run.result, 129);
    EXPECT_EQ(run.sent(), SAMPLE_RESPONSE);
    EXPECT_EQ(run.text()[129], '\0');
    EXPECT_EQ(run.ws.version.load(), 13);
    EXPECT_EQ(run.ws.crypt.initialized, 0) << "the hash service was left running";
}

TEST(Handshake, HeaderNamesIgnoreLetterCase)
{
    handshake_run lower(request_6455("sec-websocket-protocol: chat\r\n", "sec-websocket-key: "));
    EXPECT_EQ(lower.sent(), RESPONSE_HEAD + SAMPLE_ACCEPT + "\r\nSec-WebSocket-Protocol: chat\r\n\r\n");
    handshake_run upper(request_6455("", "SEC-WEBSOCKET-KEY:"));
    EXPECT_EQ(upper.sent(), SAMPLE_RESPONSE);
}

struct protocol_case {
    const char* name;
    std::string header;
    std::string echoed; // "" when the response carries no protocol header
};

TEST(Handshake, EchoesOnlyTheFirstOfferedProtocol)
{
    const protocol_case cases[] = {
        {"comma and space", "Sec-WebSocket-Protocol: chat, superchat\r\n", "chat"},
        {"space alone", "Sec-WebSocket-Protocol: chat superchat\r\n", "chat"},
        {"comma alone", "Sec-WebSocket-Protocol: chat,superchat\r\n", "chat"},
        {"one name", "Sec-WebSocket-Protocol:x\r\n", "x"},
        {"empty value takes the next line", "Sec-WebSocket-Protocol: \r\nX-Next: 1\r\n", "X-Next:"},
        {"value starting with a comma", "Sec-WebSocket-Protocol: ,chat\r\n", ""},
        {"no protocol header", "", ""},
    };
    for (const protocol_case& c : cases) {
        SCOPED_TRACE(c.name);
        handshake_run run(request_6455(c.header));
        const std::string expected = c.echoed.empty() ? SAMPLE_RESPONSE
                                                      : RESPONSE_HEAD + SAMPLE_ACCEPT + "\r\nSec-WebSocket-Protocol: " +
                                                            c.echoed + "\r\n\r\n";
        EXPECT_EQ(run.sent(), expected);
        EXPECT_EQ(run.text()[expected.size()], '\0');
    }
}

// The echo is added while the response with it, its NUL included, stays
// below 2048 bytes; one byte more and the response goes out without it.
TEST(Handshake, ProtocolThatWouldNotFitIsLeftOut)
{
    const std::uint64_t longest = q_ws_t::RESPONSE_SIZE - SAMPLE_RESPONSE.size() - 28;
    handshake_run fits(request_6455("Sec-WebSocket-Protocol: " + std::string(longest, 'p') + "\r\n"));
    EXPECT_EQ(fits.result, static_cast<std::int64_t>(q_ws_t::RESPONSE_SIZE - 2));
    EXPECT_EQ(fits.sent(), RESPONSE_HEAD + SAMPLE_ACCEPT + "\r\nSec-WebSocket-Protocol: " + std::string(longest, 'p') +
                               "\r\n\r\n");

    handshake_run too_long(request_6455("Sec-WebSocket-Protocol: " + std::string(longest + 1, 'p') + "\r\n"));
    EXPECT_EQ(too_long.sent(), SAMPLE_RESPONSE);
}

// Requests cut short anywhere, in blocks that end at the last byte with no
// NUL behind them: every scan stops at data + len.
TEST(Handshake, ScansStopAtTheEndOfTheData)
{
    const std::string requests[] = {request_6455("Sec-WebSocket-Protocol: chat\r\n"), SAMPLE_76};
    for (const std::string& request : requests) {
        for (std::size_t n = 0; n <= request.size(); ++n) {
            handshake_run run(request.substr(0, n), false);
            EXPECT_LT(run.result, static_cast<std::int64_t>(q_ws_t::RESPONSE_SIZE));
        }
    }
    handshake_run cut_in_key(request_6455("").substr(0, request_6455("").find("==")), false);
    EXPECT_EQ(cut_in_key.ws.version.load(), 13);
    EXPECT_EQ(cut_in_key.result, 129);
}

TEST(Handshake, KeyWithDigitSuffixIsNotTheRfc6455Key)
{
    handshake_run run(SAMPLE_76);
    EXPECT_EQ(run.ws.version.load(), 8);
}

TEST(Handshake76, SampleRequestGivesThePublishedAnswer)
{
    handshake_run run(SAMPLE_76);
    const std::string text = response_76("http://example.com", "example.com");
    EXPECT_EQ(run.result, static_cast<std::int64_t>(text.size() + 16));
    EXPECT_EQ(run.sent(), text + "8jKS'y:G*Co,Wxa-");
    EXPECT_EQ(run.text()[run.result], '\0');
    EXPECT_EQ(run.ws.version.load(), 8);
    EXPECT_EQ(run.ws.crypt.initialized, 0);
}

std::string hex(const std::uint8_t* p, std::size_t n)
{
    std::string text;
    char two[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof(two), "%02x", p[i]);
        text += two;
    }
    return text;
}

std::string md5_hex(const std::uint8_t* p, std::size_t n)
{
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(p, n, digest, &size, EVP_md5(), nullptr);
    return hex(digest, size);
}

// The key number is all its digits read as one number (saturating at the
// 32-bit maximum) divided by its count of spaces; the digest proves which
// numbers went into the challenge.
TEST(Handshake76, KeysAreDigitsDividedBySpaces)
{
    struct key_case {
        std::string key1, key2;
        std::uint32_t k1, k2;
    };
    const key_case cases[] = {
        {"1 2", "a8 b", 12, 8},
        {"99999999999 1", "4294967295  ", 4294967295u, 4294967295u / 2},
        {std::string(127, '7') + " ", "0 0", 0xFFFFFFFFu, 0},
    };
    for (const key_case& c : cases) {
        SCOPED_TRACE(c.key1);
        handshake_run run(request_76(c.key1, c.key2, "o", "h"));
        const std::string text = response_76("o", "h");
        ASSERT_EQ(run.result, static_cast<std::int64_t>(text.size() + 16));
        std::uint8_t challenge[16] = {
            static_cast<std::uint8_t>(c.k1 >> 24), static_cast<std::uint8_t>(c.k1 >> 16),
            static_cast<std::uint8_t>(c.k1 >> 8),  static_cast<std::uint8_t>(c.k1),
            static_cast<std::uint8_t>(c.k2 >> 24), static_cast<std::uint8_t>(c.k2 >> 16),
            static_cast<std::uint8_t>(c.k2 >> 8),  static_cast<std::uint8_t>(c.k2),
            '1', '2', '3', '4', '5', '6', '7', '8'};
        EXPECT_EQ(hex(reinterpret_cast<const std::uint8_t*>(run.text()) + text.size(), 16), md5_hex(challenge, 16));
    }
}

// Refused requests: a missing header, a key without spaces, and values that
// would not fit their 128-byte fields. Values of 127 bytes still fit.
TEST(Handshake76, RefusesMalformedAndOversizedRequests)
{
    const std::string ok1 = "1 2", ok2 = "3 4";
    struct refuse_case {
        const char* name;
        std::string request;
        bool accepted;
    };
    const refuse_case cases[] = {
        {"no Key1", "GET / HTTP/1.1\r\nHost: h\r\nSec-WebSocket-Key2: 1 2\r\nOrigin: o\r\n\r\n12345678", false},
        {"no Key2", "GET / HTTP/1.1\r\nHost: h\r\nSec-WebSocket-Key1: 1 2\r\nOrigin: o\r\n\r\n12345678", false},
        {"no Origin", "GET / HTTP/1.1\r\nHost: h\r\nSec-WebSocket-Key1: 1 2\r\nSec-WebSocket-Key2: 1 2\r\n\r\n12345678",
         false},
        {"no Host", "GET / HTTP/1.1\r\nSec-WebSocket-Key1: 1 2\r\nSec-WebSocket-Key2: 1 2\r\nOrigin: o\r\n\r\n12345678",
         false},
        {"plain HTTP request", "GET / HTTP/1.1\r\nHost: h\r\n\r\n", false},
        {"key without a space", request_76("12", ok2, "o", "h"), false},
        {"Origin of 127 bytes", request_76(ok1, ok2, std::string(127, 'o'), "h"), true},
        {"Origin of 128 bytes", request_76(ok1, ok2, std::string(128, 'o'), "h"), false},
        {"Origin of 4000 bytes", request_76(ok1, ok2, std::string(4000, 'o'), "h"), false},
        {"Host of 127 bytes", request_76(ok1, ok2, "o", std::string(127, 'h')), true},
        {"Host of 128 bytes", request_76(ok1, ok2, "o", std::string(128, 'h')), false},
        {"key of 127 digits", request_76(std::string(127, '1') + " ", ok2, "o", "h"), true},
        {"key of 128 digits", request_76(std::string(128, '1') + " ", ok2, "o", "h"), false},
        {"second key of 128 digits", request_76(ok1, std::string(128, '2') + " ", "o", "h"), false},
        {"lower-case names", "GET / HTTP/1.1\r\nhost: h\r\nsec-websocket-key1: 1 2\r\nsec-websocket-key2: 3 4\r\n"
                             "origin: o\r\n\r\n12345678",
         true},
    };
    for (const refuse_case& c : cases) {
        SCOPED_TRACE(c.name);
        handshake_run run(c.request);
        if (c.accepted) {
            EXPECT_GT(run.result, 0);
            EXPECT_EQ(run.ws.version.load(), 8);
        } else {
            EXPECT_EQ(run.result, 0);
            EXPECT_EQ(run.ws.version.load(), 0);
        }
    }
}

} // namespace
