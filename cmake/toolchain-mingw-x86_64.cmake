# 64-bit Windows. Test programs run through wine64; the caller sets WINEPREFIX and friends
# (scripts/test-windows.sh does). /usr/bin/wine would pick the 32-bit loader whenever
# wine32 is installed, so the 64-bit loader is named directly.
set(QZ4_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
