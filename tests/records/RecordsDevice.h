#pragma once
// A device object with a known record and USB image, its profile store in a scratch folder.
#include <cstring>
#include <string>

#include "RecordsTest.h"
#include "records/MyCrvUsbDevice.h"
#include "records/UsbSettingsEdit.h"

namespace records_test {

// Local midnights in Central European time.
inline constexpr std::int64_t k2015_03_04 = 1425423600;
inline constexpr std::int64_t k2016_05_06 = 1462485600;
inline constexpr std::int64_t k2000_01_01 = 946681200;

inline DeviceData ExampleRecord()
{
    return {0x5F, 12, 3456, 789, k2015_03_04, k2016_05_06};
}

// The [Device] and [USB] text of ExampleRecord with the image ExampleDevice sets up.
inline const std::string kExampleDeviceSection = "[Device]\r\n"
                                                 "Type=0x5f\r\n"
                                                 "SerialNumber=0012.3456.789\r\n"
                                                 "Manufacturing=04.03.15\r\n"
                                                 "LastUpdate=06.05.16\r\n";
inline const std::string kExampleUsbSection = "[USB]\r\n"
                                              "VendorId=0x0403\r\n"
                                              "ProductId=0xf208\r\n"
                                              "Manufacturer=ZKM\r\n"
                                              "ManufacturerId=ZK\r\n"
                                              "Description=Corvina Heron 40\r\n"
                                              "SerialNumber=ZK000012\r\n"
                                              "MaxPower=0x00fa\r\n"
                                              "PnP=1\r\n"
                                              "SelfPowered=0x0000\r\n"
                                              "RemoteWakeup=0x0001\r\n"
                                              "Rev4=1\r\n"
                                              "IsoIn=0\r\n"
                                              "IsoOut=0\r\n"
                                              "PullDownEnable=1\r\n"
                                              "SerNumEnable=1\r\n"
                                              "USBVersionEnable=0\r\n"
                                              "USBVersion=0x0110\r\n";

// An X-series image holding the example record and USB settings, as if read from a converter.
inline void SetUpExample(CMyCrvUsbDevice& device, const TempDir& dir)
{
    device.ProfilePath = dir.File("kestrune.ini");
    device.ChipType = d2xx::FT_DEVICE_X_SERIES;
    device.SetDeviceData(ExampleRecord());
    UsbSettingsRecord usb;
    usb.data.VendorId = 0x0403;
    usb.data.ProductId = 0xF208;
    usb.data.MaxPower = 250;
    usb.data.SelfPowered = 0;
    usb.data.RemoteWakeup = 1;
    std::strcpy(usb.data.Manufacturer, "ZKM");
    std::strcpy(usb.data.ManufacturerId, "ZK");
    std::strcpy(usb.data.Description, "Corvina Heron 40");
    std::strcpy(usb.data.SerialNumber, "ZK000012");
    device.SetUsbSettings(&usb.data);
    device.EepromWasRead = device.UserAreaWasRead = true;
}

} // namespace records_test
