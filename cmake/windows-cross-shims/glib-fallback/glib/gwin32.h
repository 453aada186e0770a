/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Stand-in for GLib's Windows-only header, which glib.h includes when
 * compiling for Windows and which Debian's libglib2.0-dev no longer ships
 * from Debian 13 on (Wireshark 4.4 and later). The plug-ins call none of
 * the g_win32_* functions it declares. Searched after the host's GLib
 * headers, so the real header wins where it exists. */
#ifndef OVK_GLIB_GWIN32_FALLBACK_H
#define OVK_GLIB_GWIN32_FALLBACK_H
#endif
