// SPDX-License-Identifier: GPL-2.0-or-later
// The plug-in library as the analyser's loader sees it: exactly the plug-in
// symbols exported, with the right values, and tshark loading it as a
// dissector plug-in.

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "tshark_runner.h"
#include "wireshark_compat.h"

namespace ovk::test {
namespace {

const std::string plugin_dir = OVK_PLUGIN_BUILD_DIR "/" OVK_WIRESHARK_SERIES "/epan/";

// The defined symbols of library and their nm types: its dynamic symbol
// table, or its full one.
std::map<std::string, char> defined_symbols(const std::string &library, bool dynamic)
{
    std::map<std::string, char> symbols;
    const std::string command =
        std::string("nm ") + (dynamic ? "-D " : "") + "--defined-only --format=posix '" + library + "'";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return symbols;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream fields(line);
        std::string name;
        char type = '?';
        fields >> name >> type;
        symbols[name] = type;
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    return symbols;
}

// The "tshark -G plugins" entry of library as "name|version|type|path",
// without the column padding; empty when the plug-in is not listed.
std::string plugin_listing(const TsharkStage &stage, const std::string &library)
{
    for (const std::string &line : stage.lines({"-G", "plugins"})) {
        Lines columns = tab_columns(line);
        std::string joined;
        for (std::string &column : columns) {
            column.erase(column.find_last_not_of(' ') + 1);
            joined += (joined.empty() ? "" : "|") + column;
        }
        if (!columns.empty() && columns.front() == library)
            return joined;
    }
    return {};
}

class PluginFrame : public ::testing::TestWithParam<std::string> {
protected:
    std::string library() const { return plugin_dir + GetParam() + ".so"; }
};

TEST_P(PluginFrame, ExportsOnlyPluginSymbolsAndKeepsTheDissectorLocal)
{
    std::set<std::string> expected{"plugin_register", "plugin_version", "plugin_want_major",
                                   "plugin_want_minor"};
#ifdef OVK_PLUGIN_DESCRIBE
    expected.insert("plugin_describe");
#endif
    std::set<std::string> exported;
    for (const auto &symbol : defined_symbols(library(), true))
        exported.insert(symbol.first);
    EXPECT_EQ(exported, expected);

    // The dissector is compiled in, as a local symbol: the analyser reaches
    // it only through the handle registered for it. (Its C++ name is
    // mangled, with the length of "dissect_<name>" before it.)
    const std::string dissector = "dissect_" + GetParam();
    const std::string mangled = std::to_string(dissector.size()) + dissector + "E";
    int local = 0, global = 0;
    for (const auto &[name, type] : defined_symbols(library(), false)) {
        if (name.find(mangled) != std::string::npos)
            ++(std::islower(static_cast<unsigned char>(type)) ? local : global);
    }
    EXPECT_GE(local, 1) << dissector;  // the compiler may add clones (".part.0")
    EXPECT_EQ(global, 0) << dissector;
}

TEST_P(PluginFrame, ReportsVersionAndAnalyserSeries)
{
    void *handle = dlopen(library().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    const auto *version = static_cast<const char *>(dlsym(handle, "plugin_version"));
    const auto *major = static_cast<const int *>(dlsym(handle, "plugin_want_major"));
    const auto *minor = static_cast<const int *>(dlsym(handle, "plugin_want_minor"));
    ASSERT_NE(version, nullptr);
    ASSERT_NE(major, nullptr);
    ASSERT_NE(minor, nullptr);
    EXPECT_STREQ(version, OVK_PROJECT_VERSION);
    EXPECT_EQ(*major, WIRESHARK_VERSION_MAJOR);
    EXPECT_EQ(*minor, WIRESHARK_VERSION_MINOR);
    EXPECT_NE(dlsym(handle, "plugin_register"), nullptr);
#ifdef OVK_PLUGIN_DESCRIBE
    const auto describe = reinterpret_cast<uint32_t (*)(void)>(dlsym(handle, "plugin_describe"));
    ASSERT_NE(describe, nullptr);
    EXPECT_EQ(describe(), WS_PLUGIN_DESC_DISSECTOR);
#endif
    dlclose(handle);
}

TEST_P(PluginFrame, TsharkLoadsItAsDissectorPlugin)
{
    const TsharkStage stage;
    const std::string library = GetParam() + ".so";
    EXPECT_EQ(plugin_listing(stage, library), library + "|" OVK_PROJECT_VERSION "|dissector|" +
                                                  stage.path("plugins/" OVK_WIRESHARK_SERIES "/epan/" + library));
}

INSTANTIATE_TEST_SUITE_P(Plugins, PluginFrame, ::testing::Values("ovk5", "ovk5seq"));

} // namespace
} // namespace ovk::test
