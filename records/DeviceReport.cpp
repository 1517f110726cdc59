#include "records/DeviceReport.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "link/CrvSerialDevice.h"
#include "platform/Clock.h"
#include "protocol/DeviceModel.h"
#include "records/MyCrvUsbDevice.h"
#include "records/UsbSettingsEdit.h"
#include "res/Strings.h"

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string Text(const char* buffer)
{
    return buffer ? std::string(buffer, strnlen(buffer, kUsbTextLimit + 1)) : std::string();
}

} // namespace

std::string IdentityReplyLine(std::int32_t reply, std::string_view eol)
{
    std::string line;
    if (reply == -1) {
        line = LoadStdString(IDS_ERROR_WAITING_ID);
    } else {
        const auto id = static_cast<std::uint32_t>(reply);
        line = Format("%s %u [0x%02x] (\"%s\").", LoadString(IDS_DEVICE_REPLIED), id, id,
                      ShortNameOf(id));
    }
    line += eol;
    return line;
}

std::string DeviceInformationHeader(const DeviceData& data, const d2xx::FT_PROGRAM_DATA& usb,
                                    std::string_view eol)
{
    const std::string e(eol);
    std::string text = "Device Information" + e + e;
    text += Format("Device Type (USB): 0x%02x", data.DeviceCode) + e;
    text += Format("SerialNumber: %04d.%04d.%03d", data.SerialPart1, data.SerialPart2,
                   data.SerialPart3) + e;
    text += e + Format("Vendor ID: 0x%04x", usb.VendorId) + e;
    text += Format("Product ID: 0x%04x", usb.ProductId) + e;
    text += "Manufacturer: " + Text(usb.Manufacturer) + e;
    text += "Manufacturer ID: " + Text(usb.ManufacturerId) + e;
    text += "Description: " + Text(usb.Description) + e;
    text += "USB Serial Number: " + Text(usb.SerialNumber) + e + e;
    return text;
}

IdentityExchange RunIdentityExchange(CCrv2Device& device, bool pauseAfterInit,
                                     std::string_view eol)
{
    IdentityExchange exchange;
    exchange.text = LoadStdString(IDS_SENDING_INIT);
    exchange.text += eol;
    device.SendConfiguration();
    // The display needs the time to take its new configuration before the next frame.
    if (pauseAfterInit) platform::Sleep(100);
    exchange.text += LoadString(IDS_SENDING_ID);
    exchange.text += eol;
    device.SendIdentifyRequest();
    const std::int32_t reply = device.ReadIdentityReply(1000);
    exchange.replied = reply != -1;
    exchange.text += IdentityReplyLine(reply, eol);
    return exchange;
}

DeviceInformation CollectDeviceInformation(CMyCrvUsbDevice& device, std::string_view eol)
{
    DeviceInformation info;
    // Both reads always run, so a failing EEPROM does not leave a stale record behind.
    const BOOL eeprom = device.ReadEeprom();
    const BOOL userArea = device.ReadUserArea();
    if (!eeprom || !userArea) {
        info.text = LoadStdString(IDS_CANNOT_READ_EEPROM);
        return info;
    }
    info.eepromRead = true;
    DeviceData data;
    device.GetDeviceData(data);
    UsbProgramData usb;
    device.GetUsbSettings(&usb.data);
    info.text = DeviceInformationHeader(data, usb.data, eol);
    device.SelectDeviceModel(2, static_cast<std::uint32_t>(data.DeviceCode));
    IdentityExchange exchange = RunIdentityExchange(device, true, eol);
    info.text += exchange.text;
    info.replied = exchange.replied;
    return info;
}

std::string SerialTestPortName(CMyCrvUsbDevice& device)
{
    char port[16] = {};
    device.ReadProfileSetting("Settings", "Port", "COM1:", port, sizeof port);
    return port[0] ? std::string(port) : std::string("COM1:");
}

std::optional<IdentityExchange> RunSerialPortTest(std::string_view portName, std::string_view eol)
{
    CCrvSerialDevice serial;
    if (!serial.OpenPort(portName)) return std::nullopt;
    // No model is selected on this link, so the 'init' request sends nothing and needs no pause.
    return RunIdentityExchange(serial, false, eol);
}
