#pragma once
// The texts of the device information and serial port test commands, built piece by piece.
// Line ends are the caller's: "\r\n" in the desktop program's dialog, "\n" on a terminal.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "link/D2xx.h"
#include "records/DeviceData.h"

class CCrv2Device;
class CMyCrvUsbDevice;

// "Device replied with device id 100 [0x64] ("Nova 20")." or, for -1, "Error waiting for 'id'
// message reply."; an unknown code gets an empty short name.
std::string IdentityReplyLine(std::int32_t reply, std::string_view eol);

// The record and USB part of the device information, from "Device Information" to the USB
// serial number and its blank line.
std::string DeviceInformationHeader(const DeviceData& data, const d2xx::FT_PROGRAM_DATA& usb,
                                    std::string_view eol);

// The 'init' and 'id' exchange on a link: both request lines, the requests themselves (with the
// 100 ms pause after the configuration when pauseAfterInit) and the reply read with 1000 ms.
struct IdentityExchange {
    std::string text;
    bool replied = false;
};
IdentityExchange RunIdentityExchange(CCrv2Device& device, bool pauseAfterInit,
                                     std::string_view eol);

struct DeviceInformation {
    std::string text;
    bool eepromRead = false; // false: the text is "Cannot read from USB EEPROM" alone
    bool replied = false;    // the display answered the 'id' request
};
// The device information command after its fresh connection: reads the EEPROM and the user
// area, builds the report, selects the record's model and runs the identity exchange. May
// throw platform::CommandError when the record holds a date that cannot be converted.
DeviceInformation CollectDeviceInformation(CMyCrvUsbDevice& device, std::string_view eol);

// The port the serial port test uses: section "Settings", key "Port" of the profile store,
// "COM1:" when there is none (read through a 16-character buffer).
std::string SerialTestPortName(CMyCrvUsbDevice& device);

// The serial port test on its own link object, which is closed again before returning;
// nullopt when the port cannot be opened.
std::optional<IdentityExchange> RunSerialPortTest(std::string_view portName, std::string_view eol);
