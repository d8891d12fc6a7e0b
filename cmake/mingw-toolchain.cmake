# Shared part of the MinGW-w64 toolchain files: Debian's cross compilers with the posix
# thread model (std::thread and std::mutex need it), fully static executables, and the
# static libcurl and nlohmann/json that scripts/build-windows-deps.sh provides (the LZMA SDK
# comes from scripts/build-lzma-sdk.sh, see cmake/lzma_sdk.cmake).
# The including file sets QZ4_MINGW_ARCH (x86_64 or i686) first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QZ4_MINGW_ARCH})
set(_qz4_host ${QZ4_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${_qz4_host}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_qz4_host}-g++-posix)
set(CMAKE_RC_COMPILER ${_qz4_host}-windres)

if(NOT QZ4_WINDOWS_DEPS)
  include(${CMAKE_CURRENT_LIST_DIR}/deps_cache.cmake)
  set(QZ4_WINDOWS_DEPS "${QZ4_DEPS_CACHE_DIR}/windows-deps/current/${QZ4_MINGW_ARCH}")
endif()
set(QZ4_WINDOWS_DEPS "${QZ4_WINDOWS_DEPS}" CACHE PATH "Prefix with the Windows builds of libcurl and nlohmann/json")
if(NOT EXISTS "${QZ4_WINDOWS_DEPS}/lib/libcurl.a")
  message(FATAL_ERROR "The Windows libraries are missing from ${QZ4_WINDOWS_DEPS}: "
                      "run scripts/build-windows-deps.sh first.")
endif()
# try_compile projects read this file again; hand them the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QZ4_WINDOWS_DEPS)

# Libraries, headers and package files come from the target side only; tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${_qz4_host} "${QZ4_WINDOWS_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained executables: no libstdc++, libgcc or winpthread DLLs to ship beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
