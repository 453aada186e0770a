// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5dump.exe stands alone (no Wireshark DLLs, whatever the series): the
// part of Wireshark's logging it uses, written by windows/native_log.cpp
// in the same form to standard error and the --log-file.
#ifndef OVK_WINDOWS_WSLOG_H
#define OVK_WINDOWS_WSLOG_H

#include <cstdio>

enum ws_log_level {
    LOG_LEVEL_NONE,
    LOG_LEVEL_NOISY,
    LOG_LEVEL_DEBUG,
    LOG_LEVEL_INFO,
    LOG_LEVEL_MESSAGE,
    LOG_LEVEL_WARNING,
    LOG_LEVEL_CRITICAL,
    LOG_LEVEL_ERROR,
};

#include <cstdarg>
#include <ctime>

// Takes the place of the console (standard error); the log file still gets
// every message. Wireshark 4.0's signature (see OVK_WIRESHARK_AT_LEAST in
// ../wiretap_compat.h).
typedef void(ws_log_writer_cb)(const char *domain, enum ws_log_level level, struct timespec timestamp,
                               const char *file, long line, const char *function, const char *user_format,
                               va_list user_ap, void *user_data);
void ws_log_set_writer(ws_log_writer_cb *writer);

enum ws_log_level ws_log_set_level_str(const char *name);
void ws_log_add_custom_file(FILE *file);
void ovk_native_log(enum ws_log_level level, const char *format, ...) __attribute__((format(gnu_printf, 2, 3)));

#define ws_noisy(...) ovk_native_log(LOG_LEVEL_NOISY, __VA_ARGS__)
#define ws_debug(...) ovk_native_log(LOG_LEVEL_DEBUG, __VA_ARGS__)
#define ws_info(...) ovk_native_log(LOG_LEVEL_INFO, __VA_ARGS__)
#define ws_message(...) ovk_native_log(LOG_LEVEL_MESSAGE, __VA_ARGS__)
#define ws_warning(...) ovk_native_log(LOG_LEVEL_WARNING, __VA_ARGS__)

#endif
