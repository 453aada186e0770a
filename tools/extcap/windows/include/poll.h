// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5dump.exe: Winsock in place of poll.h (see socket_platform.h).
#ifndef OVK_WINDOWS_POLL_H
#define OVK_WINDOWS_POLL_H
#include "socket_platform.h"
#endif
