#pragma once
// The production bench's commands: the whole job for one display, the log's history, and the
// converter backups.
#include "cli/CommandLine.h"

class CMyCrvUsbDevice;

namespace cli {

// The production log could not be written.
constexpr int kExitNotLogged = 4;

int Unit(CMyCrvUsbDevice& device, const Invocation& inv);
int History(CMyCrvUsbDevice& device, const Invocation& inv);
int EepromBackups();
int EepromRestore(CMyCrvUsbDevice& device, const Invocation& inv);

} // namespace cli
