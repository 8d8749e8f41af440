// EnumComPorts: the names of the serial ports present on this machine.
#pragma once

#include "toolkit/Strings.h"

namespace zv {

// Replaces the contents of List with the port names registered under HKEY_LOCAL_MACHINE
// "HARDWARE\DEVICEMAP\SERIALCOMM" ("COM1", ...), sorted as text without regard to case (so COM10
// comes before COM2). A registry failure raises EComPort 23 with the system's code and leaves
// List as it was.
void EnumComPorts(TStrings* List);

} // namespace zv
