// SPDX-License-Identifier: GPL-2.0-or-later
#include <wsutil/cpu_info.h>
#include <wsutil/os_version_info.h>

#include <windows.h>

void get_cpu_info(GString *text)
{
    char name[256];
    DWORD size = sizeof name;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
                     "ProcessorNameString", RRF_RT_REG_SZ, nullptr, name, &size) == ERROR_SUCCESS) {
        text->text += name;
        text->str = text->text.data();
    }
}

void get_os_version_info(GString *text)
{
    // GetVersionEx answers what the manifest allows; ntdll tells the truth.
    using RtlGetVersion = LONG(WINAPI *)(OSVERSIONINFOW *);
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    auto *get = reinterpret_cast<RtlGetVersion>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (!get || get(&version) != 0)
        return;
    text->text += "Windows " + std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion)
                  + ", build " + std::to_string(version.dwBuildNumber);
    text->str = text->text.data();
}
