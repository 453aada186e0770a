// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5dump.exe: the Windows version for the section header.
#ifndef OVK_WINDOWS_OS_VERSION_INFO_H
#define OVK_WINDOWS_OS_VERSION_INFO_H

#include <wsutil/cpu_info.h>

// Appends "Windows <major>.<minor>, build <n>".
void get_os_version_info(GString *text);

#endif
