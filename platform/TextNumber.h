#pragma once
// Numbers read out of stored texts the way the C library's atoi reads them.
#include <cstdint>
#include <string_view>

namespace platform {

// Leading blanks, an optional sign, the digits up to the first non-digit; 0 when there are
// none. Never reads past the view and saturates at the int32 limits instead of overflowing.
std::int32_t LeadingDecimal(std::string_view text);

} // namespace platform
