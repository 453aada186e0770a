// SPDX-License-Identifier: GPL-2.0-or-later
#include "export_runner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace ovk::test {

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

ExportRun run_ovk5_export(const TsharkStage &stage, const std::string &program, const Lines &args,
                          const std::string &stdin_file)
{
    const std::string out = stage.path("export.out"), err = stage.path("export.err");
    const std::string home = stage.path("home"), folder = stage.path("");
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in_fd = stdin_file.empty() ? 0 : open(stdin_file.c_str(), O_RDONLY);
        if (out_fd < 0 || err_fd < 0 || in_fd < 0 || chdir(folder.c_str()) != 0)
            _exit(126);
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        setenv("HOME", home.c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("WIRESHARK_CONFIG_DIR");
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), slurp(out), slurp(err)};
}

} // namespace ovk::test
