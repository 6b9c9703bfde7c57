#pragma once
// SHA-256 digests through the platform's cryptography interface (CNG).

#include <array>
#include <cstdint>
#include <memory>
#include <string>

using sha256_digest = std::array<std::uint8_t, 32>;

// One hasher computes one digest: any number of updates, then finish once.
class hasher {
public:
    hasher();
    hasher(const hasher&) = delete;
    hasher& operator=(const hasher&) = delete;
    ~hasher();

    void update(const void* data, std::uint32_t length);
    sha256_digest finish();

    class impl;

private:
    std::unique_ptr<impl> impl_;
};

// 64 lower-case hexadecimal digits, high nibble first, bytes in digest order.
std::wstring to_hex(const sha256_digest& digest);
