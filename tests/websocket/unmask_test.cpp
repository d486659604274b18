// ws_unmask: the wide-block XOR equals the byte-wise definition.
#include "tests/websocket/ws_test_util.h"

#include <gtest/gtest.h>

namespace {

using wstest::bytes;

// Every length from 0 to 200 (all three loops and their hand-overs) at every
// start offset within 16 bytes, in a block that ends exactly at the last
// payload byte: a wide access past the end shows under the address
// sanitizer, and bytes in front of the payload must stay untouched.
TEST(WsUnmask, EqualsBytewiseXorForEveryLengthAndAlignment)
{
    const std::uint8_t keys[][4] = {{0x37, 0xFA, 0x21, 0x3D}, {0x00, 0x00, 0x00, 0x00}, {0xFF, 0x01, 0x80, 0x7F}};
    for (const auto& key : keys) {
        for (std::uint64_t offset = 0; offset < 16; ++offset) {
            for (std::uint64_t n = 0; n <= 200; ++n) {
                const bytes original = wstest::pattern(offset + n, static_cast<std::uint8_t>(n));
                bytes expected = original;
                for (std::uint64_t j = 0; j < n; ++j)
                    expected[offset + j] ^= key[j % 4];

                wstest::exact_buffer buffer(original, 0);
                ws_unmask(buffer.data() + offset, n, key);
                const bytes got(buffer.data(), buffer.data() + offset + n);
                ASSERT_EQ(got, expected) << "offset " << offset << " length " << n;
            }
        }
    }
}

} // namespace
