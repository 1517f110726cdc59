#include "records/DeviceSettingsEdit.h"

#include <cstdio>

#include "platform/TextNumber.h"
#include "records/MyCrvUsbDevice.h"
#include "res/Strings.h"

namespace {

std::string Group(const char* format, int value)
{
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

bool StartsWithDigit(std::string_view text)
{
    const std::size_t start = text.find_first_not_of(" \t");
    return start != std::string_view::npos && text[start] >= '0' && text[start] <= '9';
}

} // namespace

std::string MaxCharsMessage(int limit)
{
    std::string text = LoadString(IDS_DDX_MAX_CHARS);
    const std::size_t at = text.find("%1");
    if (at != std::string::npos)
        text.replace(at, 2, std::to_string(limit));
    return text;
}

DeviceSettingsFields DeviceFieldsFromRecord(const DeviceData& data)
{
    DeviceSettingsFields f;
    f.DeviceCode = static_cast<std::uint32_t>(data.DeviceCode);
    f.Serial1 = Group("%04d", data.SerialPart1);
    f.Serial2 = Group("%04d", data.SerialPart2);
    f.Serial3 = Group("%03d", data.SerialPart3);
    f.Manufacturing = data.ManufacturingDate;
    f.LastUpdate = data.LastUpdateDate;
    return f;
}

int ParseDecimalPrefix(std::string_view text)
{
    // A sign is no digit here: the number ends before it.
    return StartsWithDigit(text) ? platform::LeadingDecimal(text) : 0;
}

DeviceFieldProblem CheckDeviceSettingsFields(const DeviceSettingsFields& fields)
{
    const std::string outOfRange = LoadString(IDS_DATE_OUT_OF_RANGE);
    if (fields.Manufacturing < 0)
        return {DeviceField::Manufacturing, outOfRange, outOfRange};
    if (fields.LastUpdate < 0)
        return {DeviceField::LastUpdate, outOfRange, outOfRange};

    const std::string caption = LoadString(IDS_ERROR_CAPTION);
    if (fields.DeviceCode > kDeviceCodeMax)
        return {DeviceField::DeviceCode, LoadString(IDS_DIC_OUT_OF_RANGE), caption};

    struct Group {
        DeviceField field;
        const std::string* text;
        int limit;
    };
    for (const Group& g : {Group{DeviceField::Serial1, &fields.Serial1, kSerial1Chars},
                           Group{DeviceField::Serial2, &fields.Serial2, kSerial2Chars},
                           Group{DeviceField::Serial3, &fields.Serial3, kSerial3Chars}}) {
        if (g.text->size() > static_cast<std::size_t>(g.limit))
            return {g.field, MaxCharsMessage(g.limit), LoadString(IDS_APP_TITLE)};
        if (!StartsWithDigit(*g.text))
            return {g.field, LoadString(IDS_SERIAL_GROUP_NOT_NUMBER), caption};
    }
    return {};
}

BOOL WriteDeviceSettingsFields(CMyCrvUsbDevice& device, const DeviceSettingsFields& fields)
{
    DeviceData data;
    device.GetDeviceData(data);
    data.DeviceCode = static_cast<std::int32_t>(fields.DeviceCode);
    data.SerialPart1 = ParseDecimalPrefix(fields.Serial1);
    data.SerialPart2 = ParseDecimalPrefix(fields.Serial2);
    data.SerialPart3 = ParseDecimalPrefix(fields.Serial3);
    data.ManufacturingDate = fields.Manufacturing;
    data.LastUpdateDate = fields.LastUpdate;
    // A record the image cannot hold leaves the old one there, which must not be written as
    // if it were the new.
    if (!device.SetDeviceData(data))
        return FALSE;
    return device.WriteUserArea();
}
