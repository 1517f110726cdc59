#pragma once
// Reading numbers out of stored texts the way the C library's sscanf reads them, but with
// defined results for any input (no overflow, no reads past the text).
#include <cstdint>
#include <span>
#include <string_view>

namespace records {

// sscanf over a format of literal characters and the conversions %d and %x, each with an
// optional width ("0x%2x", "%4d.%4d.%3d"). Returns how many conversions matched before the
// first mismatch. %x values wrap to 32 bits as sscanf stores them; a number that does not fit
// in 32 bits counts as a mismatch.
int ScanFormat(std::string_view text, std::string_view format, std::span<std::int64_t> values);

} // namespace records
