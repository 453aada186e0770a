// SPDX-License-Identifier: GPL-2.0-or-later
// SafeOutput on Windows: names are UTF-8 (as the analyser's libraries take
// them); the writer opens the file itself (write_path()), so no descriptor
// of this program's C runtime is handed over. Symbolic links are followed
// to their target, named pipes and devices are written straight into, and
// Ctrl-C or closing the console removes the temporary file.
#include "safe_output.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

namespace ovk {

namespace {

constexpr int max_pending = 32;
enum : int { slot_free, slot_filling, slot_pending };
std::atomic<int> slot_state[max_pending];
wchar_t slot_path[max_pending][MAX_PATH * 4];

std::wstring wide(const std::string &utf8)
{
    if (utf8.empty())
        return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), length);
    return text;
}

std::string narrow(const std::wstring &text)
{
    if (text.empty())
        return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), length, nullptr,
                        nullptr);
    return utf8;
}

std::string system_message(DWORD code)
{
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                            | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::string message = length ? narrow(std::wstring(buffer, length)) : "error " + std::to_string(code);
    LocalFree(buffer);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

int register_pending(const std::wstring &path)
{
    if (path.size() >= MAX_PATH * 4)
        return -1;
    for (int i = 0; i < max_pending; ++i) {
        int expected = slot_free;
        if (slot_state[i].compare_exchange_strong(expected, slot_filling)) {
            std::memcpy(slot_path[i], path.c_str(), (path.size() + 1) * sizeof(wchar_t));
            slot_state[i].store(slot_pending);
            return i;
        }
    }
    return -1;
}

void unregister_pending(int slot)
{
    if (slot >= 0)
        slot_state[slot].store(slot_free);
}

// Runs on a thread of its own; returning FALSE lets the default handler
// end the process.
BOOL WINAPI remove_pending(DWORD)
{
    for (int i = 0; i < max_pending; ++i)
        if (slot_state[i].load() == slot_pending)
            DeleteFileW(slot_path[i]);
    return FALSE;
}

// The file a link finally names; the name itself when it is no link or
// does not exist yet.
std::wstring resolve_links(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return path;
    HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return path;  // a dangling link: writing its name fails with the reason
    wchar_t final_path[MAX_PATH * 4];
    const DWORD length = GetFinalPathNameByHandleW(file, final_path, MAX_PATH * 4, FILE_NAME_NORMALIZED);
    CloseHandle(file);
    if (length == 0 || length >= MAX_PATH * 4)
        return path;
    return std::wstring(final_path, length);
}

bool is_device_name(const std::wstring &path)
{
    return path.rfind(L"\\\\.\\", 0) == 0 || path.rfind(L"//./", 0) == 0;
}

} // namespace

SafeOutput::~SafeOutput()
{
    abandon();
}

bool SafeOutput::fail(int error_number, std::string *error)
{
    abandon();
    if (error)
        *error = "cannot write " + display_name_ + ": "
                 + (error_number < 0 ? system_message(static_cast<DWORD>(-error_number))
                                     : std::string(std::strerror(error_number)));
    return false;
}

bool SafeOutput::open(const std::string &path, std::string *error)
{
    abandon();
    fd_ = -1;
    owns_fd_ = false;
    temp_path_.clear();
    if (path == "-") {
        display_name_ = "standard output";
        target_.clear();
        write_path_ = "-";
        return true;
    }
    display_name_ = path;
    const std::wstring target = resolve_links(wide(path));
    target_ = narrow(target);
    write_path_ = target_;
    if (is_device_name(target))
        return true;

    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            return fail(EISDIR, error);
        // A file its owner made read-only is not replaced behind their back.
        if (attributes & FILE_ATTRIBUTE_READONLY)
            return fail(EACCES, error);
    }

    // Unique beside the target, so that the rename stays on its volume.
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        wchar_t suffix[16];
        swprintf(suffix, 16, L".%06x", static_cast<unsigned>(random() & 0xffffff));
        const std::wstring name = target + suffix + L".partial";
        HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS)
                continue;
            return fail(-static_cast<int>(GetLastError()), error);
        }
        CloseHandle(file);
        temp_path_ = narrow(name);
        write_path_ = temp_path_;
        slot_ = register_pending(name);
        if (slot_ < 0)
            return fail(EMFILE, error);
        return true;
    }
    return fail(EEXIST, error);
}

int SafeOutput::release_fd()
{
    owns_fd_ = false;
    return fd_;
}

bool SafeOutput::commit(std::string *error)
{
    if (temp_path_.empty())
        return true;
    const std::wstring temp = wide(temp_path_);
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return fail(-static_cast<int>(GetLastError()), error);
    const BOOL flushed = FlushFileBuffers(file);
    const DWORD flush_error = GetLastError();
    CloseHandle(file);
    if (!flushed)
        return fail(-static_cast<int>(flush_error), error);
    if (!MoveFileExW(temp.c_str(), wide(target_).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return fail(-static_cast<int>(GetLastError()), error);
    unregister_pending(slot_);
    slot_ = -1;
    temp_path_.clear();
    return true;
}

void SafeOutput::abandon()
{
    if (temp_path_.empty())
        return;
    DeleteFileW(wide(temp_path_).c_str());
    unregister_pending(slot_);
    slot_ = -1;
    temp_path_.clear();
}

void install_output_cleanup_handlers()
{
    SetConsoleCtrlHandler(remove_pending, TRUE);
}

} // namespace ovk
