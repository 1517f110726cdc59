#include "link/DeviceSelection.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdlib>

#include "link/ConverterRules.h"
#include "link/D2xxLibrary.h"

namespace converters {

namespace {

DeviceSelection& Current()
{
    static DeviceSelection selection;
    return selection;
}

std::optional<d2xx::DWORD> Number(std::string_view text)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    d2xx::DWORD value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// "1-2.3": a bus number, a dash, port numbers with dots between them.
bool IsPortPath(std::string_view text)
{
    const auto dash = text.find('-');
    if (dash == std::string_view::npos || dash == 0 || !Number(text.substr(0, dash)))
        return false;
    std::string_view ports = text.substr(dash + 1);
    for (;;) {
        const auto dot = ports.find('.');
        const std::string_view port = ports.substr(0, dot);
        if (port.empty() || port.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        if (dot == std::string_view::npos)
            return true;
        ports.remove_prefix(dot + 1);
    }
}

} // namespace

std::string DeviceSelection::Text() const
{
    switch (kind) {
    case Kind::Serial: return "serial:" + value;
    case Kind::Location: return "location:" + value;
    case Kind::Index: return "index:" + value;
    case Kind::None: break;
    }
    return {};
}

std::optional<DeviceSelection> ParseDeviceSelection(std::string_view text)
{
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    const std::string_view kind = text.substr(0, colon);
    const std::string_view value = text.substr(colon + 1);
    DeviceSelection s;
    s.value = std::string(value);
    if (kind == "serial" && !value.empty() && value.size() <= 63)
        s.kind = DeviceSelection::Kind::Serial;
    else if (kind == "location" && (Number(value) || IsPortPath(value)))
        s.kind = DeviceSelection::Kind::Location;
    else if (kind == "index" && !value.empty() && value.size() <= 3 &&
             value.find_first_not_of("0123456789") == std::string_view::npos)
        s.kind = DeviceSelection::Kind::Index;
    else
        return std::nullopt;
    return s;
}

void SetDeviceSelection(const DeviceSelection& selection)
{
    Current() = selection;
}

const DeviceSelection& CurrentDeviceSelection()
{
    return Current();
}

bool DeviceSelectionFromEnvironment(DeviceSelection& out, std::string& problem)
{
    out = {};
    const char* value = std::getenv("KESTRUNE_DEVICE");
    if (!value || !*value)
        return true;
    if (auto parsed = ParseDeviceSelection(value)) {
        out = *parsed;
        return true;
    }
    problem = std::string("KESTRUNE_DEVICE=") + value +
              ": name a converter as serial:S, location:L or index:N";
    return false;
}

bool ListedConverter::LooksLikeDisplay() const
{
    const d2xx::WORD product = ProductId();
    return product == 0xF208 || product == 0xF209 || description.find("CORVINA") != std::string::npos;
}

std::string ListedConverter::LocationName() const
{
    if (!portPath.empty())
        return "location:" + portPath;
    std::array<char, 16> hex{};
    const auto end = std::to_chars(hex.data(), hex.data() + hex.size(), locationId, 16).ptr;
    return "location:0x" + std::string(hex.data(), end);
}

std::vector<ListedConverter> ListConverters(D2xxLibrary& library)
{
    std::vector<ListedConverter> list;
    d2xx::DWORD count = 0;
    if (!library.IsLoaded() ||
        library.ListDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY) != d2xx::FT_OK)
        return list;
    // More than a bench holds means a confused provider, not 4 billion converters.
    for (d2xx::DWORD i = 0; i < count && i < 64; ++i) {
        ListedConverter c;
        c.index = static_cast<int>(i);
        // The list by index works with every provider; the details (product ID, chip, in use)
        // are what a provider adds where it can.
        std::array<char, 64> serial{};
        std::array<char, 64> description{};
        // NOLINTNEXTLINE(performance-no-int-to-ptr): FT_LIST_BY_INDEX takes the index itself.
        void* const index = reinterpret_cast<void*>(std::uintptr_t{i});
        if (library.ListDevices(index, serial.data(), d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_SERIAL_NUMBER) !=
            d2xx::FT_OK)
            continue;
        library.ListDevices(index, description.data(), d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_DESCRIPTION);
        library.ListDevices(index, &c.locationId, d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_LOCATION);
        serial.back() = description.back() = '\0';
        c.serial = serial.data();
        c.description = description.data();
        d2xx::DWORD flags = 0;
        if (library.GetDeviceInfoDetail(i, &flags, &c.chipType, &c.usbId, nullptr, nullptr, nullptr, nullptr) ==
            d2xx::FT_OK)
            c.inUse = (flags & 1u) != 0;
        c.portPath = library.PortPath(i);
        list.push_back(std::move(c));
    }
    return list;
}

int SelectConverter(const std::vector<ListedConverter>& list, const DeviceSelection& selection)
{
    using Kind = DeviceSelection::Kind;
    if (selection.kind == Kind::None)
        return list.empty() ? -1 : 0;
    if (selection.kind == Kind::Index) {
        const auto n = Number(selection.value);
        return n && *n < list.size() ? static_cast<int>(*n) : -1;
    }
    int prefixed = -1;
    int prefixes = 0;
    int exact = -1;
    int exacts = 0;
    for (const ListedConverter& c : list) {
        if (selection.kind == Kind::Serial) {
            // The list cuts serials at 15 characters: a longer name matches its cut.
            if (c.serial == selection.value) {
                exact = c.index;
                ++exacts;
            } else if (d2xx::SerialNames(c.serial, selection.value)) {
                prefixed = c.index;
                ++prefixes;
            }
        } else if (c.portPath == selection.value ||
                   (!IsPortPath(selection.value) && Number(selection.value) == c.locationId)) {
            return c.index;
        }
    }
    // Two converters with one serial (blank parts, clones): the name does not say which.
    if (exacts > 1 || (exacts == 0 && prefixes > 1))
        return kAmbiguousSelection;
    if (exacts == 1)
        return exact;
    return prefixes == 1 ? prefixed : -1;
}

bool SerialOpensOnlyItself(const std::vector<ListedConverter>& list, int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= list.size())
        return false;
    const std::string& serial = list[static_cast<std::size_t>(index)].serial;
    if (serial.empty())
        return false;
    return std::count_if(list.begin(), list.end(), [&](const ListedConverter& c) { return c.serial == serial; }) == 1;
}

std::string AmbiguousSentence(const DeviceSelection& selection)
{
    return "Several converters match --device " + selection.Text() + "; name one by location: or index: (see kestrune-cli doctor).";
}

std::string NoMatchSentence(const DeviceSelection& selection)
{
    return "No converter attached matches --device " + selection.Text() + ".";
}

bool WriteTargetAmbiguous(D2xxLibrary& library)
{
    if (CurrentDeviceSelection().Named())
        return false;
    d2xx::DWORD count = 0;
    return library.Bind() && library.ListDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY) == d2xx::FT_OK &&
           count > 1;
}

} // namespace converters
