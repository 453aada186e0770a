// SPDX-License-Identifier: GPL-2.0-or-later
#include "tshark_runner.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace ovk::test {

namespace {

// text as one word for the shell.
std::string quoted(const std::string &text)
{
    std::string word = "'";
    for (const char c : text)
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// As scripts/tshark-stage.sh chooses it: as root, the stage is run by user
// 65534, which must be able to enter TMPDIR (root's own folder may be it).
fs::path stage_parent()
{
    const fs::path temp = fs::temp_directory_path();
    if (geteuid() != 0)
        return temp;
    const uid_t nobody = 65534;
    for (fs::path folder = fs::absolute(temp);; folder = folder.parent_path()) {
        struct stat st;
        if (stat(folder.c_str(), &st) != 0)
            return "/tmp";
        const bool enters = st.st_uid == nobody ? (st.st_mode & S_IXUSR)
                            : st.st_gid == nobody ? (st.st_mode & S_IXGRP) : (st.st_mode & S_IXOTH);
        if (!enters)
            return "/tmp";
        if (folder == folder.root_path())
            return temp;
    }
}

} // namespace

TsharkStage::TsharkStage()
{
    std::string pattern = (stage_parent() / "ovk-stage-XXXXXX").string();
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
    std::string command = "bash " + quoted(OVK_TSHARK_STAGE_SCRIPT) + " " + quoted(dir_) + " tshark";
    for (const std::string &arg : args)
        command += " " + quoted(arg);
    command += " </dev/null >" + quoted(path("stdout")) + " 2>" + quoted(path("stderr"));
    const int status = std::system(command.c_str());
    TsharkResult result;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_file(path("stdout"));
    result.err = read_file(path("stderr"));
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
