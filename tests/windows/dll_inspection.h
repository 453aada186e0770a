// SPDX-License-Identifier: GPL-2.0-or-later
// What Windows' loader, the analyser's plug-in loader and the file
// properties dialog see in a cross-built DLL, as binutils' mingw-w64 tools
// (objdump, windres) read it from the file.
#ifndef OVK_DLL_INSPECTION_H
#define OVK_DLL_INSPECTION_H

#include <map>
#include <set>
#include <string>
#include <vector>

struct PeHeaders {
    std::string file_format; // "pei-x86-64" for a 64-bit x86 image
    bool dll = false;
    std::set<std::string> exports; // by name
    // Functions imported by name, by DLL name as the image spells it.
    std::map<std::string, std::set<std::string>> imports;
};

struct VersionResource {
    int count = 0;        // VERSIONINFO resources in the file
    std::string language; // "<primary>, <sub>" of the resource
    // FILEVERSION, PRODUCTVERSION, FILEOS, FILETYPE... as windres prints them.
    std::map<std::string, std::string> fixed;
    // String tables by key ("040904b0"): name to value.
    std::map<std::string, std::map<std::string, std::string>> strings;
    std::vector<std::string> translations; // "0x409, 1200"
};

PeHeaders read_pe_headers(const std::string &dll);
VersionResource read_version_resource(const std::string &dll);

// The functions and variables a Linux shared library exports (nm -D).
std::set<std::string> read_linux_exports(const std::string &library);

#endif
