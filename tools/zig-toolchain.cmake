# The portable wheels' toolchain: zig's clang and libc++, linked against the
# glibc version named in the target, whatever glibc the build machine has.
# zig and the target come from the environment (ZEMO_ZIG, ZEMO_ZIG_TARGET, e.g.
# x86_64-linux-gnu.2.28), which every compile and link step inherits; the
# wrappers in tools/zig read them there.
if(NOT DEFINED ENV{ZEMO_ZIG} OR NOT DEFINED ENV{ZEMO_ZIG_TARGET})
  message(FATAL_ERROR "zig-toolchain.cmake: set ZEMO_ZIG (the zig binary) and ZEMO_ZIG_TARGET")
endif()
string(REGEX MATCH "^[^-]+" _zemo_arch "$ENV{ZEMO_ZIG_TARGET}")
if(NOT _zemo_arch STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${_zemo_arch})
endif()
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig/ranlib CACHE FILEPATH "")
# zig keeps frame pointers even when optimising (g++ drops them): without
# this every call that is not inlined pays for them, and so does the libc++
# that zig compiles for the link, which sees the same flags.
set(CMAKE_C_FLAGS_INIT -fomit-frame-pointer)
set(CMAKE_CXX_FLAGS_INIT -fomit-frame-pointer)
