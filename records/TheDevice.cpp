#include "records/MyCrvUsbDevice.h"

CMyCrvUsbDevice theDevice;
