#pragma once
// Which converter of several on a bench the program opens, and the guard that keeps writes off
// a converter nobody named. With one converter attached and none named, nothing changes.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/D2xx.h"

class D2xxLibrary;

namespace converters {

struct DeviceSelection {
    enum class Kind { None, Serial, Location, Index };
    Kind kind = Kind::None;
    std::string value; // what follows the colon
    bool Named() const { return kind != Kind::None; }
    // "serial:KS000042", as the operator wrote it.
    std::string Text() const;
};

// "serial:S", "location:L" (a D2XX location ID, decimal or 0x hexadecimal, or a USB port path
// such as 1-2.3) or "index:N"; nullopt for anything else.
std::optional<DeviceSelection> ParseDeviceSelection(std::string_view text);

// The selection every open uses: set by the front end from --device, else KESTRUNE_DEVICE.
void SetDeviceSelection(const DeviceSelection& selection);
const DeviceSelection& CurrentDeviceSelection();
// KESTRUNE_DEVICE's selection; none when unset. False, with the reason, for an unreadable value.
bool DeviceSelectionFromEnvironment(DeviceSelection& out, std::string& problem);

struct ListedConverter {
    int index = 0;
    std::string serial;
    std::string description;
    d2xx::DWORD locationId = 0;
    std::string portPath; // "" where the provider does not tell it
    d2xx::DWORD usbId = 0; // vendor << 16 | product
    d2xx::DWORD chipType = 0;
    bool inUse = false;
    d2xx::WORD ProductId() const { return static_cast<d2xx::WORD>(usbId & 0xFFFF); }
    // A display's converter by its product ID or its description; a debug cable is not.
    bool LooksLikeDisplay() const;
    // "location:1-2" where the port path is known, else the location ID.
    std::string LocationName() const;
};

// Every converter the bound library lists, in its order; empty when none or unbound.
std::vector<ListedConverter> ListConverters(D2xxLibrary& library);

// The entry the selection names: -1 none. Without a selection, entry 0.
// -1: none matches; kAmbiguousSelection: a serial that several converters list.
constexpr int kAmbiguousSelection = -2;
int SelectConverter(const std::vector<ListedConverter>& list, const DeviceSelection& selection);
// Whether opening by its listed serial opens this converter and no other.
bool SerialOpensOnlyItself(const std::vector<ListedConverter>& list, int index);
std::string AmbiguousSentence(const DeviceSelection& selection);

// The sentence after "No USB device found." when a named converter is not attached.
std::string NoMatchSentence(const DeviceSelection& selection);

// Writes go ahead only to a converter somebody chose: one is named, or at most one is attached.
inline constexpr const char* kSeveralConvertersText =
    "Several converters are attached; name one with --device (see kestrune-cli doctor).";
bool WriteTargetAmbiguous(D2xxLibrary& library);

} // namespace converters
