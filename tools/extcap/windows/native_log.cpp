// SPDX-License-Identifier: GPL-2.0-or-later
#include <wsutil/wslog.h>

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "wiretap_compat.h"

namespace {

ws_log_level active_level = LOG_LEVEL_MESSAGE;
FILE *custom_file = nullptr;
ws_log_writer_cb *console_writer = nullptr;
const char *program_name = "ovk5dump";

const char *level_name(ws_log_level level)
{
    switch (level) {
    case LOG_LEVEL_NOISY: return "noisy";
    case LOG_LEVEL_DEBUG: return "debug";
    case LOG_LEVEL_INFO: return "info";
    case LOG_LEVEL_MESSAGE: return "message";
    case LOG_LEVEL_WARNING: return "warning";
    case LOG_LEVEL_CRITICAL: return "critical";
    case LOG_LEVEL_ERROR: return "error";
    default: return "";
    }
}

} // namespace

void ovk_log_init(const char *program)
{
    program_name = program;
}

ws_log_level ws_log_set_level_str(const char *name)
{
    for (int level = LOG_LEVEL_NOISY; level <= LOG_LEVEL_ERROR; ++level) {
        if (_stricmp(name, level_name(static_cast<ws_log_level>(level))) == 0) {
            active_level = static_cast<ws_log_level>(level);
            return active_level;
        }
    }
    return LOG_LEVEL_NONE;
}

void ws_log_set_writer(ws_log_writer_cb *writer)
{
    console_writer = writer;
}

void ws_log_add_custom_file(FILE *file)
{
    custom_file = file;
}

void ovk_native_log(ws_log_level level, const char *format, ...)
{
    if (level < active_level)
        return;
    timespec now{};
    now.tv_sec = std::time(nullptr);
    if (console_writer) {
        va_list args;
        va_start(args, format);
        console_writer(program_name, level, now, nullptr, 0, nullptr, format, args, nullptr);
        va_end(args);
    }
    char time_text[16];
    std::strftime(time_text, sizeof time_text, "%H:%M:%S", std::localtime(&now.tv_sec));
    for (FILE *out : {console_writer ? nullptr : stderr, custom_file}) {
        if (!out)
            continue;
        std::fprintf(out, " ** (%s) %s [%s %s] -- ", program_name, time_text, program_name, level_name(level));
        va_list args;
        va_start(args, format);
        std::vfprintf(out, format, args);
        va_end(args);
        std::fputc('\n', out);
        std::fflush(out);
    }
}
