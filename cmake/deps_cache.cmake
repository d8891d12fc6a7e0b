# Where the scripts under scripts/ keep the libraries they build outside the source tree.
if(DEFINED ENV{QZ4_DEPS_CACHE} AND NOT "$ENV{QZ4_DEPS_CACHE}" STREQUAL "")
  set(QZ4_DEPS_CACHE_DIR "$ENV{QZ4_DEPS_CACHE}")
else()
  set(QZ4_DEPS_CACHE_DIR "$ENV{HOME}/.cache/qz4launcher")
endif()
