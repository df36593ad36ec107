// Port names as callers give them: "\\.\COMn" or "COMn" (any case) for a
// COM port, anything else a device of the OS's own naming.
#ifndef NICTATE_THINKGEAR_PORT_NAME_H
#define NICTATE_THINKGEAR_PORT_NAME_H

namespace tg {

// The number of a COM port's name, 0 to 999, or -1 for any other name.
int ComNumber(const char *name);

}  // namespace tg

#endif
