#include "patchmaker/patch_maker.hpp"

#include <cstdio>

namespace qz4 {

bool run_patch_maker() {
    std::fputs("The patch maker is not part of this build.\n", stdout);
    return false;
}

} // namespace qz4
