# Cross-compiles for macOS 11 or later with Zig's clang, libc++ and libSystem
# stubs; one architecture per build folder (KESTRUN_MAC_ARCH: x86_64 or
# aarch64), joined with lipo afterwards. scripts/cross-macos.sh passes
# KESTRUN_ZIG_WRAPPERS, the folder of its zig-cc/zig-c++/zig-ar wrappers.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20)
set(CMAKE_SYSTEM_PROCESSOR ${KESTRUN_MAC_ARCH})
set(CMAKE_C_COMPILER ${KESTRUN_ZIG_WRAPPERS}/zig-cc)
set(CMAKE_CXX_COMPILER ${KESTRUN_ZIG_WRAPPERS}/zig-c++)
set(CMAKE_AR ${KESTRUN_ZIG_WRAPPERS}/zig-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${KESTRUN_ZIG_WRAPPERS}/zig-ranlib CACHE FILEPATH "")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "" FORCE)
set(CMAKE_OSX_SYSROOT "" CACHE STRING "" FORCE)
# Declarations of the few framework calls the backend makes, and the link
# stubs that record the real frameworks in the binary.
set(KESTRUN_TOOLCHAIN_DIR ${CMAKE_CURRENT_LIST_DIR})
include_directories(SYSTEM ${KESTRUN_TOOLCHAIN_DIR}/include)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-F${KESTRUN_TOOLCHAIN_DIR}/frameworks")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
