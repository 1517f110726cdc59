#pragma once
// SHA-256 (FIPS 180-4), for naming a firmware file in the production log by its content.
#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace platform {

class Sha256 {
public:
    Sha256();
    void Update(std::span<const std::uint8_t> data);
    // The digest; the object is spent afterwards.
    std::array<std::uint8_t, 32> Final();

private:
    void Block(const std::uint8_t* p);

    std::array<std::uint32_t, 8> h_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t used_ = 0;
    std::uint64_t length_ = 0; // bytes
};

// Lower-case hexadecimal digest of the bytes.
std::string Sha256Hex(std::span<const std::uint8_t> data);
// Of a file's content; empty when it cannot be read.
std::string Sha256HexOfFile(const std::string& path);

} // namespace platform
