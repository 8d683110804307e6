# -DTEMBRIX_FUZZ=ON builds the libFuzzer target tembrix_fuzz (src/test/fuzz),
# instrumented with ASan and UBSan. It needs clang and its libFuzzer runtime
# (Debian: libclang-rt-14-dev, installed by scripts/setup.sh).

option(TEMBRIX_FUZZ "Build the libFuzzer target tembrix_fuzz (clang only)" OFF)

if(TEMBRIX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TEMBRIX_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  if(TEMBRIX_SANITIZER)
    message(FATAL_ERROR "TEMBRIX_FUZZ brings its own sanitizers (address,undefined): leave TEMBRIX_SANITIZER empty")
  endif()
  if(NOT BUILD_TESTING)
    message(FATAL_ERROR "TEMBRIX_FUZZ needs BUILD_TESTING=ON (the fuzz target uses the native tests' fake JNI)")
  endif()
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS "-fsanitize=fuzzer")
  check_cxx_source_compiles([[
    #include <stddef.h>
    #include <stdint.h>
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }
  ]] TEMBRIX_HAVE_LIBFUZZER)
  unset(CMAKE_REQUIRED_FLAGS)
  if(NOT TEMBRIX_HAVE_LIBFUZZER)
    message(FATAL_ERROR "clang cannot link -fsanitize=fuzzer: install libclang-rt-14-dev (scripts/setup.sh does)")
  endif()
endif()
