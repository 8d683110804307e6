# Sanitizer builds of the library and the native tests.
#
#   -DTEMBRIX_SANITIZER=address,undefined   AddressSanitizer (with LeakSanitizer) and UBSan
#   -DTEMBRIX_SANITIZER=thread              ThreadSanitizer
#
# Every finding is fatal (-fno-sanitize-recover=all), so a test that trips a
# sanitizer fails. Works with gcc and clang. Included after the tembrix target
# is defined: the flags go onto that target, and onto every target defined
# after this point (the native tests).

set(TEMBRIX_SANITIZER "" CACHE STRING
    "Sanitizers for the library and the native tests: address,undefined or thread (empty for none)")

if(TEMBRIX_SANITIZER)
  string(REPLACE "," ";" _tembrix_sanitizers "${TEMBRIX_SANITIZER}")
  foreach(_s IN LISTS _tembrix_sanitizers)
    if(NOT _s MATCHES "^(address|undefined|thread|leak)$")
      message(FATAL_ERROR "TEMBRIX_SANITIZER: unknown sanitizer '${_s}'; use address,undefined or thread")
    endif()
  endforeach()
  if("thread" IN_LIST _tembrix_sanitizers AND ("address" IN_LIST _tembrix_sanitizers
                                              OR "leak" IN_LIST _tembrix_sanitizers))
    message(FATAL_ERROR "TEMBRIX_SANITIZER: thread cannot be combined with address or leak; use two build directories")
  endif()

  set(TEMBRIX_SANITIZER_COMPILE_FLAGS
      -fsanitize=${TEMBRIX_SANITIZER} -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
  set(TEMBRIX_SANITIZER_LINK_FLAGS -fsanitize=${TEMBRIX_SANITIZER})

  add_compile_options(${TEMBRIX_SANITIZER_COMPILE_FLAGS})
  add_link_options(${TEMBRIX_SANITIZER_LINK_FLAGS})

  target_compile_options(tembrix PRIVATE ${TEMBRIX_SANITIZER_COMPILE_FLAGS})
  target_link_options(tembrix PRIVATE ${TEMBRIX_SANITIZER_LINK_FLAGS})
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # clang links a sanitizer runtime into executables only; the shared
    # library names the shared runtime instead, so that it links with
    # --no-undefined. A JVM loads it with that runtime in LD_PRELOAD.
    target_link_options(tembrix PRIVATE -shared-libsan)
  endif()

  message(STATUS "tembrix: sanitizers ${TEMBRIX_SANITIZER}")
endif()
