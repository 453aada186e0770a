// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5dump.exe: Winsock in place of the POSIX socket header (see socket_platform.h).
#ifndef OVK_WINDOWS_NETINET_IN_H
#define OVK_WINDOWS_NETINET_IN_H
#include "socket_platform.h"
#endif
