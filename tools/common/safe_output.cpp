// SPDX-License-Identifier: GPL-2.0-or-later
#include "safe_output.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ovk {

namespace {

// Temporary files a signal handler must remove. Fixed storage: the handler
// may neither allocate nor take locks.
constexpr int max_pending = 32;
enum : int { slot_free, slot_filling, slot_pending };
std::atomic<int> slot_state[max_pending];
char slot_path[max_pending][PATH_MAX];

int register_pending(const std::string &path)
{
    if (path.size() >= PATH_MAX)
        return -1;
    for (int i = 0; i < max_pending; ++i) {
        int expected = slot_free;
        if (slot_state[i].compare_exchange_strong(expected, slot_filling)) {
            std::memcpy(slot_path[i], path.c_str(), path.size() + 1);
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

void remove_pending_and_die(int signal_number)
{
    const int saved_errno = errno;
    for (int i = 0; i < max_pending; ++i)
        if (slot_state[i].load() == slot_pending)
            unlink(slot_path[i]);
    errno = saved_errno;
    // The handler was reset to the default action on entry (SA_RESETHAND)
    // and does not block its own signal (SA_NODEFER): this ends the process
    // with the status the signal would have given.
    raise(signal_number);
}

// Keeps signals away while a temporary file is created or renamed and
// entered in, or taken out of, the handler's list.
class SignalsBlocked {
public:
    SignalsBlocked()
    {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &saved_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;

private:
    sigset_t saved_;
};

std::string folder_of(const std::string &path)
{
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symbolic links to the name that is finally written; a dangling
// link gives the name it points to, which is then created.
bool resolve_links(const std::string &path, std::string *target)
{
    std::string current = path;
    for (int hops = 0;; ++hops) {
        struct stat st;
        if (lstat(current.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return false;
            break;
        }
        if (!S_ISLNK(st.st_mode))
            break;
        if (hops == 40) {
            errno = ELOOP;
            return false;
        }
        char link[PATH_MAX];
        const ssize_t length = readlink(current.c_str(), link, sizeof link - 1);
        if (length < 0)
            return false;
        link[length] = '\0';
        current = link[0] == '/' ? std::string(link) : folder_of(current) + "/" + link;
    }
    *target = current;
    return true;
}

// A template for mkostemps beside target; short enough for the file
// system's name limit whatever the target's name.
std::string temp_template_for(const std::string &target)
{
    constexpr std::string::size_type longest_base = 200;
    const std::string::size_type slash = target.rfind('/');
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.size() <= longest_base)
        return target + ".XXXXXX.partial";
    return folder_of(target) + "/.ovk-output.XXXXXX.partial";
}

mode_t new_file_mode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
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
        *error = "cannot write " + display_name_ + ": " + std::strerror(error_number);
    return false;
}

bool SafeOutput::open(const std::string &path, std::string *error)
{
    abandon();
    fd_ = -1;
    owns_fd_ = true;
    temp_path_.clear();
    if (path == "-") {
        display_name_ = "standard output";
        target_.clear();
        fd_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
        return fd_ >= 0 || fail(errno, error);
    }
    display_name_ = path;
    if (!resolve_links(path, &target_))
        return fail(errno, error);

    struct stat st;
    const bool exists = stat(target_.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode))
        return fail(EISDIR, error);
    if (exists && !S_ISREG(st.st_mode)) {
        // FIFO, character or block device: what the name stands for must
        // stay; its reader or driver gets the bytes.
        fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        return fd_ >= 0 || fail(errno, error);
    }

    // A file its owner made read-only is not replaced behind their back.
    if (exists && access(target_.c_str(), W_OK) != 0)
        return fail(errno, error);

    std::string name = temp_template_for(target_);
    {
        SignalsBlocked blocked;
        fd_ = mkostemps(name.data(), static_cast<int>(std::strlen(".partial")), O_CLOEXEC);
        if (fd_ < 0)
            return fail(errno, error);
        temp_path_ = name;
        slot_ = register_pending(temp_path_);
        if (slot_ < 0)
            return fail(EMFILE, error);
    }
    // mkostemps makes the file private; give it the mode the target has,
    // or the one a newly created file would get.
    if (exists) {
        fchmod(fd_, st.st_mode & 07777);
        if (geteuid() == 0)
            (void)!fchown(fd_, st.st_uid, st.st_gid);
    } else {
        fchmod(fd_, new_file_mode());
    }
    return true;
}

int SafeOutput::release_fd()
{
    owns_fd_ = false;
    return fd_;
}

bool SafeOutput::commit(std::string *error)
{
    if (fd_ < 0 && owns_fd_)
        return fail(EBADF, error);
    if (owns_fd_) {
        if (!temp_path_.empty() && fsync(fd_) != 0)
            return fail(errno, error);
        const int closed = close(fd_);
        fd_ = -1;
        if (closed != 0)
            return fail(errno, error);
    } else {
        fd_ = -1;
        if (!temp_path_.empty()) {
            // The writer has closed its descriptor; sync through a new one.
            const int sync_fd = ::open(temp_path_.c_str(), O_RDONLY | O_CLOEXEC);
            if (sync_fd < 0)
                return fail(errno, error);
            const int synced = fsync(sync_fd);
            const int sync_error = errno;
            close(sync_fd);
            if (synced != 0)
                return fail(sync_error, error);
        }
    }
    if (temp_path_.empty())
        return true;
    SignalsBlocked blocked;
    if (std::rename(temp_path_.c_str(), target_.c_str()) != 0)
        return fail(errno, error);
    unregister_pending(slot_);
    slot_ = -1;
    temp_path_.clear();
    return true;
}

void SafeOutput::abandon()
{
    if (fd_ >= 0 && owns_fd_)
        close(fd_);
    fd_ = -1;
    if (temp_path_.empty())
        return;
    SignalsBlocked blocked;
    unlink(temp_path_.c_str());
    unregister_pending(slot_);
    slot_ = -1;
    temp_path_.clear();
}

void install_output_cleanup_handlers()
{
    static const int fixed[] = {
        SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV, SIGUSR2,
        SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
        SIGSTKFLT,
#endif
#ifdef SIGIO
        SIGIO,
#endif
#ifdef SIGPWR
        SIGPWR,
#endif
    };
    auto install = [](int signal_number) {
        struct sigaction old_action;
        if (sigaction(signal_number, nullptr, &old_action) != 0)
            return;
        // Ignored signals stay ignored (nohup, a shell's trap ''), and a
        // handler someone else installed (a sanitizer's) stays theirs.
        if ((old_action.sa_flags & SA_SIGINFO) || old_action.sa_handler != SIG_DFL)
            return;
        struct sigaction action {};
        action.sa_handler = remove_pending_and_die;
        sigfillset(&action.sa_mask);
        sigdelset(&action.sa_mask, signal_number);
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
        sigaction(signal_number, &action, nullptr);
    };
    for (int signal_number : fixed)
        install(signal_number);
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number)
        install(signal_number);
}

} // namespace ovk
