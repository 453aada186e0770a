// SPDX-License-Identifier: GPL-2.0-or-later
// The README the installer puts beside ovk5-export, for the Help button of
// Wireshark's options dialog; nothing when it is not there (the zip's
// copy, wherever its user unpacked it, cannot be found).
#include "../help_url.h"

#include <windows.h>

#include <cstdio>

namespace ovk {

std::string help_url()
{
    wchar_t folder[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return {};
    const std::wstring readme = std::wstring(folder) + L"\\Programs\\OVK5\\README.md";
    if (GetFileAttributesW(readme.c_str()) == INVALID_FILE_ATTRIBUTES)
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, readme.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string path(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, readme.c_str(), -1, path.data(), size, nullptr, nullptr);
    path.resize(path.size() - 1);
    std::string url = "file:///";
    for (const unsigned char c : path) {
        if (c == '\\') {
            url += '/';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                   || std::string("-._~:/").find(static_cast<char>(c)) != std::string::npos) {
            url += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            url += escaped;
        }
    }
    return url;
}

} // namespace ovk
