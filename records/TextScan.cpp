#include "records/TextScan.h"

#include <limits>

namespace records {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int DigitValue(char c, int base)
{
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v < base ? v : -1;
}

constexpr std::int64_t kLimit = std::int64_t{1} << 32;

// One %d or %x conversion at pos; width 0 means unlimited. False on no digits or overflow.
bool ScanNumber(std::string_view text, std::size_t& pos, int base, std::size_t width,
                std::int64_t& value)
{
    while (pos < text.size() && IsBlank(text[pos]))
        ++pos;
    std::size_t end = width == 0 ? text.size() : std::min(text.size(), pos + width);
    bool negative = false;
    if (pos < end && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    if (base == 16 && pos + 1 < end && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X') &&
        pos + 2 < end && DigitValue(text[pos + 2], 16) >= 0)
        pos += 2;
    std::int64_t magnitude = 0;
    std::size_t digits = 0;
    while (pos < end) {
        int d = DigitValue(text[pos], base);
        if (d < 0)
            break;
        magnitude = magnitude * base + d;
        if (magnitude >= kLimit)
            return false;
        ++pos;
        ++digits;
    }
    if (digits == 0)
        return false;
    if (base == 16) {
        std::uint32_t bits = static_cast<std::uint32_t>(magnitude);
        value = negative ? static_cast<std::uint32_t>(0u - bits) : bits;
        return true;
    }
    value = negative ? -magnitude : magnitude;
    return value >= std::numeric_limits<std::int32_t>::min() &&
           value <= std::numeric_limits<std::int32_t>::max();
}

} // namespace

int ScanFormat(std::string_view text, std::string_view format, std::span<std::int64_t> values)
{
    std::size_t pos = 0;
    int matched = 0;
    for (std::size_t f = 0; f < format.size(); ++f) {
        char c = format[f];
        if (c != '%') {
            if (IsBlank(c)) {
                while (pos < text.size() && IsBlank(text[pos]))
                    ++pos;
            } else if (pos < text.size() && text[pos] == c) {
                ++pos;
            } else {
                return matched;
            }
            continue;
        }
        std::size_t width = 0;
        while (++f < format.size() && format[f] >= '0' && format[f] <= '9')
            width = width * 10 + static_cast<std::size_t>(format[f] - '0');
        if (f >= format.size() || static_cast<std::size_t>(matched) >= values.size())
            return matched;
        int base = format[f] == 'x' ? 16 : 10;
        std::int64_t value = 0;
        if (!ScanNumber(text, pos, base, width, value))
            return matched;
        values[static_cast<std::size_t>(matched++)] = value;
    }
    return matched;
}

} // namespace records
