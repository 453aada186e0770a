// SPDX-License-Identifier: GPL-2.0-or-later
// An output file named by the user, written so that what the name stands
// for is never destroyed:
//   "-"                  standard output;
//   a symbolic link      its target is written (the link stays a link);
//   a FIFO or a device   written straight into (never replaced by a file);
//   a regular file, or a name that does not exist yet
//                        written to a unique temporary file beside the
//                        target and renamed over it by commit(), so the
//                        name only ever holds a complete file; two runs on
//                        the same name never mix. A file the user may
//                        not write is refused, as opening it would be.
// Until commit(), abandon(), destruction or a terminating signal (with
// install_output_cleanup_handlers()) removes the temporary file.
#ifndef OVK_TOOLS_SAFE_OUTPUT_H
#define OVK_TOOLS_SAFE_OUTPUT_H

#include <string>

namespace ovk {

class SafeOutput {
public:
    SafeOutput() = default;
    ~SafeOutput();
    SafeOutput(const SafeOutput &) = delete;
    SafeOutput &operator=(const SafeOutput &) = delete;

    // Opens path for writing. On failure returns false with
    // "cannot write PATH: REASON" in *error and leaves nothing behind.
    // Opening a FIFO waits for its reader.
    bool open(const std::string &path, std::string *error);

    // Where to write; -1 when not open. For standard output this is a
    // duplicate of descriptor 1.
    int fd() const { return fd_; }

    // The name as the user gave it, "standard output" for "-".
    const std::string &display_name() const { return display_name_; }

    // The temporary file being written, empty when writing straight into
    // the target (standard output, FIFO, device) or when not open.
    const std::string &temp_path() const { return temp_path_; }

    // For a writer that closes the descriptor itself (fclose after fdopen,
    // wtap_dump_close after wtap_dump_fdopen): hands the descriptor over.
    // commit() then neither closes it nor reports its close errors (the
    // writer must check them); it still syncs and renames the temporary
    // file. Call it before giving the descriptor away.
    int release_fd();

#ifdef _WIN32
    // Windows: the name a writer that opens files itself (libwiretap)
    // writes to: the temporary file, the target itself (a named pipe or
    // device), or "-" for standard output. open() leaves no descriptor.
    const std::string &write_path() const { return write_path_; }
#endif

    // Flushes to disk, closes and, for a temporary file, renames it over
    // the target. On failure returns false with the reason in *error and
    // removes the temporary file; the target is left as it was.
    bool commit(std::string *error);

    // Closes and removes the temporary file, if any; the target is left as
    // it was. Nothing happens once committed.
    void abandon();

private:
    bool fail(int error_number, std::string *error);

    int fd_ = -1;
    bool owns_fd_ = true;
    int slot_ = -1;                 // in the signal handler's list
    std::string display_name_;
    std::string target_;
    std::string temp_path_;
#ifdef _WIN32
    std::string write_path_;
#endif
};

// Makes every catchable signal whose default action ends the process first
// remove the temporary files of open SafeOutputs, then end the process by
// that same signal. Signals ignored when it is called stay ignored.
void install_output_cleanup_handlers();

} // namespace ovk

#endif
