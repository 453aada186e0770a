// SPDX-License-Identifier: GPL-2.0-or-later
// The randomised trial of ovk5-export at a larger scale than the test's
// (bench/export-trials.sh runs it): for each seed, one capture of damaged
// OVK5 TCP streams (mid-stream starts, dropped segments and stray bytes in
// turn, inner frames of random bytes) and one of streams only reordered,
// each exported; the figures summed over all seeds.
//
//   ovk5-export-trials EXPORTER FIRST_SEED SEEDS TRIALS_PER_CAPTURE FOLDER

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <wiretap/wtap.h>

#include "stream_trials.h"
#include "wiretap_compat.h"

namespace {

using namespace ovk::test;

struct Run {
    int exit_code = -1;
    std::string errors;
};

std::string slurp(const std::string &path)
{
    std::string text;
    if (FILE *file = std::fopen(path.c_str(), "rb")) {
        char chunk[65536];
        for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
            text.append(chunk, got);
        std::fclose(file);
    }
    return text;
}

Run run_export(const std::string &exporter, const std::string &folder, const std::string &capture,
               const std::string &output)
{
    const std::string errors = folder + "/errors";
    const pid_t pid = fork();
    if (pid == 0) {
        if (!std::freopen(errors.c_str(), "w", stderr))
            _exit(126);
        setenv("HOME", folder.c_str(), 1);
        execl(exporter.c_str(), exporter.c_str(), "-v", capture.c_str(), output.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128, slurp(errors)};
}

std::vector<std::string> comments_of(const std::string &path)
{
    std::vector<std::string> comments;
    int err = 0;
    gchar *err_info = nullptr;
    wtap *wth = wtap_open_offline(path.c_str(), WTAP_TYPE_AUTO, &err, &err_info, FALSE);
    g_free(err_info);
    if (!wth)
        return comments;
    ovk_read_record record;
    ovk_read_record_init(&record);
    gint64 offset = 0;
    while (ovk_read(wth, &record, &err, &err_info, &offset)) {
        char *comment = nullptr;
        if (record.rec.block
            && wtap_block_get_nth_string_option_value(record.rec.block, OPT_COMMENT, 0, &comment) == WTAP_OPTTYPE_SUCCESS)
            comments.emplace_back(comment);
        else
            comments.emplace_back();
    }
    g_free(err_info);
    ovk_read_record_cleanup(&record);
    wtap_close(wth);
    return comments;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 6) {
        std::fputs("usage: ovk5-export-trials EXPORTER FIRST_SEED SEEDS TRIALS_PER_CAPTURE FOLDER\n", stderr);
        return 2;
    }
    const std::string exporter = argv[1];
    const std::uint64_t first_seed = std::strtoull(argv[2], nullptr, 10);
    const std::uint64_t seeds = std::strtoull(argv[3], nullptr, 10);
    const std::size_t per_capture = std::strtoull(argv[4], nullptr, 10);
    const std::string folder = argv[5];
    ovk_log_init("ovk5-export-trials");
    wtap_init(FALSE);

    const struct {
        const char *name;
        std::vector<TrialDamage> kinds;
    } sets[] = {{"damaged", {TrialDamage::mid_stream, TrialDamage::dropped, TrialDamage::stray_bytes}},
                {"reordered", {TrialDamage::reordered}}};
    for (const auto &set : sets) {
        TrialFigures total;
        int exits[2] = {0, 0};
        for (std::uint64_t seed = first_seed; seed < first_seed + seeds; ++seed) {
            const std::string capture = folder + "/trials.pcap", output = folder + "/trials.pcapng";
            const std::vector<Trial> trials = write_trials(capture, seed, per_capture, set.kinds);
            const Run run = run_export(exporter, folder, capture, output);
            if (run.exit_code != 0 && run.exit_code != 1) {
                std::fprintf(stderr, "seed %llu: ovk5-export failed (%d): %s", static_cast<unsigned long long>(seed),
                             run.exit_code, run.errors.c_str());
                return 1;
            }
            ++exits[run.exit_code];
            total += judge_trials(trials, comments_of(output), run.errors, run.exit_code);
        }
        std::printf("%s, seeds %llu-%llu: exit 0 %d times, 1 %d times\n%s\n", set.name,
                    static_cast<unsigned long long>(first_seed), static_cast<unsigned long long>(first_seed + seeds - 1),
                    exits[0], exits[1], total.report().c_str());
    }
    return 0;
}
