// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5dump.exe: the processor's name for the section header, from the
// registry, in the small part of GLib's GString the receiver uses.
#ifndef OVK_WINDOWS_CPU_INFO_H
#define OVK_WINDOWS_CPU_INFO_H

#include <cstddef>
#include <string>

#ifndef TRUE
#define TRUE 1
#endif

struct GString {
    std::string text;
    char *str;
};

inline GString *g_string_new(const char *init)
{
    auto *string = new GString{init ? init : "", nullptr};
    string->str = string->text.data();
    return string;
}

inline void g_string_truncate(GString *string, std::size_t length)
{
    string->text.resize(length);
    string->str = string->text.data();
}

inline char *g_string_free(GString *string, int)
{
    delete string;
    return nullptr;
}

// Appends the processor's name ("Intel(R) Core(TM) ...").
void get_cpu_info(GString *text);

#endif
