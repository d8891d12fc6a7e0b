#include "tests/support/test_process.hpp"

#include <array>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace qz4::test {

namespace {

pid_t spawn(const std::filesystem::path& program, const std::vector<std::string>& arguments,
            const std::filesystem::path& directory, int output_fd) {
    std::vector<std::string> argv_storage{program.string()};
    argv_storage.insert(argv_storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : argv_storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (output_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, output_fd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output_fd, STDERR_FILENO);
    }
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + program.string());
    return pid;
}

} // namespace

run_result run_program(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                       const std::filesystem::path& directory, std::chrono::milliseconds timeout) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t pid = spawn(program, arguments, directory, pipe_fds[1]);
    ::close(pipe_fds[1]);

    run_result result;
    std::thread reader([&] {
        std::array<char, 4096> chunk;
        ssize_t got;
        while ((got = ::read(pipe_fds[0], chunk.data(), chunk.size())) > 0)
            result.output.append(chunk.data(), static_cast<std::size_t>(got));
    });
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reader.join();
    ::close(pipe_fds[0]);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

background_process::background_process(const std::filesystem::path& program,
                                       const std::vector<std::string>& arguments,
                                       const std::filesystem::path& directory)
    : id_(static_cast<std::uint32_t>(spawn(program, arguments, directory, -1))) {}

background_process::~background_process() {
    kill();
}

bool background_process::finished() {
    if (handle_ != 0)
        return true;
    int status = 0;
    if (::waitpid(static_cast<pid_t>(id_), &status, WNOHANG) == static_cast<pid_t>(id_)) {
        handle_ = 1; // reaped
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return handle_ != 0;
}

int background_process::wait_for_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!finished()) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill();
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return exit_code_;
}

void background_process::kill() {
    if (finished())
        return;
    ::kill(static_cast<pid_t>(id_), SIGKILL);
    int status = 0;
    ::waitpid(static_cast<pid_t>(id_), &status, 0);
    handle_ = 1;
}

std::vector<std::string> arguments_seen_by_client(const std::vector<std::string>& launcher_arguments) {
    return launcher_arguments;
}

} // namespace qz4::test
