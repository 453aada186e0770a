// SPDX-License-Identifier: GPL-2.0-or-later
#include "help_url.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace ovk {

namespace {

std::string program_folder()
{
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return {};
    const std::string program(path, static_cast<std::size_t>(length));
    return program.substr(0, program.rfind('/'));
}

std::string as_file_url(const std::string &path)
{
    static const char safe[] = "-._~/!$&'()*+,;=:@";
    std::string url = "file://";
    for (const unsigned char c : path) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           std::string(safe).find(static_cast<char>(c)) != std::string::npos;
        if (plain) {
            url += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            url += escaped;
        }
    }
    return url;
}

} // namespace

std::string help_url()
{
    const std::string installed = OVK_DOC_DIR "/README.md";
    std::string candidates[] = {{}, installed, OVK_SOURCE_README};
    const std::string folder = program_folder();
    if (!folder.empty())
        candidates[0] = folder + "/" OVK_DOC_FROM_EXTCAP "/README.md";
    for (const std::string &candidate : candidates) {
        char *found = candidate.empty() ? nullptr : realpath(candidate.c_str(), nullptr);
        if (found && access(found, R_OK) == 0) {
            const std::string url = as_file_url(found);
            std::free(found);
            return url;
        }
        std::free(found);
    }
    return as_file_url(installed);
}

} // namespace ovk
