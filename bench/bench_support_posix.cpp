// Process figures on POSIX (posix_spawn, then wait4 for the child's own resource usage), and
// nginx through the fixture script.
#include "bench/bench_support.hpp"

#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qz4::bench {

process_figures run_measured(const std::vector<std::string>& argv, const std::filesystem::path& directory) {
    std::vector<std::string> storage = argv;
    std::vector<char*> pointers;
    for (auto& argument : storage)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    const int spawned = ::posix_spawnp(&child, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + argv.front());

    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    process_figures figures;
    figures.wall_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    figures.user_seconds = seconds(usage.ru_utime);
    figures.system_seconds = seconds(usage.ru_stime);
    figures.cpu_seconds = figures.user_seconds + figures.system_seconds;
    figures.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0; // Linux reports KiB
    return figures;
}

nginx_process::nginx_process(const std::string& python, const std::string& fixture,
                             const std::filesystem::path& state, std::uint16_t port,
                             const std::optional<nginx_tls>& tls)
    : python_(python), fixture_(fixture), state_(state) {
    std::string command = python_ + " " + fixture_ + " start --state-dir '" + state_.string() + "' --port " +
                          std::to_string(port) + " --watch-pid " + std::to_string(::getpid());
    if (tls)
        command += " --tls-dir '" + tls->authority.string() + "' --tls-port " + std::to_string(tls->port);
    command += " >/dev/null";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("nginx did not start on port " + std::to_string(port));
}

nginx_process::~nginx_process() {
    const std::string command = python_ + " " + fixture_ + " stop --state-dir '" + state_.string() + "'";
    (void)std::system(command.c_str());
}

} // namespace qz4::bench
