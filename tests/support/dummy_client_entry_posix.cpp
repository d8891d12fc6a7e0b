// POSIX entry of the stand-in client: the arguments arrive already split, there is no
// command line to record. It notes whether it was started with SIGINT blocked, which would
// leave the player unable to stop it with Ctrl+C.
#include "tests/support/dummy_client.hpp"

#include <csignal>

int main(int argc, char** argv) {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    const char* sigint = sigismember(&blocked, SIGINT) == 1 ? "sigint=blocked" : "sigint=unblocked";
    return qz4::test::run_dummy_client(std::vector<std::string>(argv + 1, argv + argc), {}, {sigint});
}
