// SPDX-License-Identifier: GPL-2.0-or-later
// The plug-in frame shared by every plug-in of this project: the symbols
// the analyser's loader looks up, and the registration of the plug-in's
// two routines. The build names the routines through
// PLUGIN_REGISTER_ROUTINE and PLUGIN_HANDOFF_ROUTINE, and the version
// through PLUGIN_VERSION.

#include <ws_symbol_export.h>
#include <ws_version.h>
#include <epan/proto.h>

#include "wireshark_compat.h"

#if !defined(PLUGIN_VERSION) || !defined(PLUGIN_REGISTER_ROUTINE) || !defined(PLUGIN_HANDOFF_ROUTINE)
#error "the build must define PLUGIN_VERSION, PLUGIN_REGISTER_ROUTINE and PLUGIN_HANDOFF_ROUTINE"
#endif

void PLUGIN_REGISTER_ROUTINE(void);
void PLUGIN_HANDOFF_ROUTINE(void);

// Each exported object is declared extern "C" on its own: a namespace-scope
// const would otherwise have internal linkage and never reach the loader.
extern "C" WS_DLL_PUBLIC_DEF const char plugin_version[] = PLUGIN_VERSION;
extern "C" WS_DLL_PUBLIC_DEF const int plugin_want_major = WIRESHARK_VERSION_MAJOR;
extern "C" WS_DLL_PUBLIC_DEF const int plugin_want_minor = WIRESHARK_VERSION_MINOR;

extern "C" WS_DLL_PUBLIC_DEF void plugin_register(void);

#ifdef OVK_PLUGIN_DESCRIBE
extern "C" WS_DLL_PUBLIC_DEF uint32_t plugin_describe(void);

uint32_t plugin_describe(void)
{
    return WS_PLUGIN_DESC_DISSECTOR;
}
#endif

// The analyser calls the registration routine while it registers all
// protocols and the hand-off routine once every protocol is registered.
void plugin_register(void)
{
    static proto_plugin plugin;
    plugin.register_protoinfo = PLUGIN_REGISTER_ROUTINE;
    plugin.register_handoff = PLUGIN_HANDOFF_ROUTINE;
    proto_register_plugin(&plugin);
}
