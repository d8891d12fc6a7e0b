# The check every configuration of the project passes: a launcher takes only the updates the
# publisher signed unless the build says, in so many words, that it may take any; and the
# oldest update a launcher with keys takes is an update number. Script mode can include this
# file too (tests/cmake/update_signing_test.cmake).

# qz4_check_update_signing(<keys> <allow unsigned> <minimum update>) stops the configuration
# with the reason and the way out when the values cannot make a safe launcher.
function(qz4_check_update_signing keys allow_unsigned minimum_update)
  string(REGEX REPLACE "[ \t,;]" "" key_text "${keys}")
  if(key_text STREQUAL "" AND NOT allow_unsigned)
    message(FATAL_ERROR
      "QZ4_UPDATE_PUBLIC_KEY is not set.\n"
      "A launcher without the publisher's public key installs whatever a network attacker "
      "serves in place of the update hosts (a hostile Wi-Fi, a DNS answer, a mirror), and runs "
      "it with administrator rights.\n"
      "Build it with the key the patch maker prints when it creates signing.key:\n"
      "  cmake --preset <win32|win64|release> -DQZ4_UPDATE_PUBLIC_KEY=<64 hex digits>\n"
      "No key yet: build once with -DQZ4_ALLOW_UNSIGNED_UPDATES=ON, run that build only as "
      "the patch maker (qz4launcher -patchmaker creates signing.key and prints its key), then "
      "build the launcher with the key. Never give that first build to players.\n"
      "For tests and development alone: -DQZ4_ALLOW_UNSIGNED_UPDATES=ON.")
  elseif(key_text STREQUAL "")
    message(WARNING
      "QZ4_ALLOW_UNSIGNED_UPDATES=ON: this launcher installs whatever the update hosts serve, "
      "with administrator rights. For tests, development and the patch maker only; never give "
      "it to players.")
  endif()
  string(LENGTH "${minimum_update}" digits)
  if(NOT minimum_update MATCHES "^[0-9]+$" OR digits GREATER 10 OR
     (digits EQUAL 10 AND minimum_update STRGREATER "4294967295"))
    message(FATAL_ERROR "QZ4_MINIMUM_UPDATE: \"${minimum_update}\" is not an update number (0 to 4294967295)")
  endif()
endfunction()
