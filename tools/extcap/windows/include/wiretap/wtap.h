// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5dump.exe writes pcapng itself (windows/pcapng_native.cpp): the
// names of libwiretap its sources mention, without libwiretap.
#ifndef OVK_WINDOWS_WTAP_H
#define OVK_WINDOWS_WTAP_H

#include <ctime>

struct nstime_t {
    std::time_t secs;
    int nsecs;
};

struct wtap_dumper;
typedef struct _GArray GArray;
struct wtap_rec;
typedef struct wtap_block *wtap_block_t;

inline void wtap_init(bool) {}

#endif
