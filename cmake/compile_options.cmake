# Warnings and sanitizers for the project's own targets (never for third-party code).
add_library(qz4_options INTERFACE)
target_compile_options(qz4_options INTERFACE -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor)
# GCC 12 reports -Wrestrict for `"literal" + std::string(...)` at -O3 inside libstdc++'s own
# code (GCC bug 105651); the warning cannot point at a real fault of ours there.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(qz4_options INTERFACE -Wno-restrict)
endif()
target_include_directories(qz4_options INTERFACE ${PROJECT_SOURCE_DIR})

if(WIN32)
  # Wide Win32 entry points everywhere; curl is linked statically.
  target_compile_definitions(qz4_options INTERFACE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                                   _WIN32_WINNT=0x0601 CURL_STATICLIB)
endif()

if(QZ4_SANITIZE)
  list(JOIN QZ4_SANITIZE "," _qz4_sanitizers)
  set(_qz4_sanitize_flags -fsanitize=${_qz4_sanitizers} -fno-omit-frame-pointer)
  if("undefined" IN_LIST QZ4_SANITIZE)
    list(APPEND _qz4_sanitize_flags -fno-sanitize-recover=undefined)
  endif()
  if("float-divide-by-zero" IN_LIST QZ4_SANITIZE)
    list(APPEND _qz4_sanitize_flags -fno-sanitize-recover=float-divide-by-zero)
  endif()
  # Applied globally so that gtest and our code agree on the instrumented runtime.
  add_compile_options(${_qz4_sanitize_flags})
  add_link_options(${_qz4_sanitize_flags})
endif()

if(QZ4_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "The fuzz targets need clang's libFuzzer: configure with the preset 'fuzz'")
  endif()
  # Coverage feedback for libFuzzer from every library the targets reach, not only the targets.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# qz4_library(<name> <sources>...) declares one subsystem's static library.
function(qz4_library name)
  add_library(${name} STATIC ${ARGN})
  target_link_libraries(${name} PUBLIC qz4_options)
endfunction()
