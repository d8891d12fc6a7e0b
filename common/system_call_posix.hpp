// POSIX: a system call that a signal interrupts before it did anything fails with EINTR and
// is simply made again. Every such call goes through retry_interrupted, so no call site
// loops on its own (and none forgets to).
#pragma once

#include <cerrno>

namespace qz4 {

// Calls `call` until it returns anything but -1 with errno EINTR; returns that result.
// Not for close(), which must not be repeated: the descriptor is gone either way.
template <typename Call> auto retry_interrupted(Call call) {
    for (;;) {
        const auto result = call();
        if (!(result == -1 && errno == EINTR))
            return result;
    }
}

} // namespace qz4
