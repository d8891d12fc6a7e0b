# 32-bit Windows, the players' build. Nothing here can run it: it is compiled and linked only.
set(QZ4_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
