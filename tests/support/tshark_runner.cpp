#include "tshark_runner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
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

constexpr const char nobody[] = "65534";

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
    std::string pattern = (fs::temp_directory_path() / "ovk-tshark-XXXXXX").string();
    if (!mkdtemp(&pattern[0]))
        throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    fs::copy(OVK_PLUGIN_BUILD_DIR, fs::path(dir_) / "plugins", fs::copy_options::recursive);
    fs::create_directory(fs::path(dir_) / "home");
    publish();
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

void TsharkStage::publish() const
{
    for (const auto &entry : fs::recursive_directory_iterator(dir_)) {
        fs::permissions(entry.path(), fs::perms::others_read | fs::perms::group_read,
                        fs::perm_options::add);
        if (entry.is_directory())
            fs::permissions(entry.path(), fs::perms::others_exec | fs::perms::group_exec,
                            fs::perm_options::add);
    }
    fs::permissions(dir_, fs::perms::all, fs::perm_options::add);
    fs::permissions(fs::path(dir_) / "home", fs::perms::all, fs::perm_options::add);
}

TsharkResult TsharkStage::run(const std::vector<std::string> &args) const
{
    const std::string out_path = path("stdout"), err_path = path("stderr");
    std::vector<std::string> argv;
    if (geteuid() == 0)
        argv = {"setpriv", "--reuid=" + std::string(nobody), "--regid=" + std::string(nobody),
                "--clear-groups"};
    // The in-process harness points these at its own folder; tshark's
    // configuration is the stage's HOME alone.
    argv.insert(argv.end(), {"env", "-u", "WIRESHARK_CONFIG_DIR", "-u", "XDG_CONFIG_HOME",
                             "HOME=" + path("home"), "TZ=UTC", "LC_ALL=C.UTF-8",
                             "WIRESHARK_PLUGIN_DIR=" + path("plugins"),
                             "WIRESHARK_ABORT_ON_DISSECTOR_BUG=1", "tshark"});
    argv.insert(argv.end(), args.begin(), args.end());

    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || null < 0 || chdir(dir_.c_str()) != 0)
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

std::vector<std::string> TsharkStage::lines(const std::vector<std::string> &args) const
{
    const TsharkResult result = run(args);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return split_lines(result.out);
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string plugin_listing(const TsharkStage &stage, const std::string &library)
{
    for (const std::string &line : stage.lines({"-G", "plugins"})) {
        std::vector<std::string> columns = tab_columns(line);
        for (std::string &column : columns)
            column.erase(column.find_last_not_of(' ') + 1);
        if (!columns.empty() && columns.front() == library) {
            std::string joined;
            for (const std::string &column : columns)
                joined += (joined.empty() ? "" : "|") + column;
            return joined;
        }
    }
    return {};
}

std::vector<std::string> registered_fields(const TsharkStage &stage, const std::string &protocol)
{
    std::vector<std::string> found;
    for (const std::string &line : stage.lines({"-G", "fields"})) {
        const std::vector<std::string> columns = tab_columns(line);
        const bool is_protocol = columns.size() == 3 && columns[0] == "P" && columns[2] == protocol;
        const bool is_field = columns.size() > 4 && columns[0] == "F" && columns[4] == protocol;
        if (is_protocol || is_field)
            found.push_back(line);
    }
    return found;
}

std::vector<std::string> tab_columns(const std::string &line)
{
    std::vector<std::string> columns;
    std::istringstream in(line);
    for (std::string column; std::getline(in, column, '\t');)
        columns.push_back(column);
    return columns;
}

} // namespace ovk::test
