// Peer addresses, address blocks and Origins as the access options take
// them, and what they admit.

#include "relay/q_access.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

std::uint32_t ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    return (std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d;
}

} // namespace

TEST(Access, DottedAddresses)
{
    struct {
        const char* text;
        bool ok;
        std::uint32_t address;
    } cases[] = {
        {"127.0.0.1", true, ip(127, 0, 0, 1)},
        {"0.0.0.0", true, 0},
        {"255.255.255.255", true, 0xFFFFFFFFu},
        {"10.020.3.4", true, ip(10, 20, 3, 4)},
        {"256.0.0.1", false, 0},
        {"1.2.3", false, 0},
        {"1.2.3.4.5", false, 0},
        {"1.2.3.", false, 0},
        {".1.2.3", false, 0},
        {"1..2.3", false, 0},
        {"1.2.3.0004", false, 0},
        {"1.2.3.4 ", false, 0},
        {"-1.2.3.4", false, 0},
        {"0x7f.0.0.1", false, 0},
        {"", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::uint32_t address = 12345;
        EXPECT_EQ(parse_ipv4(c.text, std::strlen(c.text), address), c.ok);
        if (c.ok) {
            EXPECT_EQ(address, c.address);
        }
    }
}

TEST(Access, BlocksHoldTheirAddressesOnly)
{
    struct {
        const char* text;
        bool ok;
        std::uint32_t inside;
        std::uint32_t outside;
    } cases[] = {
        {"127.0.0.2/32", true, ip(127, 0, 0, 2), ip(127, 0, 0, 1)},
        {"127.0.0.2", true, ip(127, 0, 0, 2), ip(127, 0, 0, 3)},
        {"10.1.2.3/8", true, ip(10, 200, 0, 1), ip(11, 0, 0, 0)},
        {"192.168.4.0/22", true, ip(192, 168, 7, 255), ip(192, 168, 8, 0)},
        {"0.0.0.0/0", true, ip(203, 0, 113, 9), 0},  // 0 is inside too: no outside
        {"1.2.3.4/33", false, 0, 0},
        {"1.2.3.4/", false, 0, 0},
        {"1.2.3.4/8/8", false, 0, 0},
        {"1.2.3.4/-1", false, 0, 0},
        {"/8", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ipv4_block block{};
        ASSERT_EQ(parse_ipv4_block(c.text, std::strlen(c.text), block), c.ok);
        if (!c.ok)
            continue;
        EXPECT_TRUE(block.holds(c.inside));
        if (block.mask != 0) {
            EXPECT_FALSE(block.holds(c.outside));
        }
    }
}

TEST(Access, AllowListAdmitsAnyOfItsBlocksAndIsUnchangedWhenRefused)
{
    Q_ACCESS access;
    EXPECT_TRUE(access.admits_address(ip(8, 8, 8, 8)));  // no list: everyone
    ASSERT_EQ(access.set_allow(" 127.0.0.2/32 ,10.0.0.0/8"), 0);
    EXPECT_EQ(access.allow_count, 2u);
    EXPECT_TRUE(access.admits_address(ip(127, 0, 0, 2)));
    EXPECT_TRUE(access.admits_address(ip(10, 9, 8, 7)));
    EXPECT_FALSE(access.admits_address(ip(127, 0, 0, 1)));

    for (const char* bad : {"", ",", "127.0.0.1,,10.0.0.1", "127.0.0.1;10.0.0.1", "localhost"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(access.set_allow(bad), -1);
        EXPECT_EQ(access.allow_count, 2u);
        EXPECT_TRUE(access.admits_address(ip(10, 9, 8, 7)));
    }

    std::string many;
    for (int i = 0; i <= static_cast<int>(Q_ACCESS::MAX_BLOCKS); ++i)
        many += (i ? "," : "") + std::string("10.0.0.") + std::to_string(i);
    EXPECT_EQ(access.set_allow(many.c_str()), -1);
    std::string too_long(Q_ACCESS::TEXT_SIZE, '1');
    EXPECT_EQ(access.set_allow(too_long.c_str()), -1);
}

TEST(Access, OriginsMatchWholeValuesWithoutRegardToCase)
{
    Q_ACCESS access;
    EXPECT_TRUE(access.admits_origin("https://evil.example", 20));  // no list: any
    ASSERT_EQ(access.set_origins("https://good.example, http://127.0.0.1:8080"), 0);
    EXPECT_STREQ(access.origins, "https://good.example,http://127.0.0.1:8080");
    struct {
        const char* value;
        bool admitted;
    } cases[] = {
        {"https://good.example", true},
        {"HTTPS://Good.Example", true},
        {"http://127.0.0.1:8080", true},
        {"https://evil.example", false},
        {"https://good.example.evil.example", false},
        {"https://good.exampl", false},
        {"http://127.0.0.1", false},
        {"null", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(access.admits_origin(c.value, std::strlen(c.value)), c.admitted);
    }
    EXPECT_EQ(access.set_origins("https://a\tb"), -1);
    EXPECT_EQ(access.origin_count, 2u);
}
