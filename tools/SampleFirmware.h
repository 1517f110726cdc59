#pragma once
// Our own sample firmware for demonstrations and tests: deterministic data as an Intel HEX
// text, so no firmware from elsewhere is ever needed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tools {

// The data bytes: a short text header, then a fixed pseudo-random sequence.
std::vector<std::uint8_t> SampleFirmwareData(std::size_t size);

// The Intel HEX text of data at address 0: an extended linear address record, data records of
// recordBytes (1..255; other toolchains write 32) and the end-of-file record, lines ended by CR LF.
std::string IntelHexText(const std::vector<std::uint8_t>& data, std::size_t recordBytes = 16);

} // namespace tools
