#pragma once
// The per-user registry, read only. On Windows the registry itself; elsewhere a stand-in: a file
// in the .reg export text format ("REGEDIT4" or "Windows Registry Editor Version 5.00";
// "Name"="text", "Name"=hex:03,02, "Name"=dword:0000002a). The file is $KESTRUNE_REGISTRY, else
// $XDG_CONFIG_HOME/kestrune/registry.reg. No file or no key means the values are absent.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum : std::int32_t {
    ERROR_SUCCESS = 0,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_MORE_DATA = 234,
};
enum : std::uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_MULTI_SZ = 7,
    REG_QWORD = 11,
};

// Text values are held as the ANSI functions return them (UTF-8 here): REG_SZ and
// REG_EXPAND_SZ with their terminating NUL, REG_MULTI_SZ with its two.
struct RegistryValue {
    std::uint32_t type = REG_NONE;
    std::vector<std::uint8_t> data;
};

// One opened key of HKEY_CURRENT_USER.
class RegistryKey {
public:
    // Opens HKEY_CURRENT_USER\subKey (e.g. "SOFTWARE\\ZKM\\CORVINA"), matched without regard to
    // case, and takes its values as they are now; nullopt when the file or the key is missing.
    static std::optional<RegistryKey> OpenCurrentUser(const std::string& subKey);

    // RegQueryValueExA: copies the value into data (when not null) if it fits in *size bytes.
    // Returns ERROR_SUCCESS, ERROR_FILE_NOT_FOUND (no such value) or ERROR_MORE_DATA (too long;
    // nothing copied). *size receives the value's size; *type (when not null) its type.
    std::int32_t QueryValue(const std::string& name, std::uint32_t* type, std::uint8_t* data,
                            std::uint32_t* size) const;

    // Parses the text of a .reg file (8-bit, or UTF-16LE with its byte-order mark); the key's
    // values, or nullopt when the key is not in it or the text is not a .reg export. Lines that
    // cannot be parsed are skipped. A value or key deleted by a later line is absent.
    static std::optional<RegistryKey> FromText(const std::string& text, const std::string& subKey);

private:
    void Set(const std::string& name, RegistryValue value);

    std::map<std::string, RegistryValue> values_; // names folded to lower case
};

// The file behind HKEY_CURRENT_USER.
std::string RegistryFilePath();

} // namespace platform
