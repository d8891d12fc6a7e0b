# Chooses the operating-system half of every platform interface. Portable sources declare
# the interface; a file named <name>_posix.cpp or <name>_win32.cpp beside it implements it.
if(WIN32)
  set(QZ4_PLATFORM win32)
else()
  set(QZ4_PLATFORM posix)
endif()

# qz4_platform_sources(<target> <base>...) adds <base>_<platform>.cpp for each base name.
function(qz4_platform_sources target)
  foreach(base IN LISTS ARGN)
    target_sources(${target} PRIVATE ${base}_${QZ4_PLATFORM}.cpp)
  endforeach()
endfunction()
