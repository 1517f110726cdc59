#include "records/DeviceSettingsEdit.h"

#include <climits>
#include <cstdio>

#include "records/MyCrvUsbDevice.h"
#include "res/Strings.h"

namespace {

std::string Printf(const char* format, int value)
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

const std::string& Group(const DeviceSettingsFields& fields, int index)
{
    return index == 0 ? fields.Serial1 : index == 1 ? fields.Serial2 : fields.Serial3;
}

DeviceField GroupField(int index)
{
    return index == 0 ? DeviceField::Serial1 : index == 1 ? DeviceField::Serial2 : DeviceField::Serial3;
}

// The class library's message with its %1 placeholder.
std::string MaxCharsText(std::size_t limit)
{
    std::string text = LoadStdString(IDS_DDX_MAX_CHARS);
    std::size_t at = text.find("%1");
    if (at != std::string::npos) text.replace(at, 2, std::to_string(limit));
    return text;
}

} // namespace

DeviceSettingsFields FillDeviceSettingsFields(const DeviceData& data)
{
    DeviceSettingsFields fields;
    fields.DeviceCode = static_cast<std::uint32_t>(data.DeviceCode);
    fields.Serial1 = Printf("%04d", data.SerialPart1);
    fields.Serial2 = Printf("%04d", data.SerialPart2);
    fields.Serial3 = Printf("%03d", data.SerialPart3);
    fields.Manufacturing = data.ManufacturingDate;
    fields.LastUpdate = data.LastUpdateDate;
    return fields;
}

std::int32_t ReadDecimalNumber(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT32_MAX) return INT32_MAX;
    }
    return static_cast<std::int32_t>(value);
}

std::optional<DeviceSettingsRefusal> CheckDeviceSettingsFields(const DeviceSettingsFields& fields)
{
    const std::string appTitle = LoadStdString(IDS_APP_TITLE);
    for (int i = 0; i < 3; ++i) {
        if (Group(fields, i).size() > kSerialGroupLimit[i])
            return DeviceSettingsRefusal{GroupField(i), MaxCharsText(kSerialGroupLimit[i]), appTitle};
    }
    const std::string outOfRange = LoadStdString(IDS_DATE_OUT_OF_RANGE);
    if (fields.Manufacturing < 0)
        return DeviceSettingsRefusal{DeviceField::Manufacturing, outOfRange, outOfRange};
    if (fields.LastUpdate < 0)
        return DeviceSettingsRefusal{DeviceField::LastUpdate, outOfRange, outOfRange};

    const std::string errorCaption = LoadStdString(IDS_ERROR_CAPTION);
    for (int i = 0; i < 3; ++i) {
        const std::string& group = Group(fields, i);
        if (group.empty() || group.front() < '0' || group.front() > '9') {
            return DeviceSettingsRefusal{GroupField(i),
                                         "Each group of the serial number must begin with a digit.",
                                         errorCaption};
        }
    }
    // The record keeps one byte: a larger code would be stored as another model's code.
    if (fields.DeviceCode > kDeviceCodeLimit) {
        return DeviceSettingsRefusal{DeviceField::DeviceCode,
                                     "The Device Identification Code must be a number from 0 to 255.",
                                     errorCaption};
    }
    return std::nullopt;
}

DeviceData ApplyDeviceSettingsFields(DeviceData data, const DeviceSettingsFields& fields)
{
    data.DeviceCode = static_cast<std::int32_t>(fields.DeviceCode);
    data.SerialPart1 = ReadDecimalNumber(fields.Serial1);
    data.SerialPart2 = ReadDecimalNumber(fields.Serial2);
    data.SerialPart3 = ReadDecimalNumber(fields.Serial3);
    data.ManufacturingDate = fields.Manufacturing;
    data.LastUpdateDate = fields.LastUpdate;
    return data;
}

BOOL ProgramDeviceSettingsFields(CMyCrvUsbDevice& device, const DeviceSettingsFields& fields)
{
    DeviceData data;
    device.GetDeviceData(data);
    device.SetDeviceData(ApplyDeviceSettingsFields(data, fields));
    return device.WriteUserArea();
}
