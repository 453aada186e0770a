// SPDX-License-Identifier: GPL-2.0-or-later
// The cross-built Windows DLLs as Windows' loader, the analyser's plug-in
// loader and the file properties dialog see them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "dll_inspection.h"
#include "wireshark_compat.h"

namespace {

struct PluginDll {
    std::string name;
    bool calls_glib; // frees memory the analyser allocated with g_malloc
};

void PrintTo(const PluginDll &dll, std::ostream *os)
{
    *os << dll.name;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool is_c_runtime_or_system(const std::string &dll)
{
    return dll == "kernel32.dll" || dll == "msvcrt.dll" || dll == "ucrtbase.dll" ||
           dll.rfind("api-ms-win-crt-", 0) == 0;
}

class WindowsDll : public ::testing::TestWithParam<PluginDll> {
protected:
    std::string path() const { return OVK_WINDOWS_PLUGIN_DIR "/" + GetParam().name + ".dll"; }
};

TEST_P(WindowsDll, IsAn64BitX86DllExportingThePluginSymbolsByName)
{
    const PeHeaders headers = read_pe_headers(path());
    EXPECT_EQ(headers.file_format, "pei-x86-64");
    EXPECT_TRUE(headers.dll);
    std::set<std::string> expected{"plugin_register", "plugin_version", "plugin_want_major",
                                   "plugin_want_minor"};
#ifdef OVK_PLUGIN_DESCRIBE
    expected.insert("plugin_describe");
#endif
    EXPECT_EQ(headers.exports, expected);
}

TEST_P(WindowsDll, ImportsTheAnalyserAndOtherwiseOnlyTheCRuntimeAndSystem)
{
    std::map<std::string, std::set<std::string>> imports;
    for (const auto &entry : read_pe_headers(path()).imports)
        imports[lower(entry.first)] = entry.second;

    EXPECT_EQ(imports.count("libwireshark.dll"), 1u);
    EXPECT_EQ(imports.count("libwsutil.dll"), 1u);
    if (GetParam().calls_glib) {
        EXPECT_EQ(imports["libglib-2.0-0.dll"], std::set<std::string>{"g_free"});
    } else {
        EXPECT_EQ(imports.count("libglib-2.0-0.dll"), 0u);
    }

    // Above all no compiler runtime DLLs (libstdc++, libgcc, winpthread),
    // which a Wireshark installation does not have.
    for (const auto &entry : imports) {
        if (entry.first == "libwireshark.dll" || entry.first == "libwsutil.dll" ||
            entry.first == "libglib-2.0-0.dll")
            continue;
        EXPECT_TRUE(is_c_runtime_or_system(entry.first)) << "imports " << entry.first;
    }
}

TEST_P(WindowsDll, VersionResourceNamesPluginVersionAndAnalyser)
{
    const std::string &name = GetParam().name;
    const VersionResource resource = read_version_resource(path());

    ASSERT_EQ(resource.count, 1);
    EXPECT_EQ(resource.language, "9, 1"); // English (United States), 0409
    EXPECT_EQ(resource.translations, std::vector<std::string>{"0x409, 1200"});
    ASSERT_EQ(resource.strings.size(), 1u);
    ASSERT_EQ(resource.strings.count("040904b0"), 1u);

    std::map<std::string, std::string> strings = resource.strings.at("040904b0");
    for (const char *free_text : {"CompanyName", "LegalCopyright", "Comments"}) {
        EXPECT_FALSE(strings[free_text].empty()) << free_text;
        strings.erase(free_text);
    }
    EXPECT_EQ(strings, (std::map<std::string, std::string>{
                           {"FileDescription", name + " dissector"},
                           {"FileVersion", "0.0.1.0"},
                           {"InternalName", name + " 0.0.1.0"},
                           {"OriginalFilename", name + ".dll"},
                           {"ProductName", "Wireshark"},
                           {"ProductVersion", OVK_WIRESHARK_VERSION},
                       }));

    EXPECT_EQ(resource.fixed.at("FILEVERSION"), "0, 0, 1, 0");
    EXPECT_EQ(resource.fixed.at("PRODUCTVERSION"), OVK_WIRESHARK_NUMERIC_VERSION);
    EXPECT_EQ(resource.fixed.at("FILETYPE"), "0x2"); // VFT_DLL
}

INSTANTIATE_TEST_SUITE_P(Plugins, WindowsDll,
                         ::testing::Values(PluginDll{"ovk5", true}, PluginDll{"ovk5seq", false}),
                         [](const ::testing::TestParamInfo<PluginDll> &info) { return info.param.name; });

} // namespace
