#include <gtest/gtest.h>

#include <string>

#include "agent.h"
#include "sha256.h"

namespace {

std::wstring digest_of(const std::string& text) {
    hasher digest;
    digest.update(text.data(), static_cast<std::uint32_t>(text.size()));
    return to_hex(digest.finish());
}

TEST(sha256, fips_180_2_vectors) {
    EXPECT_EQ(digest_of("abc"), L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // No update at all is the empty message.
    hasher nothing;
    EXPECT_EQ(to_hex(nothing.finish()), L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(sha256, chunking_does_not_change_the_digest) {
    // One million 'a', fed in uneven chunks that straddle the 64-byte blocks, with empty updates.
    std::string chunk(4099, 'a');
    hasher digest;
    std::size_t remaining = 1000000;
    for (std::size_t size = 1; remaining > 0; size = size * 3 % 4099 + 1) {
        std::size_t now = std::min(size, remaining);
        digest.update(chunk.data(), static_cast<std::uint32_t>(now));
        digest.update(chunk.data(), 0);
        remaining -= now;
    }
    EXPECT_EQ(to_hex(digest.finish()), L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(sha256, hex_keeps_leading_zeros_in_byte_order) {
    sha256_digest digest{};
    digest[0] = 0x00;
    digest[1] = 0x0f;
    digest[2] = 0xa0;
    digest[31] = 0xff;
    std::wstring hex = to_hex(digest);
    ASSERT_EQ(hex.size(), 64u);
    EXPECT_EQ(hex.substr(0, 6), L"000fa0");
    EXPECT_EQ(hex.substr(62), L"ff");
}

}  // namespace
