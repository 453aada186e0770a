// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5dump.exe: what it takes from the tools' analyser compatibility header.
#ifndef OVK_WINDOWS_WIRETAP_COMPAT_H
#define OVK_WINDOWS_WIRETAP_COMPAT_H

#include <wiretap/wtap.h>
#include <wsutil/wslog.h>

void ovk_log_init(const char *program);

// The logging above has Wireshark 4.0's interface, whatever the series.
#define OVK_WIRESHARK_AT_LEAST(major, minor) ((major) < 4 || ((major) == 4 && (minor) == 0))

#endif
