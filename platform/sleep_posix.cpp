// Sleep for POSIX systems.
#include "platform/posix_time.h"
#include "platform/win32.h"

void Sleep(DWORD dwMilliseconds) { nictate::SleepMs(dwMilliseconds); }
