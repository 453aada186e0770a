// SPDX-License-Identifier: GPL-2.0-or-later
#include "dissection.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace ovk {

namespace {

#ifdef _WIN32
// Beside the DLL this code is in: the launcher has made the analyser's
// folder one the loader searches for the module's own imports.
HMODULE load_module(std::string *error)
{
    HMODULE self = nullptr;
    wchar_t path[MAX_PATH * 4];
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&load_module), &self)
        || !GetModuleFileNameW(self, path, MAX_PATH * 4)) {
        *error = "cannot find the dissection module's folder";
        return nullptr;
    }
    std::wstring module_path(path);
    module_path = module_path.substr(0, module_path.find_last_of(L"\\/") + 1) + L"ovk5-export-dissection.dll";
    HMODULE module = LoadLibraryExW(module_path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module)
        *error = "cannot load the dissection module ovk5-export-dissection.dll (Windows error "
                 + std::to_string(GetLastError()) + ")";
    return module;
}

} // namespace

StartResult Dissection::start(const DissectionSettings &settings, std::string *error)
{
    if (engine_)
        return StartResult::started;
    HMODULE module = load_module(error);
    if (!module)
        return StartResult::failed;
    module_ = module;
    auto *factory = reinterpret_cast<PacketDissection *(*)()>(
        reinterpret_cast<void *>(GetProcAddress(module, ovk_export_dissection_factory)));
    if (!factory) {
        *error = "the dissection module is broken: no " + std::string(ovk_export_dissection_factory);
        return StartResult::failed;
    }
    engine_ = factory();
    return engine_->start(settings, error);
}
#else
constexpr const char module_name[] = "ovk5-export-dissection.so";

std::string executable_folder()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return ".";
    const std::string executable(path, static_cast<std::size_t>(length));
    return executable.substr(0, executable.rfind('/'));
}

} // namespace

StartResult Dissection::start(const DissectionSettings &settings, std::string *error)
{
    if (engine_)
        return StartResult::started;
    // Beside the executable in the build tree; installed, where the install
    // rules put it relative to the executable's folder.
    const std::string folder = executable_folder();
    std::string tried;
    for (const std::string &candidate : {folder + "/" + module_name,
                                         folder + "/" + OVK_EXPORT_MODULE_FROM_BINDIR + "/" + module_name}) {
        if (access(candidate.c_str(), F_OK) != 0) {
            tried += (tried.empty() ? "" : ", ") + candidate;
            continue;
        }
        module_ = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module_) {
            *error = std::string("cannot load the dissection module: ") + dlerror();
            return StartResult::failed;
        }
        break;
    }
    if (!module_) {
        *error = "the dissection module is missing (looked for " + tried + ")";
        return StartResult::failed;
    }
    auto *factory = reinterpret_cast<PacketDissection *(*)()>(dlsym(module_, ovk_export_dissection_factory));
    if (!factory) {
        *error = std::string("the dissection module is broken: ") + dlerror();
        return StartResult::failed;
    }
    engine_ = factory();
    return engine_->start(settings, error);
}
#endif

Dissection::~Dissection()
{
    // The engine goes; the module stays mapped to the end of the process,
    // as libwireshark's own exit handlers may still refer to it.
    delete engine_;
}

} // namespace ovk
