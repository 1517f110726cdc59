#include "link/UserArea.h"

std::uint16_t UserAreaChecksum(std::span<const std::uint8_t, 29> image)
{
    std::uint16_t sum = 0;
    // Bytes 0..22 as big-endian words; the odd last byte is paired with a zero.
    for (std::size_t i = 0; i < 23; i += 2) {
        const std::uint8_t low = i + 1 < 23 ? image[i + 1] : 0;
        sum ^= static_cast<std::uint16_t>(image[i] << 8 | low);
    }
    return sum;
}

bool UserAreaChecksumMatches(std::span<const std::uint8_t, 29> image)
{
    return UserAreaChecksum(image) == (image[23] << 8 | image[24]);
}
