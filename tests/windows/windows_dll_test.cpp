// SPDX-License-Identifier: GPL-2.0-or-later
// The cross-built Windows DLLs as Windows' loader, the analyser's plug-in
// loader and the file properties dialog see them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "dll_inspection.h"
#include "wireshark_compat.h"

namespace {

struct PluginDll {
    std::string name;
    bool frees_with_g_free; // memory the analyser allocated with g_malloc
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

// What every Windows has beside the C runtime, for the programs.
bool is_system(const std::string &dll)
{
    static const std::set<std::string> system{"advapi32.dll", "shell32.dll", "version.dll", "ws2_32.dll",
                                              "iphlpapi.dll", "user32.dll"};
    return is_c_runtime_or_system(dll) || system.count(dll) > 0;
}

// The analyser's DLLs a plug-in may import from, by DLL name, each with
// what the Linux library of this series (the build's) exports.
const std::map<std::string, std::set<std::string>> &analyser_exports()
{
    static const std::map<std::string, std::set<std::string>> exports = [] {
        std::map<std::string, std::set<std::string>> by_dll;
        std::istringstream pairs(OVK_ANALYSER_LIBRARIES);
        for (std::string pair; std::getline(pairs, pair, '|'); ) {
            const std::size_t equals = pair.find('=');
            by_dll[pair.substr(0, equals)] = read_linux_exports(pair.substr(equals + 1));
        }
        return by_dll;
    }();
    return exports;
}

std::string exporters_of(const std::string &function)
{
    std::string dlls;
    for (const auto &entry : analyser_exports()) {
        if (entry.second.count(function))
            dlls += (dlls.empty() ? "" : ", ") + entry.first;
    }
    return dlls.empty() ? "none of the analyser's libraries" : dlls;
}

std::map<std::string, std::set<std::string>> imports_of(const std::string &dll)
{
    std::map<std::string, std::set<std::string>> imports;
    for (const auto &entry : read_pe_headers(dll).imports)
        imports[lower(entry.first)] = entry.second;
    return imports;
}

// What the import checks below rest on: each library's exports read, and
// functions that moved between libraries found where this series has them.
TEST(AnalyserLibraries, KnownFunctionsAreExportedByTheirLibraryAlone)
{
    for (const auto &entry : analyser_exports())
        EXPECT_FALSE(entry.second.empty()) << entry.first;
    EXPECT_EQ(exporters_of("proto_register_protocol"), "libwireshark.dll");
    EXPECT_EQ(exporters_of("wtap_open_offline"), "libwiretap.dll");
    EXPECT_EQ(exporters_of("wmem_alloc"), "libwsutil.dll"); // libwireshark's until 3.6
    EXPECT_EQ(exporters_of("g_free"), "glib-2.0-0.dll");
}

// Each analyser function imported from the DLL that exports it; returns
// how many were checked.
std::size_t expect_analyser_imports_exported(const std::string &path)
{
    std::size_t checked = 0;
    for (const auto &entry : imports_of(path)) {
        const auto exports = analyser_exports().find(entry.first);
        if (exports == analyser_exports().end())
            continue;
        for (const std::string &function : entry.second) {
            ++checked;
            EXPECT_EQ(exports->second.count(function), 1u)
                << path << ": " << function << " is imported from " << entry.first << " but exported by "
                << exporters_of(function);
        }
    }
    return checked;
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

// Windows refuses to load a DLL whose imported DLLs are not all installed:
// only the analyser's own DLLs, under the names its Windows installers
// give them, the C runtime and the system.
TEST_P(WindowsDll, ImportsTheAnalyserAndOtherwiseOnlyTheCRuntimeAndSystem)
{
    const auto imports = imports_of(path());

    // Above all no compiler runtime DLLs (libstdc++, libgcc, winpthread),
    // which a Wireshark installation does not have.
    for (const auto &entry : imports) {
        EXPECT_TRUE(analyser_exports().count(entry.first) || is_c_runtime_or_system(entry.first))
            << "imports " << entry.first;
    }

    EXPECT_EQ(imports.count("libwireshark.dll"), 1u);
    if (GetParam().frees_with_g_free) {
        ASSERT_EQ(imports.count("glib-2.0-0.dll"), 1u);
        EXPECT_EQ(imports.at("glib-2.0-0.dll").count("g_free"), 1u);
    }
}

// Windows also refuses a DLL whose imported function the named DLL does not
// export, and functions move between the analyser's libraries.
TEST_P(WindowsDll, ImportsEachAnalyserFunctionFromTheLibraryThatExportsIt)
{
    EXPECT_GT(expect_analyser_imports_exported(path()), 0u);
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

// The programs: the ones run from anywhere (the ovk5-export launcher, the
// extcap) import the system's DLLs alone, so they start without
// Wireshark's folder on the search path; the exporter's DLLs are built
// like the plug-ins.
struct ToolImage {
    std::string path;  // below the cross build
    bool dll;
    std::string export_name;  // the one export of a DLL
};

void PrintTo(const ToolImage &image, std::ostream *os)
{
    *os << image.path;
}

class WindowsTool : public ::testing::TestWithParam<ToolImage> {
protected:
    std::string path() const { return OVK_WINDOWS_BUILD_DIR "/" + GetParam().path; }
};

TEST_P(WindowsTool, IsAn64BitX86ImageImportingOnlyWhatWindowsOrTheAnalyserHas)
{
    const PeHeaders headers = read_pe_headers(path());
    EXPECT_EQ(headers.file_format, "pei-x86-64");
    EXPECT_EQ(headers.dll, GetParam().dll);
    const auto imports = imports_of(path());
    for (const auto &entry : imports) {
        if (GetParam().dll)
            EXPECT_TRUE(analyser_exports().count(entry.first) || is_c_runtime_or_system(entry.first))
                << "imports " << entry.first;
        else
            EXPECT_TRUE(is_system(entry.first)) << "imports " << entry.first;
    }
    if (GetParam().dll) {
        EXPECT_EQ(headers.exports, std::set<std::string>{GetParam().export_name});
        EXPECT_GT(expect_analyser_imports_exported(path()), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Programs, WindowsTool,
    ::testing::Values(ToolImage{"extcap/ovk5dump.exe", false, ""},
                      ToolImage{"tools/ovk5-export/ovk5-export.exe", false, ""},
                      ToolImage{"tools/ovk5-export/" OVK_WIRESHARK_SERIES_DIR "/ovk5-export.dll", true,
                                "ovk5_export_main"},
                      ToolImage{"tools/ovk5-export/" OVK_WIRESHARK_SERIES_DIR "/ovk5-export-dissection.dll", true,
                                "ovk_export_dissection_new"}),
    [](const ::testing::TestParamInfo<ToolImage> &info) {
        std::string name = info.param.path.substr(info.param.path.rfind('/') + 1);
        for (char &c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

} // namespace
