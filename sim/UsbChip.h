#pragma once
// The converter as the USB bus sees it: descriptors made from its EEPROM, the vendor requests
// of FTDI's full-speed UART chips, and bulk-IN packets with their two status bytes. The
// libusb-1.0 front end in sim/usb is plumbing over this; the chip itself is sim::Converter.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class Converter;
struct SimTime;

// libusb's error numbers, which the front end passes on unchanged.
enum UsbError : int {
    kUsbIo = -1,
    kUsbInvalidParam = -2,
    kUsbAccess = -3,
    kUsbNoDevice = -4,
    kUsbNotFound = -5,
    kUsbBusy = -6,
    kUsbTimeout = -7,
    kUsbOverflow = -8,
    kUsbPipe = -9,
};

// What the chip enumerates with, read from its EEPROM when it is plugged in.
struct UsbIdentity {
    std::uint16_t vendorId = 0x0403;
    std::uint16_t productId = 0x6015;
    std::uint16_t bcdDevice = 0x1000;
    std::uint8_t attributes = 0x80;  // configuration bmAttributes
    std::uint8_t maxPower = 50;      // 2 mA units
    std::uint16_t packetSize = 64;   // both bulk endpoints
    std::string manufacturer, product, serial;
    bool useSerial = true;
};

// Slot 0 is the simulated converter, slots 1.. the ones someone else holds.
UsbIdentity IdentityOf(const Converter& c, int slot);

std::vector<std::uint8_t> DeviceDescriptor(const UsbIdentity& id);
// The whole configuration: configuration, interface and both bulk endpoints (32 bytes).
std::vector<std::uint8_t> ConfigurationDescriptor(const UsbIdentity& id);
// String 0 is the language list; nullopt for an index the chip does not have.
std::optional<std::vector<std::uint8_t>> StringDescriptor(const UsbIdentity& id, int index);

// A control transfer to the device: standard GET_DESCRIPTOR and the vendor requests. Returns
// the bytes transferred or a UsbError. `data` holds `length` bytes (IN: room for them).
int ControlTransfer(Converter& c, const UsbIdentity& id, std::uint8_t requestType,
                    std::uint8_t request, std::uint16_t value, std::uint16_t index,
                    std::uint8_t* data, std::uint16_t length, SimTime nowMs);

// The baud rate an FT232BM/FT232R/FT-X divisor (request 3's value and index) stands for.
std::uint32_t BaudFromDivisor(std::uint16_t value, std::uint16_t index);

// The two status bytes that start every bulk-IN packet and answer the modem-status poll.
void StatusBytes(const Converter& c, std::uint8_t out[2]);

// One bulk-IN transfer into `out` (room for `length` bytes): full packets (64 bytes, 512 on the
// high-speed chips) while a packet's worth of data waits, then one short packet with what is
// left, or only the status bytes.
std::size_t BulkIn(Converter& c, std::uint8_t* out, std::size_t length, SimTime nowMs);

} // namespace sim
