// SPDX-License-Identifier: GPL-2.0-or-later
#include "tshark_runner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace ovk::test {

namespace {

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TsharkStage::TsharkStage()
{
    std::string pattern = (fs::temp_directory_path() / "ovk-stage-XXXXXX").string();
    if (!mkdtemp(&pattern[0]))
        throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    fs::copy(OVK_PLUGIN_BUILD_DIR, fs::path(dir_) / "plugins", fs::copy_options::recursive);
    fs::create_directory(fs::path(dir_) / "home");
}

TsharkStage::~TsharkStage()
{
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

std::string TsharkStage::path(const std::string &name) const
{
    return (fs::path(dir_) / name).string();
}

TsharkResult TsharkStage::run(const Lines &args) const
{
    const std::string out_path = path("stdout"), err_path = path("stderr");
    Lines argv = {"bash", OVK_TSHARK_STAGE_SCRIPT, dir_, "tshark"};
    argv.insert(argv.end(), args.begin(), args.end());

    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || null < 0)
            _exit(126);
        dup2(null, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> cargv;
        for (auto &a : argv)
            cargv.push_back(const_cast<char *>(a.c_str()));
        cargv.push_back(nullptr);
        execvp(cargv[0], cargv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    TsharkResult result;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

Lines TsharkStage::lines(const Lines &args) const
{
    const TsharkResult result = run(args);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return split_lines(result.out);
}

Lines TsharkStage::fields(const std::string &capture, const Lines &args) const
{
    Lines all = {"-r", capture, "-T", "fields", "-E", "separator=|"};
    all.insert(all.end(), args.begin(), args.end());
    return lines(all);
}

void TsharkStage::write_profile_file(const std::string &name, const std::string &text) const
{
    const fs::path profile = fs::path(dir_) / "home" / ".config" / "wireshark";
    fs::create_directories(profile);
    std::ofstream(profile / name) << text;
}

Lines split_lines(const std::string &text)
{
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

Lines registered_fields(const TsharkStage &stage, const std::string &protocol)
{
    Lines found;
    for (const std::string &line : stage.lines({"-G", "fields"})) {
        const Lines columns = tab_columns(line);
        const bool is_protocol = columns.size() == 3 && columns[0] == "P" && columns[2] == protocol;
        const bool is_field = columns.size() > 4 && columns[0] == "F" && columns[4] == protocol;
        if (is_protocol || is_field)
            found.push_back(line);
    }
    return found;
}

Lines tab_columns(const std::string &line)
{
    Lines columns;
    std::istringstream in(line);
    for (std::string column; std::getline(in, column, '\t');)
        columns.push_back(column);
    return columns;
}

} // namespace ovk::test
