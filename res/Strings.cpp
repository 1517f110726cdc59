#include "res/Strings.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

struct Entry {
    unsigned id;
    const char* text;
};

// Sorted by number for the binary search below.
constexpr Entry kStrings[] = {
    {128, "Kestrune"},
    {32772, "To modify the USB EEPROM settings"},
    {32773, "To modify the Corvina II device settings"},
    {32779, "Generate a new serial number"},
    {32792, "Update firmware of Braille keyboard of Corvina Opal"},
    {32794, "Update firmware of Corvina KV devices"},
    {32795, "Update firmware of Corvina Opal devices"},
    {57344, "Kestrune"},
    {57345, "Kestrune is ready"},
    {57664, "Display program information, version number and copyright\nAbout"},
    {57665, "Quit the application\nExit"},
    {59137, "CAP"},
    {59138, "NUM"},
    {59139, "SCRL"},
    {61204, "Are you really sure you want to save the settings to the EEPROM area?"},
    {61205, "Save settings to EEPROM"},
    {61207, "Kestrune Error"},
    {61208, "Cannot read from USB EEPROM"},
    {61209, "Checksum error"},
    {61210, "Canot write to USB EEPROM"},
    {61211, "EEPROM Data Files (*.bin)|*.bin|All files (*.*)|*.*||"},
    {61212, "Cannot save EEPROM data to file"},
    {61213, "Cannot load data from file"},
    {61214, "Settings loaded into memory."},
    {61215, "Settings saved to file."},
    {61216, "Serial Number generated: "},
    {61217, "Overall string sizes must not exceed 36 characters."},
    {61218, "Date is out of range."},
    {61219, "Error loading firmware file."},
    {61220, "Error setting communication parameters."},
    {61222, "Firmware successfully updated."},
    {61223, "HEX Data Files (*.hex)|*.hex|All files (*.*)|*.*||"},
    {61224, "Error. Device not responding."},
    {61225, "Error writing flash."},
    {61226, "Address of record not programable."},
    {61227, "Flash write error."},
    {61228, "Record contains non-hex character."},
    {61229, "Record length error."},
    {61230, "Programming error."},
    {61231, "Record type not supported by loader."},
    {61232, "Record with incorrect checksum."},
    {61233, "Data read back does not match data written."},
    {61234, "Updating flash memory: "},
    {61235, "Erasing flash memory, please wait..."},
    {61236, "No USB device found."},
    {61237, "Sending 'init' request to device..."},
    {61238, "Sending the 'id' request to device..."},
    {61239, "Device replied with device id"},
    {61240, "Error waiting for 'id' message reply."},
    {61241, "Error initializing COM port."},
    {61242, "Please reset the device to start the firmware update procedure"},
    {61716, "Please enter no more than %1 characters."},
    {61719, "Please enter a positive integer."},
    {61900, "The %s must be a hexadecimal number, such as 0x0403."},
    {61901, "The %s must not be longer than 63 characters."},
    {61902, "Each group of the serial number must begin with a digit."},
    {61903, "The device identification code must be a number from 0 to 255."},
    {61904, "The module value must be a number from 0 to 255."},
    {61920, "Update &KV Firmware..."},
    {61921, "Update &Opal Firmware..."},
    {61922, "Update Opal &Braille Keyboard Firmware..."},
    {61923, "Update &Nova Firmware..."},
    {61924, "&USB Settings..."},
    {61925, "&Device Settings..."},
    {61926, "Device &Controls..."},
    {61927, "Device &Information..."},
    {61928, "Serial &Port Test..."},
    {61929, "&Reconnect"},
    {61930, "&Generate Serial Number"},
    {61931, "&Load Settings File..."},
    {61932, "&Save Settings File..."},
    {62000, "Kestrune Version 3.04"},
    {62002, "A firmware update is running. Please wait until it has finished; the display must not be used or disconnected until then."},
    {62003, "Usage: kestrune [--service] [--simulate] [FILE]\n"
            "\n"
            "  FILE        firmware file (heron and pika family) to flash at start-up when a\n"
            "              display is connected; the program ends when the update has finished,\n"
            "              with exit status 0 after a successful update and 1 otherwise\n"
            "  --service   add a Service menu offering the commands that have no menu item\n"
            "  --simulate  use the simulated display built with the program\n"
            "  --help      print this text and exit\n"
            "  --version   print the version and exit\n"
            "\n"
            "Other arguments beginning with \"-\" or \"/\" are ignored, and so is every file name\n"
            "after the first.\n"},
    {62004, "&Service"},
    {62005, "%1 - %2 %"},
    {62007, "Status"},
    {62008, "Status bar"},
    {62009, "Caps Lock"},
    {62010, "Num Lock"},
    {62011, "Scroll Lock"},
    {62012, "Firmware update progress"},
    {62013, "on"},
    {62014, "off"},
    {62015, "state unknown"},
    {62016, "Information"},
    {62017, "Warning"},
    {62018, "Error"},
    {62019, "Question"},
    {62020, "Firmware update stopped; the display holds part of the new firmware: flash it again."},
    {62021, "The update is running; stopping now leaves the display with part of the new firmware. Press Ctrl-C again to stop."},
    {62100, "Another program is using the display's USB converter: close that program, then try again."},
    {62101, "You have no permission to use the display's USB converter: install the udev rule 60-kestrune.rules, then plug the display in again."},
};

constexpr bool Sorted()
{
    for (std::size_t i = 1; i < std::size(kStrings); ++i)
        if (kStrings[i - 1].id >= kStrings[i].id)
            return false;
    return true;
}
static_assert(Sorted(), "string table must stay sorted by number");

} // namespace

const char* LoadString(unsigned id)
{
    auto it = std::lower_bound(std::begin(kStrings), std::end(kStrings), id,
                               [](const Entry& e, unsigned key) { return e.id < key; });
    return (it != std::end(kStrings) && it->id == id) ? it->text : "";
}

std::string LoadStdString(unsigned id) { return LoadString(id); }
