// POSIX entry of the stand-in client: the arguments arrive already split, there is no
// command line to record.
#include "tests/support/dummy_client.hpp"

int main(int argc, char** argv) {
    return qz4::test::run_dummy_client(std::vector<std::string>(argv + 1, argv + argc), {});
}
