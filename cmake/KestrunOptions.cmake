# Warnings, sanitizers and the include root shared by every target.
add_library(kestrun_options INTERFACE)
target_include_directories(kestrun_options INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(kestrun_options INTERFACE
  -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wcast-align -Wformat=2 -Wimplicit-fallthrough
  $<$<BOOL:${KESTRUN_WERROR}>:-Werror>
  # g++ 12 reports string concatenations as overlapping copies at -O3 (GCC bug 105329).
  $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict>)

if(KESTRUN_SANITIZE)
  set(KESTRUN_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer)
  target_compile_options(kestrun_options INTERFACE ${KESTRUN_SANITIZER_FLAGS})
  target_link_options(kestrun_options INTERFACE ${KESTRUN_SANITIZER_FLAGS})
endif()

# Programs started afresh for every call (the tool, and the launchctl stand-in
# of the tests) link the C++ runtime in on Linux: a run then starts about 1 ms
# sooner here. macOS has its runtime in the shared cache.
function(kestrun_link_runtime_statically target)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()
