#include "ftdi/Eeprom.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace ftdiprov {

namespace {

constexpr std::size_t kSerialPointer = 0x12;

bool OutsideXChecksum(std::size_t word) { return word >= 0x12 && word < 0x40; }

// Where libftdi1 and FTDI's tools put the first string: 0xA0 on the X series, 0x18 on the
// FT232R, 0x14 on the others.
std::size_t StringStart(d2xx::FT_DEVICE chip)
{
    return chip == d2xx::FT_DEVICE_X_SERIES ? 0xA0 : chip == d2xx::FT_DEVICE_232R ? 0x18 : 0x14;
}

// End of the serial-number descriptor, kept inside the string space whatever the image says.
std::size_t SerialEnd(const std::vector<std::uint8_t>& image, d2xx::FT_DEVICE chip)
{
    const std::size_t size = image.size();
    const std::size_t end = (image[kSerialPointer] & (size - 1)) + image[kSerialPointer + 1];
    return std::clamp(end, StringStart(chip), size - 2);
}

} // namespace

d2xx::FT_DEVICE ChipFromBcdDevice(std::uint16_t bcdDevice, bool hasSerialString)
{
    switch (bcdDevice) {
    case 0x0200: return hasSerialString ? d2xx::FT_DEVICE_AM : d2xx::FT_DEVICE_BM;
    case 0x0400: return d2xx::FT_DEVICE_BM;
    case 0x0500: return 4; // FT2232C
    case 0x0600: return d2xx::FT_DEVICE_232R;
    case 0x0700: return 6; // FT2232H
    case 0x0800: return 7; // FT4232H
    case 0x0900: return 8; // FT232H
    case 0x1000: return d2xx::FT_DEVICE_X_SERIES;
    default: return 3; // FT_DEVICE_UNKNOWN
    }
}

std::size_t EepromSize(d2xx::FT_DEVICE chip)
{
    return chip == d2xx::FT_DEVICE_X_SERIES ? 256 : 128;
}

std::uint16_t EepromChecksum(const std::vector<std::uint8_t>& image, d2xx::FT_DEVICE chip)
{
    std::uint16_t sum = 0xAAAA;
    const std::size_t words = image.size() / 2;
    for (std::size_t w = 0; w + 1 < words; ++w) {
        if (chip == d2xx::FT_DEVICE_X_SERIES && OutsideXChecksum(w))
            continue;
        sum ^= static_cast<std::uint16_t>(image[2 * w] | image[2 * w + 1] << 8);
        sum = static_cast<std::uint16_t>(sum << 1 | sum >> 15);
    }
    return sum;
}

void StoreChecksum(std::vector<std::uint8_t>& image, d2xx::FT_DEVICE chip)
{
    if (image.size() < 4)
        return;
    const std::uint16_t sum = EepromChecksum(image, chip);
    image[image.size() - 2] = static_cast<std::uint8_t>(sum & 0xFF);
    image[image.size() - 1] = static_cast<std::uint8_t>(sum >> 8);
}

bool ChecksumValid(const std::vector<std::uint8_t>& image, d2xx::FT_DEVICE chip)
{
    if (image.size() < 4)
        return false;
    const std::uint16_t stored =
        static_cast<std::uint16_t>(image[image.size() - 2] | image[image.size() - 1] << 8);
    return EepromChecksum(image, chip) == stored;
}

std::string DescriptorString(const std::vector<std::uint8_t>& image, std::size_t at)
{
    const std::size_t size = image.size();
    if (size < 4 || (size & (size - 1)) != 0 || at + 1 >= size)
        return {};
    const std::size_t start = image[at] & (size - 1);
    const std::size_t length = image[at + 1];
    if (length < 2 || start + length > size || image[start + 1] != 0x03)
        return {};
    // The descriptor's own length byte wins when it is the shorter.
    const std::size_t used = std::min<std::size_t>(length, image[start]);
    std::string text;
    for (std::size_t i = start + 2; i + 1 < start + used; i += 2) {
        // D2XX hands a unit up to U+00FF over as its byte; a NUL would cut the string short.
        const unsigned c = image[i] | image[i + 1] << 8;
        text += c != 0 && c <= 0xFF ? static_cast<char>(c) : '?';
    }
    return text;
}

bool WritableString(const char* text, std::size_t limit)
{
    if (text == nullptr)
        return true;
    const std::size_t length = strnlen(text, limit + 1);
    return length <= limit && std::all_of(text, text + length, [](char c) { return c >= 0x20 && c < 0x7F; });
}

ByteRange UserArea(const std::vector<std::uint8_t>& image, d2xx::FT_DEVICE chip)
{
    if (image.size() != EepromSize(chip))
        return {};
    if (chip == d2xx::FT_DEVICE_X_SERIES)
        return {0x24, 0x80 - 0x24};
    const std::size_t start = SerialEnd(image, chip);
    return {start, image.size() - 2 - start};
}

std::vector<std::uint8_t> MergeProgrammedImage(const std::vector<std::uint8_t>& before,
                                               const std::vector<std::uint8_t>& built,
                                               d2xx::FT_DEVICE chip)
{
    std::vector<std::uint8_t> out = before;
    if (built.size() != before.size() || before.size() != EepromSize(chip))
        return out;
    auto take = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to && i < out.size(); ++i)
            out[i] = built[i];
    };
    take(0x02, 0x06); // vendor and product ID
    take(0x08, 0x0B); // attributes, max power, serial-number and pull-down bits
    if (chip == d2xx::FT_DEVICE_X_SERIES || chip == d2xx::FT_DEVICE_232R)
        take(0x0B, 0x0C); // signal inversions
    if (chip == d2xx::FT_DEVICE_X_SERIES)
        take(0x1A, 0x21); // CBUS0..CBUS6
    take(0x0E, 0x14);     // string pointers and lengths

    const ByteRange oldArea = UserArea(before, chip);
    std::vector<std::uint8_t> area(before.begin() + static_cast<std::ptrdiff_t>(oldArea.start),
                                   before.begin() + static_cast<std::ptrdiff_t>(oldArea.start + oldArea.size));
    // The strings; behind the serial number libftdi1 adds a three-byte tail on chips newer than
    // the BM, which on the others is where the user area begins.
    const std::size_t stringsEnd = SerialEnd(built, chip) + (chip == d2xx::FT_DEVICE_X_SERIES ? 3 : 0);
    take(StringStart(chip), stringsEnd);
    if (chip != d2xx::FT_DEVICE_X_SERIES) {
        const ByteRange newArea = UserArea(out, chip);
        std::copy_n(area.begin(), std::min(area.size(), newArea.size),
                    out.begin() + static_cast<std::ptrdiff_t>(newArea.start));
    }
    StoreChecksum(out, chip);
    return out;
}

std::string ManufacturerIdFromSerial(const std::string& serial)
{
    std::string id;
    for (char c : serial) {
        if (!std::isalpha(static_cast<unsigned char>(c)))
            break;
        id += c;
    }
    return id;
}

d2xx::DWORD D2xxVersionNumber(int major, int minor, int micro)
{
    auto part = [](int v) -> d2xx::DWORD {
        v = std::clamp(v, 0, 99);
        return static_cast<d2xx::DWORD>((v / 10) << 4 | v % 10);
    };
    return part(major) << 16 | part(minor) << 8 | part(micro);
}

} // namespace ftdiprov
