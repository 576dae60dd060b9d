# Initial cache of the release build on macOS, given to a fresh build folder:
#   cmake -C cmake/MacOS.cmake -S . -B build-mac -G Ninja
# An initial cache is read before project() runs, which is where
# CMAKE_OSX_ARCHITECTURES and CMAKE_OSX_DEPLOYMENT_TARGET must be set.

# One universal binary for Intel and Apple silicon Macs.
set(CMAKE_OSX_ARCHITECTURES "x86_64;arm64" CACHE STRING "Architectures of the tool")
# macOS 11 is the first release that runs on Apple silicon.
set(CMAKE_OSX_DEPLOYMENT_TARGET "11.0" CACHE STRING "Oldest macOS the tool runs on")
set(CMAKE_BUILD_TYPE Release CACHE STRING "Build type")
set(KESTRUN_WERROR ON CACHE BOOL "Treat compiler warnings as errors")
# The test suite runs the tool in a Linux sandbox (mount namespace, chroot).
set(KESTRUN_BUILD_TESTS OFF CACHE BOOL "Build the test suite")
