#include "protocol/DeviceModel.h"

namespace {

// The 57600/115200-baud models take the configuration parameters; the 38400-baud models take
// none and have no init values.
constexpr DeviceModelInfo Configured(std::uint32_t id, const char* shortName,
                                     const char16_t* displayName, std::int32_t main,
                                     std::int32_t leading, std::int32_t trailing,
                                     std::int32_t option2, std::int32_t baud)
{
    return {id, shortName, displayName, main, leading, trailing, 0, 16, 1, 1, 2, 0, option2, 0, 1,
            baud, {10, 10, 10, 10, 10, 10}};
}

constexpr DeviceModelInfo Plain(std::uint32_t id, const char* shortName,
                                const char16_t* displayName, std::int32_t main,
                                std::int32_t leading, std::int32_t trailing, std::int32_t spare)
{
    return {id, shortName, displayName, main, leading, trailing, spare, 16, 0, 0, 0, 0, 0, 0, 0,
            38400, {0, 0, 0, 0, 0, 0}};
}

} // namespace

// Constant-initialised: other files' static objects may read it.
constexpr std::array<DeviceModelInfo, 21> DeviceModelTable = {
    Configured(100, "Nova 20", u"CORVINA Nova 20 (with Front Control Rail)", 20, 0, 0, 0, 115200),
    Configured(98, "Nova", u"CORVINA Nova (with Front Control Rail)", 40, 0, 0, 0, 115200),
    Configured(99, "Nova+", u"CORVINA Nova+ (with Front Control Rail)", 40, 0, 0, 0, 115200),
    Configured(94, "KV20c", u"CORVINA KV 20c (with Front Control Rail)", 20, 0, 0, 1, 57600),
    Configured(95, "KV40c", u"CORVINA KV 40c (with Front Control Rail)", 40, 0, 0, 1, 57600),
    Configured(96, "KV60c", u"CORVINA KV 60c (with Front Control Rail)", 60, 0, 0, 1, 57600),
    Configured(97, "KV80c", u"CORVINA KV 80c (with Front Control Rail)", 80, 0, 0, 1, 57600),
    Configured(85, "KV40s", u"CORVINA KV 40s (with Front Control Rail)", 40, 0, 0, 1, 57600),
    Configured(86, "KV80II", u"CORVINA KV80II (with Front Control Rail)", 80, 0, 2, 1, 57600),
    Configured(87, "KV66s", u"CORVINA KV 66s (with Front Control Rail)", 66, 0, 0, 1, 57600),
    Configured(88, "KV80s", u"CORVINA KV 80s (with Front Control Rail)", 80, 0, 0, 1, 57600),
    Configured(89, "Opal", u"CORVINA OPAL (with Front Control Rail)", 40, 0, 0, 0, 115200),
    Configured(90, "KV70s", u"CORVINA KV 70s (with Front Control Rail)", 70, 0, 0, 1, 57600),
    Configured(91, "KVVR-80s", u"CORVINA KV VR-80s (with Front Control Rail)", 80, 20, 0, 1, 57600),
    Plain(64, "KVVR-40", u"CORVINA KV VR-40 (with Front Control Rail)", 40, 13, 0, 4),
    Plain(65, "KVVR-66", u"CORVINA KV VR-66 (with Front Control Rail)", 66, 13, 0, 4),
    Plain(66, "KV80", u"CORVINA KV 80 (with Front Control Rail)", 80, 0, 2, 0),
    Plain(67, "KVVR-80", u"CORVINA KV VR-80 (with Front Control Rail)", 80, 20, 0, 4),
    Plain(68, "KV40P", u"CORVINA KV 40 P (with Front Control Rail)", 40, 0, 0, 0),
    Plain(69, "KVRA32", u"CORVINA KVra 32 (with Front Control Rail)", 32, 0, 0, 0),
    Plain(70, "KVRA20", u"CORVINA KVra 20 (with Front Control Rail)", 20, 0, 0, 0),
};

int FindDeviceModel(std::uint32_t id)
{
    for (std::size_t i = 0; i < DeviceModelTable.size(); ++i) {
        if (DeviceModelTable[i].DeviceId == id)
            return static_cast<int>(i);
    }
    return -1;
}

const char* ShortNameOf(std::uint32_t id)
{
    const int row = FindDeviceModel(id);
    return row < 0 ? "" : DeviceModelTable[static_cast<std::size_t>(row)].ShortName;
}
