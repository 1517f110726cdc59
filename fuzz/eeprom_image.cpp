// A converter's EEPROM is whatever the chip holds: any raw image (128 or 256 bytes) must decode
// through the D2XX face without reading outside it or overrunning the caller's 64-byte string
// buffers, and what decodes must program back to the same values with a valid checksum.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sim/Converter.h"

using namespace d2xx;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    static const std::uint32_t kChips[3] = {FT_DEVICE_X_SERIES, FT_DEVICE_232R, FT_DEVICE_BM};
    sim::SimConfig config;
    config.chipType = kChips[data[0] % 3];
    const std::size_t words = config.chipType == FT_DEVICE_X_SERIES ? 128 : 64;
    config.eepromWords.assign(words, 0xFFFF);
    for (std::size_t i = 0; i < words && 1 + 2 * i + 1 < size; ++i)
        config.eepromWords[i] = static_cast<std::uint16_t>(data[1 + 2 * i] | data[2 + 2 * i] << 8);
    sim::Converter c(config);
    if (!c.Open(0))
        std::abort();

    FT_EEPROM_X_SERIES image{};
    image.common.deviceType = config.chipType;
    const std::uint32_t imageSize =
        config.chipType == FT_DEVICE_X_SERIES ? sizeof image
        : config.chipType == FT_DEVICE_BM     ? sizeof(FT_EEPROM_232B)
                                              : sizeof(FT_EEPROM_HEADER);
    // Heap buffers of exactly the published size, so that an overrun is seen.
    char* s[4];
    for (char*& p : s)
        p = static_cast<char*>(std::malloc(64));
    // An image whose checksum is wrong is no configuration: the chip says so and nothing decodes.
    const FT_STATUS read = c.ReadEeprom(&image, imageSize, s[0], s[1], s[2], s[3]);
    if (read != FT_OK && (read != FT_EEPROM_NOT_PROGRAMMED || c.Image().ChecksumValid()))
        std::abort();
    std::uint8_t ua[128];
    std::uint32_t got = 0;
    if (c.ReadUserArea(ua, sizeof ua, got) != FT_OK || got != c.UserAreaSize())
        std::abort();
    for (std::uint32_t w = 0; w < words; ++w) {
        std::uint16_t value;
        c.ReadWordWrapped(w, value);
    }

    if (read == FT_OK && c.ProgramEeprom(&image, imageSize, s[0], s[1], s[2], s[3]) == FT_OK) {
        if (!c.Image().ChecksumValid())
            std::abort();
        FT_EEPROM_X_SERIES again{};
        again.common.deviceType = config.chipType;
        char* t[4];
        for (char*& p : t)
            p = static_cast<char*>(std::malloc(64));
        if (c.ReadEeprom(&again, imageSize, t[0], t[1], t[2], t[3]) != FT_OK ||
            std::memcmp(&again, &image, imageSize) != 0)
            std::abort();
        for (int i = 0; i < 4; ++i) {
            if (std::strcmp(s[i], t[i]) != 0)
                std::abort();
            std::free(t[i]);
        }
    }
    for (char* p : s)
        std::free(p);
    return 0;
}
