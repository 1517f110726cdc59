#pragma once
// The commands of kestrune-cli over the device object, with the main window's sequences.
#include <string>
#include <vector>

#include "cli/CommandLine.h"

class CMyCrvUsbDevice;

namespace cli {

enum ExitStatus : int {
    kExitOk = 0,
    kExitFailed = 1,    // the operation failed, a value or a confirmation was refused
    kExitUsage = 2,
    kExitNoDisplay = 3,
    kExitNotRecorded = 4, // the device was written, its log record or status entries were not
    kExitStopped = 130,   // a firmware update stopped on the operator's signal
};

// Runs one command on the front end's device object; results go to standard output, boxes and
// progress to standard error.
int RunInvocation(CMyCrvUsbDevice& theDevice, const Invocation& invocation);

// The whole program: parses, creates the device object, installs the terminal as the user interface, runs, closes the link.
int Main(const std::vector<std::string>& args);

} // namespace cli
