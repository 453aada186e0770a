// The plug-in library as the analyser's loader sees it: exactly the plug-in
// symbols exported, with the right values.

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include <ws_version.h>

#include "wireshark_compat.h"

namespace {

const std::string plugin_dir = OVK_PLUGIN_BUILD_DIR "/" OVK_WIRESHARK_SERIES "/epan/";

std::set<std::string> exported_symbols(const std::string &library)
{
    std::set<std::string> names;
    const std::string command = "nm -D --defined-only --format=posix '" + library + "'";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream fields(line);
        std::string name;
        fields >> name;
        names.insert(name);
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    return names;
}

class PluginFrame : public ::testing::TestWithParam<std::string> {};

TEST_P(PluginFrame, ExportsOnlyPluginSymbols)
{
    std::set<std::string> expected{"plugin_register", "plugin_version", "plugin_want_major",
                                   "plugin_want_minor"};
#ifdef OVK_PLUGIN_DESCRIBE
    expected.insert("plugin_describe");
#endif
    EXPECT_EQ(exported_symbols(plugin_dir + GetParam() + ".so"), expected);
}

TEST_P(PluginFrame, ReportsVersionAndAnalyserSeries)
{
    void *library = dlopen((plugin_dir + GetParam() + ".so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const auto *version = static_cast<const char *>(dlsym(library, "plugin_version"));
    const auto *major = static_cast<const int *>(dlsym(library, "plugin_want_major"));
    const auto *minor = static_cast<const int *>(dlsym(library, "plugin_want_minor"));
    ASSERT_NE(version, nullptr);
    ASSERT_NE(major, nullptr);
    ASSERT_NE(minor, nullptr);
    EXPECT_STREQ(version, "0.0.1");
    EXPECT_EQ(*major, WIRESHARK_VERSION_MAJOR);
    EXPECT_EQ(*minor, WIRESHARK_VERSION_MINOR);
    EXPECT_NE(dlsym(library, "plugin_register"), nullptr);
    EXPECT_EQ(dlsym(library, ("dissect_" + GetParam()).c_str()), nullptr);
#ifdef OVK_PLUGIN_DESCRIBE
    const auto describe = reinterpret_cast<uint32_t (*)(void)>(dlsym(library, "plugin_describe"));
    ASSERT_NE(describe, nullptr);
    EXPECT_EQ(describe(), WS_PLUGIN_DESC_DISSECTOR);
#endif
    dlclose(library);
}

INSTANTIATE_TEST_SUITE_P(Plugins, PluginFrame, ::testing::Values("ovk5", "ovk5seq"));

} // namespace
