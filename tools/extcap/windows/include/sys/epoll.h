// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5dump.exe: the epoll calls of the capture loop over WSAPoll (see socket_platform.h).
#ifndef OVK_WINDOWS_SYS_EPOLL_H
#define OVK_WINDOWS_SYS_EPOLL_H
#include "socket_platform.h"
#endif
