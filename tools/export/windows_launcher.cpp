// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5-export.exe on Windows. The exporter itself (ovk5-export.dll) imports
// the analyser's DLLs, which live in Wireshark's program folder, and is
// built once per release series. Installed for one user, without rights
// to that folder, this launcher finds the installed Wireshark and its
// series, lets the loader search its folder, and hands over to the build
// of that series in the subfolder named after it ("4.4\ovk5-export.dll").
// It imports nothing but the system's DLLs, so that it always starts.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring folder_of(const std::wstring &path)
{
    const std::wstring::size_type separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? L"." : path.substr(0, separator);
}

bool exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring registry_string(HKEY root, const wchar_t *key, const wchar_t *value)
{
    wchar_t data[MAX_PATH * 2];
    DWORD size = sizeof data;
    if (RegGetValueW(root, key, value, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
        return {};
    std::wstring text(data);
    while (!text.empty() && (text.back() == L'\\' || text.back() == L'"'))
        text.pop_back();
    if (!text.empty() && text.front() == L'"')
        text.erase(0, 1);
    return text;
}

// Wireshark's folder: OVK_WIRESHARK_DIR, this program's own folder when it
// was copied there, else the folder Wireshark's installer recorded.
std::wstring analyser_folder(const std::wstring &own_folder)
{
    wchar_t named[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableW(L"OVK_WIRESHARK_DIR", named, MAX_PATH * 2);
    if (length > 0 && length < MAX_PATH * 2)
        return named;
    if (exists(own_folder + L"\\libwireshark.dll"))
        return own_folder;
    const wchar_t *uninstall = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Wireshark";
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        const std::wstring folder = registry_string(root, uninstall, L"InstallLocation");
        if (!folder.empty() && exists(folder + L"\\libwireshark.dll"))
            return folder;
    }
    return {};
}

// "major.minor" of libwireshark.dll, from its version resource.
std::wstring analyser_series(const std::wstring &folder)
{
    const std::wstring dll = folder + L"\\libwireshark.dll";
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(dll.c_str(), &handle);
    if (size == 0)
        return {};
    std::vector<unsigned char> data(size);
    VS_FIXEDFILEINFO *info = nullptr;
    UINT info_size = 0;
    if (!GetFileVersionInfoW(dll.c_str(), 0, size, data.data())
        || !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&info), &info_size) || !info)
        return {};
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS));
}

std::string utf8(const std::wstring &text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(length > 0 ? length : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), length, nullptr, nullptr);
    bytes.resize(bytes.size() - 1);
    return bytes;
}

int fail(const std::string &message)
{
    std::fprintf(stderr, "ovk5-export: %s\n", message.c_str());
    return 1;
}

} // namespace

int main()
{
    wchar_t own_path[MAX_PATH * 2];
    const DWORD own_length = GetModuleFileNameW(nullptr, own_path, MAX_PATH * 2);
    if (own_length == 0 || own_length >= MAX_PATH * 2)
        return fail("cannot find this program's folder");
    const std::wstring own_folder = folder_of(own_path);

    const std::wstring folder = analyser_folder(own_folder);
    if (folder.empty())
        return fail("no Wireshark installation found (set OVK_WIRESHARK_DIR to the folder of Wireshark.exe)");
    const std::wstring series = analyser_series(folder);
    if (series.empty())
        return fail("cannot tell the Wireshark version of " + utf8(folder) + "\\libwireshark.dll");
    const std::wstring exporter = own_folder + L"\\" + series + L"\\ovk5-export.dll";
    if (!exists(exporter))
        return fail("this installation has no ovk5-export for Wireshark " + utf8(series) + " (" + utf8(folder)
                    + "); install the plug-ins' package for that series");

    // The analyser's DLLs are found in its folder, before any others of
    // the same name on the search path.
    SetDllDirectoryW(folder.c_str());
    HMODULE module = LoadLibraryExW(exporter.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module)
        return fail("cannot load " + utf8(exporter) + " with the DLLs of " + utf8(folder) + " (Windows error "
                    + std::to_string(GetLastError()) + ")");
    using Main = int (*)(int, char **);
    auto *run = reinterpret_cast<Main>(reinterpret_cast<void *>(GetProcAddress(module, "ovk5_export_main")));
    if (!run)
        return fail(utf8(exporter) + " is broken: no ovk5_export_main");

    int argc = 0;
    wchar_t **wide_argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!wide_argv)
        return fail("cannot read the command line");
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(utf8(wide_argv[i]));
    LocalFree(wide_argv);
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return run(argc, argv.data());
}
