// SPDX-License-Identifier: GPL-2.0-or-later
#include "dll_inspection.h"

#include <cstdio>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace {

std::string output_of(const std::string &command)
{
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run " + command);
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0; )
        output.append(buffer, n);
    if (pclose(pipe) != 0)
        throw std::runtime_error(command + " failed:\n" + output);
    return output;
}

std::string quoted(const std::string &path)
{
    return "'" + path + "'";
}

} // namespace

PeHeaders read_pe_headers(const std::string &dll)
{
    static const std::regex format(R"re(file format (\S+))re");
    static const std::regex import_dll(R"re(^\s*DLL Name: (\S+))re");
    // objdump up to binutils 2.40 (Debian 12) lists "vma hint name" and
    // "[n] name"; later ones "vma <none> hint name" and "[n] +base[m] hint name".
    static const std::regex import_function(R"re(^\s*[0-9a-f]+\s+(?:\d+|<none>\s+[0-9a-f]+)\s+(\S+)$)re");
    static const std::regex export_name(R"re(^\s*\[\s*\d+\](?:\s+\+base\[\s*\d+\]\s+[0-9a-f]+)?\s+(\S+)$)re");

    PeHeaders headers;
    std::istringstream lines(output_of(OVK_MINGW_OBJDUMP " -p " + quoted(dll)));
    enum { other, characteristics, import_list, export_list } section = other;
    std::set<std::string> *functions = nullptr;
    std::smatch m;
    for (std::string line; std::getline(lines, line); ) {
        if (line.empty()) {
            section = other;
        } else if (std::regex_search(line, m, format)) {
            headers.file_format = m[1];
        } else if (line.rfind("Characteristics ", 0) == 0) {
            section = characteristics;
        } else if (section == characteristics && line == "\tDLL") {
            headers.dll = true;
        } else if (std::regex_search(line, m, import_dll)) {
            functions = &headers.imports[m[1]];
            section = import_list;
        } else if (section == import_list && std::regex_search(line, m, import_function)) {
            functions->insert(m[1]);
        } else if (line.rfind("[Ordinal/Name Pointer] Table", 0) == 0) {
            section = export_list;
        } else if (section == export_list && std::regex_search(line, m, export_name)) {
            headers.exports.insert(m[1]);
        }
    }
    return headers;
}

VersionResource read_version_resource(const std::string &dll)
{
    static const std::regex language(R"re(^LANGUAGE (\d+, \d+)$)re");
    static const std::regex fixed(R"re(^\s*(FILE\w+|PRODUCTVERSION) (.+)$)re");
    static const std::regex block(R"re(^\s*BLOCK "([^"]*)")re");
    static const std::regex translation(R"re(^\s*VALUE "Translation", (.+)$)re");
    static const std::regex string_value(R"re(^\s*VALUE "([^"]*)", "(.*)"$)re");

    VersionResource resource;
    std::istringstream lines(output_of(OVK_MINGW_WINDRES " --input " + quoted(dll) +
                                       " --input-format coff --output-format rc"));
    std::string last_language;
    std::map<std::string, std::string> *table = nullptr;
    std::smatch m;
    for (std::string line; std::getline(lines, line); ) {
        if (std::regex_search(line, m, language)) {
            last_language = m[1];
        } else if (line.size() > 12 && line.compare(line.size() - 12, 12, " VERSIONINFO") == 0) {
            ++resource.count;
            resource.language = last_language;
        } else if (std::regex_search(line, m, fixed)) {
            resource.fixed[m[1]] = m[2];
        } else if (std::regex_search(line, m, block)) {
            table = m[1] == "StringFileInfo" || m[1] == "VarFileInfo" ? nullptr : &resource.strings[m[1]];
        } else if (std::regex_search(line, m, translation)) {
            resource.translations.push_back(m[1]);
        } else if (table && std::regex_search(line, m, string_value)) {
            (*table)[m[1]] = m[2];
        }
    }
    return resource;
}

std::set<std::string> read_linux_exports(const std::string &library)
{
    // "<address> <type> <name>[@version]"; --defined-only leaves out what
    // the library itself imports.
    static const std::regex symbol(R"re(^[0-9a-fA-F]* [A-Za-z] ([^@\s]+))re");
    std::set<std::string> exports;
    std::istringstream lines(output_of(OVK_NM " -D --defined-only " + quoted(library)));
    std::smatch m;
    for (std::string line; std::getline(lines, line); ) {
        if (std::regex_search(line, m, symbol))
            exports.insert(m[1]);
    }
    return exports;
}
