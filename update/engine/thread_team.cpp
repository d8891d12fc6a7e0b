#include "update/engine/thread_team.hpp"

#include <thread>
#include <vector>

namespace qz4 {

void run_on_threads(std::uint32_t count, const std::function<void()>& body) {
    std::vector<std::thread> others;
    try {
        others.reserve(count > 1 ? count - 1 : 0);
        for (std::uint32_t i = 1; i < count; ++i)
            others.emplace_back(body);
    } catch (...) {
        // Those started must be joined whatever happens; the caller's thread joins them.
    }
    body();
    for (std::thread& other : others)
        other.join();
}

} // namespace qz4
