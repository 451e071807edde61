// Start-up to the dialog first drawn, from outside: each round spawns the program, and the time
// from just before the spawn to the "shown" line it prints (and to its exit) is taken on
// CLOCK_MONOTONIC, which every process of the machine shares. Programs alternate round by round
// so that a change of machine load falls on both.
//
//   startup_bench ROUNDS NAME=PROGRAM...
//
// Prints "<NAME>_shown_ms", "<NAME>_exit_ms" (medians) and "<NAME>_maxrss_kb" (the largest).
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"

extern char** environ;

namespace {

struct Program {
    std::string name;
    std::string path;
    std::vector<double> shown;
    std::vector<double> exited;
    long maxRssKb = 0;
};

// One start of `program`; false when it does not report the dialog drawn or does not end well.
bool startOnce(Program& program) {
    int output[2];
    if (pipe(output) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    posix_spawn_file_actions_addclose(&actions, output[1]);
    char* argv[] = {program.path.data(), nullptr};

    const double start = tessaly::bench::nowMs();
    pid_t child = 0;
    const int spawned = posix_spawn(&child, program.path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    if (spawned != 0) {
        close(output[0]);
        return false;
    }

    std::string text;
    char buffer[256];
    ssize_t got = 0;
    while ((got = read(output[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(output[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const double end = tessaly::bench::nowMs();

    const auto at = text.find("shown ");
    if (at == std::string::npos || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "startup_bench: %s did not show its dialog and end (status %d)\n",
                     program.name.c_str(), status);
        return false;
    }
    program.shown.push_back(std::strtod(text.c_str() + at + 6, nullptr) - start);
    program.exited.push_back(end - start);
    program.maxRssKb = std::max(program.maxRssKb, usage.ru_maxrss);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ROUNDS NAME=PROGRAM...\n", argv[0]);
        return 2;
    }
    const int rounds = std::atoi(argv[1]);
    std::vector<Program> programs;
    for (int index = 2; index < argc; ++index) {
        const std::string argument = argv[index];
        const auto equals = argument.find('=');
        if (equals == std::string::npos) {
            return 2;
        }
        programs.push_back({argument.substr(0, equals), argument.substr(equals + 1), {}, {}, 0});
    }
    for (int round = 0; round < rounds; ++round) {
        for (Program& program : programs) {
            if (!startOnce(program)) {
                return 1;
            }
        }
    }
    for (const Program& program : programs) {
        tessaly::bench::report(program.name + "_shown_ms", tessaly::bench::median(program.shown));
        tessaly::bench::report(program.name + "_exit_ms", tessaly::bench::median(program.exited));
        tessaly::bench::report(program.name + "_maxrss_kb", static_cast<double>(program.maxRssKb));
    }
    return 0;
}
