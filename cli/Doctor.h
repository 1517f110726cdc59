#pragma once
// kestrune-cli doctor: a read-only look at what the program would use (the D2XX provider, each
// converter and whether this user may open it, the profile store, the registry file, the
// production log), then an identify.
#include <functional>

namespace cli {

// Prints the report on standard output; identify runs the identify command and returns its
// exit status. Returns 0 when a display answered, 3 when no converter was found, 1 otherwise.
int Doctor(const std::function<int()>& identify);

} // namespace cli
