// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5dump.exe: what it takes from the tools' analyser compatibility header.
#ifndef OVK_WINDOWS_WIRETAP_COMPAT_H
#define OVK_WINDOWS_WIRETAP_COMPAT_H

#include <wiretap/wtap.h>
#include <wsutil/wslog.h>

void ovk_log_init(const char *program);

#endif
