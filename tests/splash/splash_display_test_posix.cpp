// The splash as a terminal shows it: the demo program runs with standard error on a
// pseudo-terminal (or a pipe), and the test reads what it drew.
#include "texts/player_texts.hpp"
#include "splash/status_line.hpp"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace qz4 {
namespace {

using namespace std::chrono_literals;

constexpr unsigned short columns = 100;

struct fd_owner {
    int fd = -1;
    fd_owner() = default;
    explicit fd_owner(int descriptor) : fd(descriptor) {}
    fd_owner(const fd_owner&) = delete;
    fd_owner& operator=(const fd_owner&) = delete;
    ~fd_owner() { close(); }
    void close() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

// The demo with standard output on a pipe and standard error on `error_fd`.
class demo_process {
public:
    demo_process(const std::vector<std::string>& arguments, int error_fd) {
        int pipe_fds[2];
        EXPECT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
        out_.fd = pipe_fds[0];
        std::vector<std::string> storage{QZ4_SPLASH_DEMO_PATH};
        storage.insert(storage.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& a : storage)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, error_fd, STDERR_FILENO);
        EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe_fds[1]);
    }
    ~demo_process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // Reads standard output until it holds `text` or the time runs out.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
        return read_until(out_.fd, output_, text, timeout);
    }
    int wait_exit() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_t pid() const { return pid_; }

    static bool read_until(int fd, std::string& collected, const std::string& text,
                           std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (collected.find(text) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return false;
            std::array<char, 4096> chunk;
            const ssize_t got = ::read(fd, chunk.data(), chunk.size());
            if (got <= 0)
                return collected.find(text) != std::string::npos;
            collected.append(chunk.data(), static_cast<std::size_t>(got));
        }
        return true;
    }

private:
    pid_t pid_ = -1;
    fd_owner out_;
    std::string output_;
};

struct pseudo_terminal {
    fd_owner master;
    fd_owner slave;
    pseudo_terminal() {
        master.fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(master.fd, 0);
        EXPECT_EQ(::grantpt(master.fd), 0);
        EXPECT_EQ(::unlockpt(master.fd), 0);
        slave.fd = ::open(::ptsname(master.fd), O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(slave.fd, 0);
        winsize size{};
        size.ws_col = columns;
        size.ws_row = 24;
        ::ioctl(slave.fd, TIOCSWINSZ, &size);
        termios settings{};
        ::tcgetattr(slave.fd, &settings);
        settings.c_oflag &= ~static_cast<tcflag_t>(OPOST); // see the bytes as written
        ::tcsetattr(slave.fd, TCSANOW, &settings);
    }
};

const std::wstring site = L"\u00ABtarnwood-game.net\u00BB";

// The bytes that draw one status line in place.
std::string drawn(const std::wstring& status, std::uint32_t value, std::uint32_t total,
                  const transfer_figures_text& figures = {}) {
    std::string bytes = "\r";
    bytes += render_status_line(status, value, total, site, columns, figures);
    bytes += "\033[K";
    return bytes;
}

TEST(SplashTerminalPosix, DrawsTheLineInPlaceAndClearsItAtTheEnd) {
    pseudo_terminal terminal;
    demo_process demo(
        {"Downloading updates (42%)", "231", "550", "600", "Downloading updates (43%)", "3565158", "83"},
        terminal.slave.fd);
    terminal.slave.close(); // the demo holds its own copy
    std::string screen;
    const transfer_figures_text figures =
        describe_transfer(3565158, 83, use_russian()); // 3.4 MiB/s, 1:23 left
    const std::string first = drawn(L"Downloading updates (42%)", 231, 550, figures);
    const std::string second = drawn(L"Downloading updates (43%)", 231, 550, figures);
    EXPECT_TRUE(demo_process::read_until(terminal.master.fd, screen, first, 5s)) << screen;
    EXPECT_TRUE(demo_process::read_until(terminal.master.fd, screen, second, 5s)) << screen;
    EXPECT_EQ(demo.wait_exit(), 0);
    (void)demo_process::read_until(terminal.master.fd, screen, "\r\033[K\r\033[K", 1s);
    // Drawn once per change, never between changes, and erased when the splash goes away.
    EXPECT_EQ(screen.find(first), screen.rfind(first));
    EXPECT_TRUE(screen.ends_with("\r\033[K")) << testing::PrintToString(screen.substr(screen.size() - 10));
    EXPECT_EQ(screen.find('\n'), std::string::npos);
}

TEST(SplashTerminalPosix, CtrlCClosesTheSplash) {
    pseudo_terminal terminal;
    demo_process demo({"Downloading updates (5%)", "5", "100", "20000"}, terminal.slave.fd);
    ASSERT_TRUE(demo.wait_for_output("started", 5s));
    std::string screen;
    ASSERT_TRUE(demo_process::read_until(terminal.master.fd, screen, "Downloading", 5s));
    ASSERT_EQ(::kill(demo.pid(), SIGINT), 0);
    EXPECT_TRUE(demo.wait_for_output("closed", 5s));
    EXPECT_EQ(demo.wait_exit(), 0); // handled, not killed by the signal
}

TEST(SplashTerminalPosix, WithoutATerminalEachStatusIsOnePlainLine) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    fd_owner read_end(pipe_fds[0]);
    {
        demo_process demo({"Starting...", "1", "2", "600", "Files updated", "3565158", "83"}, pipe_fds[1]);
        ::close(pipe_fds[1]);
        EXPECT_EQ(demo.wait_exit(), 0);
    }
    std::string text;
    (void)demo_process::read_until(read_end.fd, text, "\x01never", 2s);
    EXPECT_EQ(text, "Starting...\nFiles updated\n") << "the figures are for the terminal's line only";
}

} // namespace
} // namespace qz4
