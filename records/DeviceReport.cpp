#include "records/DeviceReport.h"

#include <cstdio>

#include "platform/Clock.h"
#include "protocol/DeviceModel.h"
#include "records/MyCrvUsbDevice.h"
#include "records/UsbSettingsEdit.h"
#include "res/Strings.h"

namespace {

template <typename... Args>
void AppendFormat(std::string& out, const char* format, Args... args)
{
    const int n = std::snprintf(nullptr, 0, format, args...);
    if (n > 0) {
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(n));
        std::snprintf(out.data() + at, static_cast<std::size_t>(n) + 1, format, args...);
    }
}

const char* OrEmpty(const char* text) { return text ? text : ""; }

} // namespace

std::string FormatDeviceInformation(const DeviceData& data, const d2xx::FT_PROGRAM_DATA& usb)
{
    std::string text = "Device Information\r\n\r\n";
    AppendFormat(text, "Device Type (USB): 0x%02x\r\n", static_cast<unsigned>(data.DeviceCode));
    AppendFormat(text, "SerialNumber: %04d.%04d.%03d\r\n", data.SerialPart1, data.SerialPart2,
                 data.SerialPart3);
    AppendFormat(text, "\r\nVendor ID: 0x%04x\r\n", static_cast<unsigned>(usb.VendorId));
    AppendFormat(text, "Product ID: 0x%04x\r\n", static_cast<unsigned>(usb.ProductId));
    AppendFormat(text, "Manufacturer: %s\r\n", OrEmpty(usb.Manufacturer));
    AppendFormat(text, "Manufacturer ID: %s\r\n", OrEmpty(usb.ManufacturerId));
    AppendFormat(text, "Description: %s\r\n", OrEmpty(usb.Description));
    AppendFormat(text, "USB Serial Number: %s\r\n\r\n", OrEmpty(usb.SerialNumber));
    return text;
}

std::string FormatIdentityReplyLine(std::int32_t reply)
{
    std::string line;
    if (reply == -1) {
        line = LoadStdString(IDS_ERROR_WAITING_ID);
        line += "\r\n";
        return line;
    }
    const auto id = static_cast<std::uint32_t>(reply);
    // A code without a model row gets an empty short name.
    AppendFormat(line, "%s %u [0x%02x] (\"%s\").\r\n", LoadString(IDS_DEVICE_REPLIED), id, id,
                 ShortNameOf(id));
    return line;
}

std::string IdentityExchangeReport(CCrv2Device& link, std::uint32_t waitAfterInitMs)
{
    std::string text = LoadStdString(IDS_SENDING_INIT);
    text += "\r\n";
    link.SendConfiguration();
    if (waitAfterInitMs)
        platform::Sleep(waitAfterInitMs);
    text += LoadStdString(IDS_SENDING_ID);
    text += "\r\n";
    link.SendIdentifyRequest();
    text += FormatIdentityReplyLine(link.ReadIdentityReply(1000));
    return text;
}

std::string BuildDeviceInformationReport(CMyCrvUsbDevice& device)
{
    // Both reads run whatever the first one gave.
    const BOOL eeprom = device.ReadEeprom();
    const BOOL userArea = device.ReadUserArea();
    if (!eeprom || !userArea)
        return LoadStdString(IDS_CANNOT_READ_EEPROM);

    DeviceData data;
    device.GetDeviceData(data);
    UsbSettingsRecord usb;
    device.GetUsbSettings(&usb.data);
    std::string text = FormatDeviceInformation(data, usb.data);

    device.SelectDeviceModel(2, static_cast<std::uint32_t>(data.DeviceCode));
    text += IdentityExchangeReport(device, 100);
    return text;
}
