// SPDX-License-Identifier: GPL-2.0-or-later
#include "dissection.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace ovk {

namespace {

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
        return start_result_;
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
    start_result_ = engine_->start(settings, error);
    return start_result_;
}

Dissection::~Dissection()
{
    // The engine goes; the module stays mapped to the end of the process,
    // as libwireshark's own exit handlers may still refer to it.
    delete engine_;
}

} // namespace ovk
