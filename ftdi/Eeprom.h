#pragma once
// The converter's EEPROM as bytes: sizes, FTDI's checksum, the string descriptors, the user area,
// and the merge that keeps every byte a D2XX structure does not carry when libftdi1 has built a
// new image. Pure functions; the provider does the USB transfers.
#include <cstdint>
#include <string>
#include <vector>

#include "link/D2xx.h"

namespace ftdiprov {

// D2XX's chip number for a device descriptor's bcdDevice (FT_DEVICE_UNKNOWN, 3, when unknown).
d2xx::FT_DEVICE ChipFromBcdDevice(std::uint16_t bcdDevice, bool hasSerialString);

// Bytes of EEPROM the chip holds: 256 on the X series (its MTP area), 128 on the others.
std::size_t EepromSize(d2xx::FT_DEVICE chip);

// FTDI's checksum over the image (its last word excluded); the X series leaves out words 0x12
// to 0x3F, its user area.
std::uint16_t EepromChecksum(const std::vector<std::uint8_t>& image, d2xx::FT_DEVICE chip);
void StoreChecksum(std::vector<std::uint8_t>& image, d2xx::FT_DEVICE chip);
bool ChecksumValid(const std::vector<std::uint8_t>& image, d2xx::FT_DEVICE chip);

// String descriptor whose pointer and length bytes are at image[at], image[at + 1]: 0x0E
// manufacturer, 0x10 description, 0x12 serial number. "" when absent or out of the image.
// Units above U+00FF, and U+0000, read as '?'.
std::string DescriptorString(const std::vector<std::uint8_t>& image, std::size_t at);

// Whether a string given to a programming call can be written so that it reads back as given:
// at most `limit` characters (what D2XX's buffers hand back), printable ASCII only. The
// caller's bytes carry no encoding: a UTF-8 caller's "ö" would be stored as two Latin-1
// characters. A null pointer keeps the chip's string and passes.
bool WritableString(const char* text, std::size_t limit);

struct ByteRange {
    std::size_t start = 0;
    std::size_t size = 0;
};

// Where D2XX keeps the user area: bytes 0x24 to 0x7F on the X series; on the other chips from
// the end of the serial-number string up to the checksum word, so its place and size follow
// the string lengths. An image not of the chip's size gives an empty range.
ByteRange UserArea(const std::vector<std::uint8_t>& image, d2xx::FT_DEVICE chip);

// The image to write after a programming call: `built` is what libftdi1 laid out from the
// decoded fields and the new strings, `before` what the chip held. Taken from `built`: the
// fields the D2XX structures carry (IDs, power, attributes, pointers, the strings); the user
// area moves behind the new strings on chips where it follows them (cut to the room there);
// every other byte stays as it was. The checksum is rewritten.
std::vector<std::uint8_t> MergeProgrammedImage(const std::vector<std::uint8_t>& before,
                                               const std::vector<std::uint8_t>& built,
                                               d2xx::FT_DEVICE chip);

// D2XX's manufacturer ID is no EEPROM field: it is the serial number's letter prefix.
std::string ManufacturerIdFromSerial(const std::string& serial);

// A version as D2XX numbers it: each part as two decimal digits read as hexadecimal
// (1.5.0 is 0x00010500, 2.8.30 is 0x00020830).
d2xx::DWORD D2xxVersionNumber(int major, int minor, int micro);

} // namespace ftdiprov
