# Windows: libraries a launcher loads when it first calls into them, not when it starts. The
# loader resolves a program's static imports before its entry point runs, and looks for a
# library that is not one of the system's known libraries in the program's own folder first:
# a user who may write there could put one of that name beside the launcher, which runs with
# administrator rights. A delay-loaded library is found by LoadLibrary once the entry point
# has limited the search to the system folder (app/entry_win32.cpp).
#
# qz4_delay_load(<target> <name>...) makes, for each name, an import library lib<name>.a
# whose entries are delay-loaded (the same functions as MinGW-w64's, from <name>.dll) and puts
# its folder first in the target's library search path, so the -l<name> that a dependency
# asks for finds it. resources/check_executable.py checks the outcome.
function(qz4_delay_load target)
  set(folder ${CMAKE_CURRENT_BINARY_DIR}/${target}_delay_load)
  set(libraries)
  foreach(name IN LISTS ARGN)
    unset(implib) # find_library keeps a value it finds set
    find_library(implib NAMES ${name} NO_CACHE REQUIRED)
    execute_process(COMMAND ${CMAKE_NM} ${implib} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    # "I __imp_Name" (x86_64) or "I __imp__Name@8" (i686): the functions the DLL exports.
    string(REGEX MATCHALL "I __imp__?[A-Za-z0-9_@]+" imports "${symbols}")
    set(definitions "LIBRARY ${name}.dll\nEXPORTS\n")
    foreach(import IN LISTS imports)
      string(REGEX REPLACE "^I __imp_" "" function "${import}")
      if(QZ4_MINGW_ARCH STREQUAL "i686")
        string(REGEX REPLACE "^_" "" function "${function}")
      endif()
      string(APPEND definitions "${function}\n")
    endforeach()
    file(WRITE ${folder}/${name}.def "${definitions}")
    # i686 names carry their argument size (@8), which the DLL's own names do not.
    set(kill_at)
    if(QZ4_MINGW_ARCH STREQUAL "i686")
      set(kill_at --kill-at)
    endif()
    add_custom_command(OUTPUT ${folder}/lib${name}.a
      COMMAND ${CMAKE_DLLTOOL} ${kill_at} --input-def ${folder}/${name}.def --dllname ${name}.dll
              --output-delaylib ${folder}/lib${name}.a
      DEPENDS ${folder}/${name}.def VERBATIM)
    list(APPEND libraries ${folder}/lib${name}.a)
  endforeach()
  add_custom_target(${target}_delay_load DEPENDS ${libraries})
  add_dependencies(${target} ${target}_delay_load)
  target_link_directories(${target} BEFORE PRIVATE ${folder})
  # The program is linked again when one of them changes.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${libraries})
endfunction()
