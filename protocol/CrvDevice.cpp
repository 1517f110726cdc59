#include "protocol/CrvDevice.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "platform/Registry.h"
#include "platform/TextNumber.h"
#include "protocol/DeviceModel.h"

namespace {

// A text value read into a 32-byte buffer; "0" or an empty text leave the setting at 0.
std::int32_t QueryNumberText(const platform::RegistryKey& key, const char* name)
{
    std::array<std::uint8_t, 32> buffer{};
    std::uint32_t size = buffer.size();
    if (key.QueryValue(name, nullptr, buffer.data(), &size) != platform::ERROR_SUCCESS)
        return 0;
    // A binary value of 32 bytes has no terminating NUL: never read past the buffer.
    const char* chars = reinterpret_cast<const char*>(buffer.data());
    const std::string_view text(chars, strnlen(chars, std::min<std::size_t>(size, buffer.size())));
    if (text.empty() || text == "0")
        return 0;
    return platform::LeadingDecimal(text);
}

} // namespace

CCrvDevice::CCrvDevice()
{
    LoadRegistrySettings();
}

std::int32_t CCrvDevice::SelectDeviceModel(std::int32_t selectionKind, std::uint32_t id)
{
    const int row = FindDeviceModel(id);
    if (row < 0)
        return -1;
    const DeviceModelInfo& model = DeviceModelTable[static_cast<std::size_t>(row)];
    SelectionKind = selectionKind;
    DeviceId = static_cast<std::int32_t>(id);
    MainCells = model.MainCells;
    LeadingCells = model.LeadingCells;
    TrailingCells = model.TrailingCells;
    SpareCount = model.SpareCount;
    ExtraUnits1 = model.ExtraUnits1;
    ExtraUnits2 = model.ExtraUnits2;
    Option1 = model.Option1;
    AuxWriteBytes = model.AuxWriteBytes;
    Option2 = model.Option2;
    Option3 = model.Option3;
    Option4 = model.Option4;
    BaudRate = model.BaudRate;
    std::copy(std::begin(model.InitValues), std::end(model.InitValues), std::begin(InitValues));
    return static_cast<std::int32_t>(id);
}

void CCrvDevice::LoadRegistrySettings()
{
    LoggingMode = 0;
    BaudRateOverride = 0;
    ReadUserAreaMethod = 0;

    const auto key = platform::RegistryKey::OpenCurrentUser("SOFTWARE\\ZKM\\CORVINA");
    if (!key)
        return;

    std::array<std::uint8_t, 2> mode{};
    std::uint32_t size = mode.size();
    std::uint32_t type = platform::REG_BINARY;
    if (key->QueryValue("LoggingMode", &type, mode.data(), &size) == platform::ERROR_SUCCESS &&
        mode[0] != 0)
        LoggingMode = mode[0] | (mode[1] << 4);

    BaudRateOverride = QueryNumberText(*key, "BaudRate");
    ReadUserAreaMethod = QueryNumberText(*key, "ReadUserAreaMethod");
}
