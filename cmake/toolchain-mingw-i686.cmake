# 32-bit Windows, the players' build. Nothing here can run it: it is compiled and linked only.
set(QZ4_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
# All 4 GiB of address space on 64-bit Windows, not 2: the patch maker's encoders and the
# launcher's buffers need room beside each other.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--large-address-aware")
