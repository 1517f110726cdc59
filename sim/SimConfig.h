#pragma once
// The simulator's configuration: an INI file named by $KESTRUNE_SIM (keys in sim/README.md).
// Missing keys and a missing file give the defaults below.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/D2xx.h"
#include "sim/BootLoader.h"
#include "sim/DisplayEmulator.h"

namespace sim {

// The converter's EEPROM configuration: the header fields serve every chip type, the rest of
// the X-series image only chip type 9.
struct EepromContents {
    d2xx::FT_EEPROM_X_SERIES image{};
    std::string manufacturer;
    std::string manufacturerId;
    std::string description;
    std::string serialNumber;
};

struct SimConfig {
    std::string file;        // the configuration file; empty when none was named
    std::string stateFolder; // where programmed state lives; empty: nothing is persisted
    std::string problem;     // why the file was refused (then no converter is present)
    int number = 1;          // 1 the file's first converter, N the one of [Converter.N]

    // [Converter]
    bool present = true;
    int count = 1;
    std::string serialNumber = "KS000001";
    std::uint32_t chipType = d2xx::FT_DEVICE_X_SERIES;
    std::optional<std::uint32_t> driverVersion = 0x00020830; // nullopt: the query fails
    std::uint32_t libraryVersion = 0x00010424;
    bool busy = false;         // another program holds the converter
    bool accessDenied = false; // the converter's device node is not ours to open

    // [Eeprom]
    EepromContents eeprom;
    std::vector<std::uint16_t> eepromWords; // [Eeprom] Image=: the raw image, as it stands
    bool eepromReadFails = false;
    bool eepromProgramFails = false;
    bool eepromProgramCorrupts = false; // programming reports success, stores another product ID
    // Word writes are counted from 1 in the order they reach the chip (0: never). Pulls count
    // the words outside the user area ([Eeprom]) or inside it ([UserArea]); the word struck is
    // not stored. WordWriteCorrupts counts every word write and stores that one with its lowest
    // bit flipped.
    std::uint32_t eepromPullAtWord = 0;
    std::uint32_t userAreaPullAtWord = 0;
    std::uint32_t wordWriteCorrupts = 0;
    int eepromWriteDelayMs = 0;         // a slow chip: each program call or word write takes this long

    // [UserArea]: the 25 stored bytes, or an erased area.
    std::array<std::uint8_t, 25> userArea{};
    bool userAreaErased = false;
    bool userAreaReadFails = false;
    bool userAreaWriteFails = false;
    bool userAreaWriteCorrupts = false; // a block write reports success, stores one byte changed

    // [Display]
    DisplayConfig display;

    // [Link]
    bool pace = false;
    int latencyTimerMs = 16;              // 0: bytes reach the host at once
    std::int64_t pullCableAfterBytes = -1; // -1: never
    std::int64_t pullCableAfterReadBytes = -1; // the host's side: -1 never

    // [BootLoader]
    BootLoaderConfig bootLoader;
};

// The file named by $KESTRUNE_SIM, or "" when it is not set.
std::string SimConfigFileFromEnvironment();

// Reads the file (an empty name or a missing file gives the defaults; a file that is no regular
// file or is too large gives no converter, and problem). The state folder is [State] Folder=,
// else the file's own folder.
SimConfig LoadSimConfig(const std::string& file);
// Every converter of the file: the first, then one for each [Converter.N] (N 2..16) in the
// order of N, with its own state folder (converter.N in the first's).
inline constexpr int kMaxConverters = 16;
std::vector<SimConfig> LoadSimConfigs(const std::string& file);

// The 25-byte record for the given fields, serial as 0012.3456.789 and dates as YYYY-MM-DD;
// false when a field cannot be read. The checksum is spoilt on request.
bool EncodeUserAreaFields(int deviceCode, const std::string& serial,
                          const std::string& manufacturing, const std::string& lastUpdate,
                          bool badChecksum, std::array<std::uint8_t, 25>& out);

// Number parsing shared with the state file: decimal, or hexadecimal after 0x.
std::optional<std::uint32_t> ParseNumber(const std::string& text);
std::string ToHex(const std::uint8_t* data, std::size_t size);
// A number in decimal. Not std::to_string: its out-of-line helper carries a unique symbol, and
// a library that binds one can never be unloaded, which the tests that reload us rely on.
std::string Decimal(long value);
// Hex digit pairs; blanks, commas, colons and dashes between bytes are skipped. nullopt on any
// other character or an odd digit count.
std::optional<std::vector<std::uint8_t>> FromHex(const std::string& text);

} // namespace sim
