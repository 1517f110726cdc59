#pragma once
// kestrune-cli doctor: a read-only look at what the program would use (the D2XX provider, each
// converter and whether this user may open it, the profile store, the registry file, the
// production log), then an identify.
#include <functional>

class CMyCrvUsbDevice;

namespace cli {

// Prints the report on standard output; the log file is the device object's; identify runs the identify command and returns its
// exit status. Returns 0 when a display answered, 3 when no converter was found, 1 otherwise.
int Doctor(CMyCrvUsbDevice& theDevice, const std::function<int()>& identify);

} // namespace cli
