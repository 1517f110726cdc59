#pragma once
// The converter's EEPROM as the chip holds it: 16-bit words in FTDI's layout (header, string
// descriptors, checksum in the last word) for the FT-X series (D2XX chip type 9, 128 words
// with the factory words 0x40-0x4F), the FT232R (5) and the FT232BM (0, and any other type:
// 64 words). Decoding never trusts the image: pointers and lengths are checked against its
// size, so any bytes decode to something.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/D2xx.h"

namespace sim {

struct EepromStrings {
    std::string manufacturer;
    std::string description;
    std::string serialNumber;
};

class EepromImage {
public:
    // A factory-fresh image of the chip type: its default IDs, release number and factory
    // words, no strings, checksum valid.
    explicit EepromImage(std::uint32_t chipType);

    std::uint32_t ChipType() const { return chipType_; }
    bool IsXSeries() const { return chipType_ == d2xx::FT_DEVICE_X_SERIES; }
    std::size_t WordCount() const { return words_.size(); }
    std::size_t ByteCount() const { return words_.size() * 2; }
    std::uint16_t Word(std::size_t index) const { return words_[index]; }
    void SetWord(std::size_t index, std::uint16_t value) { words_[index] = value; }
    std::uint8_t Byte(std::size_t offset) const;
    void SetByte(std::size_t offset, std::uint8_t value);
    std::vector<std::uint8_t> Bytes() const;
    // Replaces the whole image; false (nothing changed) unless the size is the chip's.
    bool SetBytes(const std::vector<std::uint8_t>& bytes);

    // FTDI's checksum over the words it covers (FT-X: not words 0x12-0x3F).
    std::uint16_t ComputeChecksum() const;
    bool ChecksumValid() const { return ComputeChecksum() == words_.back(); }
    void UpdateChecksum() { words_.back() = ComputeChecksum(); }

    // The fields of D2XX's structure for this chip (the header for every chip, the rest for
    // the X series). deviceType is the chip type.
    d2xx::FT_EEPROM_X_SERIES DecodeFields() const;
    // Strings that the pointers name; a pointer or length outside the image gives "".
    EepromStrings DecodeStrings() const;
    // Lays out fields and strings, keeps every other byte, rewrites the checksum. False (and
    // nothing changed) when the strings do not fit the chip's string space.
    bool Encode(const d2xx::FT_EEPROM_X_SERIES& fields, const EepromStrings& strings);
    // Characters the three strings may have together on this chip.
    std::size_t StringBudget() const;

    // Where D2XX puts the user area, in bytes: FT-X 0x24 to 0x7F, outside the checksum; other
    // chips from the end of the serial-number string up to the checksum word, so it moves and
    // shrinks with the strings.
    std::size_t UserAreaStart() const;
    std::size_t UserAreaSize() const;
    bool UserAreaInChecksum() const { return !IsXSeries(); }

private:
    std::size_t StringStart() const;
    std::size_t StringSpaceEnd() const;

    std::uint32_t chipType_;
    std::vector<std::uint16_t> words_;
};

// FTDI's checksum over an image of whole words (little-endian bytes); the FT-X gap when asked.
std::uint16_t FtdiChecksum(const std::uint8_t* bytes, std::size_t size, bool xSeriesGap);

// Hexadecimal words as dumped from a chip ("4000 0403 6015 ..."; blanks, commas or line ends
// between them, 0x allowed); nullopt for anything else.
std::optional<std::vector<std::uint16_t>> ParseHexWords(const std::string& text);

} // namespace sim
