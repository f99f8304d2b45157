// SHA-256 (FIPS 180-4): the digest that a checkpoint keeps of the deck and of
// every input file, and the checksum over the checkpoint's own bytes. A small
// streaming implementation; the known answers of FIPS 180-4's examples pin it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillet {

using sha256_digest = std::array<std::uint8_t, 32>;

class sha256 {
public:
    sha256();
    void update(const void* data, std::size_t n);
    void update(std::string_view s) { update(s.data(), s.size()); }
    // The digest of everything given so far; the object is spent afterwards.
    sha256_digest finish();

private:
    void block(const std::uint8_t* p);
    std::uint32_t h_[8];
    std::uint8_t buf_[64];
    std::size_t used_ = 0;
    std::uint64_t length_ = 0;  // bytes
};

sha256_digest sha256_of(std::string_view s);

// Digest of a whole file; throws input_error naming the file when it cannot
// be read.
sha256_digest sha256_of_file(const std::string& name);

// 64 lower-case hexadecimal digits.
std::string hex_text(const sha256_digest& d);

}  // namespace quillet
