#include "support/utf16.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct conversion_case {
    const char* name;
    std::u16string input;
    std::uint64_t result;
    // The bytes expected at the start of the output, terminator included.
    std::string prefix;
    // Where the terminator must be (for cut-short outputs whose content
    // carries no meaning).
    std::uint64_t terminator_at;
};

std::u16string ascii(std::size_t n) { return std::u16string(n, u'a'); }

std::string ascii_bytes(std::size_t n) { return std::string(n, 'a'); }

std::string with_nul(const std::string& s) { return s + std::string(1, '\0'); }

const std::vector<conversion_case>& cases()
{
    static const std::vector<conversion_case> table = {
        {"ascii", u"abc", 3, with_nul("abc"), 3},
        {"two_and_three_byte_forms", u"\u00E9\u20AC", 5, with_nul("\xC3\xA9\xE2\x82\xAC"), 5},
        {"surrogate_pair", u"\xD83D\xDE00", 4, with_nul("\xF0\x9F\x98\x80"), 4},
        {"lone_low_surrogate_is_skipped", u"\xDC00\x0041", 1, with_nul("A"), 1},
        {"high_surrogate_without_low_stands_alone", u"\xD800\x0041", 5, with_nul("\xF0\x90\x80\x80" "A"), 5},
        {"high_surrogate_at_the_end_is_dropped", u"\x0041\xD83D", 1, with_nul("A"), 1},
        {"empty", u"", 0, with_nul(""), 0},
        {"longest_ascii_fits", ascii(65535), 65535, with_nul(ascii_bytes(65535)), 65535},
        {"ascii_filling_the_terminator_slot", ascii(65536), 0, ascii_bytes(65535) + std::string(1, '\0'), 65535},
        {"three_bytes_ending_at_the_last_content_byte", ascii(65532) + u"\u20AC", 65535,
         with_nul(ascii_bytes(65532) + "\xE2\x82\xAC"), 65535},
        {"three_bytes_filling_the_terminator_slot", ascii(65533) + u"\u20AC", 0,
         ascii_bytes(65533) + "\xE2\x82" + std::string(1, '\0'), 65535},
        {"three_bytes_past_the_end", ascii(65534) + u"\u20AC", 0, with_nul(ascii_bytes(65534)), 65534},
        {"four_bytes_past_the_end", ascii(65533) + u"\xD83D\xDE00", 0, with_nul(ascii_bytes(65533)), 65533},
    };
    return table;
}

class Utf16ToUtf8 : public testing::TestWithParam<conversion_case> {};

TEST_P(Utf16ToUtf8, GivesTheBytesAndTheLength)
{
    const conversion_case& c = GetParam();
    // Filled with a marker, so a missing terminator or a stray write shows.
    std::vector<char> out(UTF8_OUT_SIZE, '\x7F');

    EXPECT_EQ(utf16_to_utf8(out.data(), c.input.c_str()), c.result);

    ASSERT_LE(c.prefix.size(), out.size());
    EXPECT_EQ(std::string(out.data(), c.prefix.size()), c.prefix);
    EXPECT_EQ(out[c.terminator_at], '\0');
    // Nothing is written past the terminator of a successful conversion.
    if (c.result != 0 && c.terminator_at + 1 < out.size()) {
        EXPECT_EQ(out[c.terminator_at + 1], '\x7F');
    }
}

INSTANTIATE_TEST_SUITE_P(EdgeCases, Utf16ToUtf8, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<conversion_case>& info) { return std::string(info.param.name); });

TEST(Utf16ToUtf8Null, WritesNothing)
{
    std::vector<char> out(UTF8_OUT_SIZE, '\x7F');
    EXPECT_EQ(utf16_to_utf8(out.data(), nullptr), 0u);
    EXPECT_EQ(out[0], '\x7F');
    EXPECT_EQ(utf16_to_utf8(nullptr, u"abc"), 0u);
}

} // namespace
