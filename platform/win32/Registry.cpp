#include "platform/win32/Windows.h"

#include "platform/Registry.h"

#include <array>

namespace platform {

std::optional<RegistryKey> RegistryKey::OpenCurrentUser(const std::string& subKey)
{
    HKEY handle = nullptr;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_QUERY_VALUE, &handle) != 0)
        return std::nullopt;
    constexpr LONG kNoMoreItems = 259; // ERROR_NO_MORE_ITEMS, whose macro Windows.h drops
    RegistryKey key;
    std::array<char, 16384> name{}; // the longest value name the registry allows, and its NUL
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = name.size();
        const LONG listed = ::RegEnumValueA(handle, index, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (listed == kNoMoreItems)
            break;
        if (listed != 0)
            continue;
        RegistryValue value;
        DWORD type = 0;
        DWORD size = 0;
        if (::RegQueryValueExA(handle, name.data(), nullptr, &type, nullptr, &size) != 0)
            continue;
        value.data.resize(size);
        // A value rewritten between the two calls may have grown: it is skipped, not cut.
        if (size > 0 && ::RegQueryValueExA(handle, name.data(), nullptr, &type, value.data.data(), &size) != 0)
            continue;
        value.data.resize(size);
        value.type = type;
        key.Set(std::string(name.data(), nameLength), std::move(value));
    }
    ::RegCloseKey(handle);
    return key;
}

} // namespace platform
