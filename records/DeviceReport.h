#pragma once
// The texts of the device-information and serial-port test commands. Lines end with "\r\n".
#include <cstdint>
#include <string>

#include "link/D2xx.h"
#include "records/DeviceData.h"

class CCrv2Device;
class CMyCrvUsbDevice;

// The record and USB part: "Device Information", type, serial number, IDs and the four texts.
std::string FormatDeviceInformation(const DeviceData& data, const d2xx::FT_PROGRAM_DATA& usb);

// The line for an identity reply: the error line for -1, else the ID in decimal and hexadecimal
// with the model's short name (empty when the model table has no such ID).
std::string FormatIdentityReplyLine(std::int32_t reply);

// Sends the 'init' and 'id' requests on link and reports them, ending with the reply line
// (waits up to 1000 ms for the reply). waitAfterInitMs: the pause between the two requests.
std::string IdentityExchangeReport(CCrv2Device& link, std::uint32_t waitAfterInitMs);

// The whole device-information text for a connected device: EEPROM and user area read again,
// the record and USB part, the model of the record's code selected, then the identity exchange.
// "Cannot read from USB EEPROM" alone when either read fails. May throw platform::CommandError
// when the record holds a date the time conversion rejects.
std::string BuildDeviceInformationReport(CMyCrvUsbDevice& device);
