// The uinput back end, built into the program: it needs no library.
#ifndef NICTATE_PLATFORM_CLICK_UINPUT_H
#define NICTATE_PLATFORM_CLICK_UINPUT_H

#include "platform/click_backend.h"

// A virtual mouse made through /dev/uinput.
const NictateClickBackend *UinputClickBackend(void);

#endif
