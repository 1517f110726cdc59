#include "platform/Registry.h"

#include "platform/SafeFile.h"
#include "platform/System.h"
#include "platform/Utf16.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace platform {

namespace {

char Lower(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

std::string Folded(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = Lower(c);
    return out;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

bool ConsumePrefix(std::string_view& text, std::string_view prefix)
{
    if (text.size() < prefix.size() || Folded(text.substr(0, prefix.size())) != prefix)
        return false;
    text.remove_prefix(prefix.size());
    return true;
}

// "HKEY_CURRENT_USER\A\B" or "HKCU\A\B" → "a\b"; nullopt for other roots.
std::optional<std::string> CurrentUserPath(std::string_view path)
{
    path = Trim(path);
    std::string folded = Folded(path);
    for (std::string_view root : {"hkey_current_user", "hkcu"}) {
        if (folded.compare(0, root.size(), root) != 0)
            continue;
        std::string rest = folded.substr(root.size());
        if (!rest.empty() && rest.front() != '\\')
            continue;
        while (!rest.empty() && rest.front() == '\\')
            rest.erase(rest.begin());
        while (!rest.empty() && rest.back() == '\\')
            rest.pop_back();
        return rest;
    }
    return std::nullopt;
}

// A quoted text with \\ and \" escapes; text is left after the closing quote.
std::optional<std::string> QuotedText(std::string_view& text)
{
    if (text.empty() || text.front() != '"')
        return std::nullopt;
    std::string out;
    for (std::size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            text.remove_prefix(i + 1);
            return out;
        }
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
            out += text[++i];
            continue;
        }
        out += c;
    }
    return std::nullopt;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<std::uint32_t> HexNumber(std::string_view text, std::size_t maxDigits)
{
    text = Trim(text);
    if (text.empty() || text.size() > maxDigits)
        return std::nullopt;
    std::uint32_t n = 0;
    for (char c : text) {
        const int d = HexDigit(c);
        if (d < 0)
            return std::nullopt;
        n = n << 4 | static_cast<std::uint32_t>(d);
    }
    return n;
}

std::optional<std::vector<std::uint8_t>> HexBytes(std::string_view text)
{
    std::vector<std::uint8_t> bytes;
    text = Trim(text);
    if (text.empty())
        return bytes;
    while (true) {
        const auto comma = text.find(',');
        const auto byte = HexNumber(text.substr(0, comma), 2);
        if (!byte)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(*byte));
        if (comma == std::string_view::npos)
            return bytes;
        text.remove_prefix(comma + 1);
    }
}

std::optional<RegistryValue> ParseData(std::string_view data, bool unicodeTexts)
{
    RegistryValue value;
    if (!data.empty() && data.front() == '"') {
        const auto text = QuotedText(data);
        if (!text || !Trim(data).empty())
            return std::nullopt;
        value.type = REG_SZ;
        value.data.assign(text->begin(), text->end());
        value.data.push_back(0);
        return value;
    }
    if (ConsumePrefix(data, "dword:")) {
        const auto n = HexNumber(data, 8);
        if (!n)
            return std::nullopt;
        value.type = REG_DWORD;
        for (int i = 0; i < 4; ++i)
            value.data.push_back(static_cast<std::uint8_t>(*n >> (8 * i)));
        return value;
    }
    if (ConsumePrefix(data, "hex:")) {
        value.type = REG_BINARY;
    } else if (ConsumePrefix(data, "hex(")) {
        const auto close = data.find("):");
        const auto type = close == std::string_view::npos ? std::nullopt : HexNumber(data.substr(0, close), 8);
        if (!type)
            return std::nullopt;
        value.type = *type;
        data.remove_prefix(close + 2);
    } else {
        return std::nullopt;
    }
    auto bytes = HexBytes(data);
    if (!bytes)
        return std::nullopt;
    value.data = std::move(*bytes);
    const bool text = value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
    if (text && unicodeTexts) {
        const std::string narrow = Utf16LeToUtf8({reinterpret_cast<const char*>(value.data.data()), value.data.size()});
        value.data.assign(narrow.begin(), narrow.end());
    }
    // The reader of a text must be able to rely on its terminator.
    if ((value.type == REG_SZ || value.type == REG_EXPAND_SZ) && (value.data.empty() || value.data.back() != 0))
        value.data.push_back(0);
    return value;
}

std::vector<std::string_view> LogicalLines(std::string_view text, std::string& joined)
{
    // Long hex data continues on the next line after a trailing backslash; any other line
    // ending in a backslash is complete, so one bad line cannot swallow the next.
    joined.clear();
    joined.reserve(text.size());
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    bool continuing = false;
    bool hexData = false;
    std::size_t start = 0;
    for (;;) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = Trim(text.substr(start, end - start));
        if (!continuing) {
            spans.emplace_back(joined.size(), 0);
            hexData = Folded(line).find("=hex") != std::string::npos;
        }
        continuing = hexData && !line.empty() && line.back() == '\\' && end < text.size();
        if (continuing)
            line.remove_suffix(1);
        joined.append(line);
        spans.back().second = joined.size() - spans.back().first;
        if (end == text.size())
            break;
        start = end + 1;
    }
    std::vector<std::string_view> lines;
    lines.reserve(spans.size());
    for (const auto& [from, length] : spans)
        lines.push_back(std::string_view(joined).substr(from, length));
    return lines;
}

} // namespace

std::optional<RegistryKey> RegistryKey::FromText(const std::string& raw, const std::string& subKey)
{
    std::string decoded;
    std::string_view text = raw;
    if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
        static_cast<unsigned char>(text[1]) == 0xFE) {
        decoded = Utf16LeToUtf8(text.substr(2));
        text = decoded;
    } else if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }

    const auto target = CurrentUserPath("HKEY_CURRENT_USER\\" + subKey);
    std::string joined;
    const auto lines = LogicalLines(text, joined);

    std::size_t i = 0;
    while (i < lines.size() && Trim(lines[i]).empty())
        ++i;
    if (i == lines.size())
        return std::nullopt;
    const std::string_view header = Trim(lines[i]);
    bool unicodeTexts;
    if (header == "REGEDIT4")
        unicodeTexts = false;
    else if (header == "Windows Registry Editor Version 5.00")
        unicodeTexts = true;
    else
        return std::nullopt;

    RegistryKey key;
    bool found = false;
    bool inTarget = false;
    for (++i; i < lines.size(); ++i) {
        std::string_view line = Trim(lines[i]);
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            const auto close = line.rfind(']');
            if (close == std::string_view::npos) {
                inTarget = false;
                continue;
            }
            std::string_view path = line.substr(1, close - 1);
            const bool deletion = !path.empty() && path.front() == '-';
            if (deletion)
                path.remove_prefix(1);
            const auto user = CurrentUserPath(path);
            inTarget = !deletion && user && *user == *target;
            if (inTarget) {
                found = true;
            } else if (deletion && user &&
                       (*user == *target || (user->empty() || target->compare(0, user->size() + 1, *user + "\\") == 0))) {
                // Deleting the key or one of its parents.
                found = false;
                key.values_.clear();
            }
            continue;
        }
        if (!inTarget)
            continue;
        std::string name;
        if (line.front() == '@') {
            line.remove_prefix(1);
        } else {
            auto quoted = QuotedText(line);
            if (!quoted)
                continue;
            name = std::move(*quoted);
        }
        line = Trim(line);
        if (line.empty() || line.front() != '=')
            continue;
        line = Trim(line.substr(1));
        if (line == "-") {
            key.values_.erase(Folded(name));
            continue;
        }
        if (auto value = ParseData(line, unicodeTexts))
            key.values_[Folded(name)] = std::move(*value);
    }
    if (!found)
        return std::nullopt;
    return key;
}

void RegistryKey::Set(const std::string& name, RegistryValue value)
{
    values_[Folded(name)] = std::move(value);
}

std::int32_t RegistryKey::QueryValue(const std::string& name, std::uint32_t* type, std::uint8_t* data,
                                     std::uint32_t* size) const
{
    if (data != nullptr && size == nullptr)
        return ERROR_INVALID_PARAMETER;
    const auto it = values_.find(Folded(name));
    if (it == values_.end())
        return ERROR_FILE_NOT_FOUND;
    const RegistryValue& value = it->second;
    const auto length = static_cast<std::uint32_t>(value.data.size());
    if (type != nullptr)
        *type = value.type;
    if (data != nullptr && *size < length) {
        *size = length;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr && length > 0)
        std::memcpy(data, value.data.data(), length);
    if (size != nullptr)
        *size = length;
    return ERROR_SUCCESS;
}

std::string RegistryFilePath()
{
    if (const char* path = std::getenv("KESTRUNE_REGISTRY"); path != nullptr && path[0] != '\0')
        return path;
    return ConfigHome() + "/registry.reg";
}

} // namespace platform
