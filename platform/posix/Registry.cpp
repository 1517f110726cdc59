#include "platform/Registry.h"

#include "platform/File.h"

namespace platform {

std::optional<RegistryKey> RegistryKey::OpenCurrentUser(const std::string& subKey)
{
    std::string text;
    if (ReadRegularFile(RegistryFilePath(), text) != FileStatus::Ok || text.empty())
        return std::nullopt;
    return FromText(text, subKey);
}

} // namespace platform
