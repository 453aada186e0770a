// SPDX-License-Identifier: GPL-2.0-or-later
// Plays dumpcap's part for ovk5dump.exe under Wine: makes the named pipe,
// waits for the extcap to open it, copies what arrives into a file until
// nothing has come for a while after the first bytes, then closes its end.
//
//   pipe_reader.exe PIPE_NAME OUTPUT_FILE QUIET_MS
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    HANDLE pipe = CreateNamedPipeA(argv[1], PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_WAIT,
                                   1, 0, 65536, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        return 3;
    std::FILE *output = std::fopen(argv[2], "wb");
    if (!output)
        return 4;
    std::printf("listening\n");
    std::fflush(stdout);
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
        OVERLAPPED connected{};
        connected.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ConnectNamedPipe(pipe, &connected);
        DWORD ignored;
        if (!GetOverlappedResult(pipe, &connected, &ignored, TRUE))
            return 5;
    }
    const DWORD quiet_ms = static_cast<DWORD>(std::atoi(argv[3]));
    bool started = false;
    for (;;) {
        char buffer[65536];
        OVERLAPPED read{};
        read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, sizeof buffer, nullptr, &read) && GetLastError() != ERROR_IO_PENDING)
            break;
        if (WaitForSingleObject(read.hEvent, started ? quiet_ms : 60000) != WAIT_OBJECT_0) {
            CancelIo(pipe);
            CloseHandle(read.hEvent);
            break;
        }
        CloseHandle(read.hEvent);
        if (!GetOverlappedResult(pipe, &read, &got, FALSE) || got == 0)
            break;
        std::fwrite(buffer, 1, got, output);
        started = true;
    }
    std::fclose(output);
    CloseHandle(pipe);
    std::printf("closed\n");
    return 0;
}
