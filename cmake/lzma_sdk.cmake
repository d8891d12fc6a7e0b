# The LZMA SDK's static library, built outside the source tree by scripts/build-lzma-sdk.sh
# for the host and both MinGW-w64 targets. Set QZ4_LZMA_SDK to use a build from elsewhere.
if(WIN32)
  set(_qz4_sdk_target ${QZ4_MINGW_ARCH})
else()
  set(_qz4_sdk_target linux)
endif()
if(NOT QZ4_LZMA_SDK)
  include(${CMAKE_CURRENT_LIST_DIR}/deps_cache.cmake)
  set(QZ4_LZMA_SDK "${QZ4_DEPS_CACHE_DIR}/lzma-sdk/${_qz4_sdk_target}/current")
endif()
set(QZ4_LZMA_SDK "${QZ4_LZMA_SDK}" CACHE PATH "Prefix with the LZMA SDK's library (lib/liblzmasdk.a, include/lzma-sdk)")
if(NOT EXISTS "${QZ4_LZMA_SDK}/lib/liblzmasdk.a")
  message(FATAL_ERROR "The LZMA SDK is missing from ${QZ4_LZMA_SDK}: "
                      "run scripts/build-lzma-sdk.sh ${_qz4_sdk_target} first.")
endif()

find_package(Threads REQUIRED)
add_library(qz4_lzma_sdk STATIC IMPORTED GLOBAL)
# Imported include directories are system ones: the SDK is not held to our warnings.
set_target_properties(qz4_lzma_sdk PROPERTIES
  IMPORTED_LOCATION "${QZ4_LZMA_SDK}/lib/liblzmasdk.a"
  INTERFACE_INCLUDE_DIRECTORIES "${QZ4_LZMA_SDK}/include"
  INTERFACE_LINK_LIBRARIES Threads::Threads)
unset(_qz4_sdk_target)
