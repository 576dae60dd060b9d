#!/usr/bin/env bash
# Compiles every source that the macOS build shares with the Linux build with
# g++, with clang++, and with clang++ against libc++ (the standard library of
# macOS) when its headers are installed: syntax only, C++20, the project's
# warnings as errors. The shared sources are all of platform/, libutils-macOS/
# and kestrun/ except the tests and the backends that platform/CMakeLists.txt
# names inside its if(APPLE) ... else() ... endif() block. Also checks that
# every file that block names exists, which no Linux build would notice.
#
# A last pass compiles the shared sources that log with clang++ and __APPLE__
# defined, so that VQ_LOG takes its macOS branch and hands every format to a
# stand-in for <os/log.h> made below: one macro of the SDK's shape over clang's
# own os_log builtins. clang then checks each message's format and arguments
# by os_log's rules ("%{public}s" and the like), as an error. That checks the
# formats and the macro's expansion in C++20; it is not Apple's header.
set -euo pipefail
cd "$(dirname "$0")/.."

# The warnings of cmake/KestrunOptions.cmake, as errors.
flags=(-std=c++20 -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wcast-align -Wformat=2
       -Wimplicit-fallthrough -Werror -fsyntax-only -I.)
read -r -a plist_flags <<<"$(pkg-config --cflags libplist-2.0 2>/dev/null ||
                             pkg-config --cflags libplist)"
flags+=("${plist_flags[@]}")

block=$(awk '/^if\(APPLE\)/ {on = 1} on {print} on && /^endif\(\)/ {exit}' platform/CMakeLists.txt)
mapfile -t backends < <(grep -o '[A-Za-z0-9_]*\.cc' <<<"$block" | sort -u)
if ((${#backends[@]} == 0)); then
  echo "clang-check: no platform block found in platform/CMakeLists.txt" >&2
  exit 1
fi

failed=0
for name in "${backends[@]}"; do
  if [[ ! -f platform/$name ]]; then
    echo "MISSING platform/$name (named in platform/CMakeLists.txt)"
    failed=$((failed + 1))
  fi
done

shared=()
for file in platform/*.cc libutils-macOS/*.cc kestrun/*.cc; do
  name=${file##*/}
  [[ $name == *_test.cc ]] && continue
  [[ " ${backends[*]} " == *" $name "* ]] && continue
  shared+=("$file")
done

compilers=("g++" "clang++")
if echo '#include <version>' | clang++ -stdlib=libc++ -x c++ -fsyntax-only - 2>/dev/null; then
  compilers+=("clang++ -stdlib=libc++")
else
  echo "clang++ with libc++: skipped, its headers are not installed (Debian: libc++-dev)"
fi

passed=0
results=$(mktemp -d)
standin=$(mktemp -d)
trap 'rm -rf "$results" "$standin"' EXIT
# Runs one check in the background, as many at a time as there are cores;
# its output and verdict wait in $results until collect reads them.
checks=0
check() {
  local label=$1
  shift
  checks=$((checks + 1))
  ((checks > $(nproc))) && wait -n
  {
    if "$@" >"$results/$checks.log" 2>&1; then echo ok; else echo "FAILED $label"; fi \
      >"$results/$checks.verdict"
  } &
}
collect() {
  wait
  for ((i = 1; i <= checks; i++)); do
    if [[ $(cat "$results/$i.verdict") == ok ]]; then
      passed=$((passed + 1))
    else
      cat "$results/$i.verdict" "$results/$i.log"
      failed=$((failed + 1))
    fi
  done
}

for compiler in "${compilers[@]}"; do
  read -r -a command <<<"$compiler"
  for file in "${shared[@]}"; do
    check "$compiler: $file" "${command[@]}" "${flags[@]}" "$file"
  done
done

mkdir "$standin/os"
cat >"$standin/os/log.h" <<'EOF'
#pragma once
#include <stdbool.h>
#include <stdint.h>
extern "C" {
typedef struct os_log_s* os_log_t;
typedef enum : uint8_t {
  OS_LOG_TYPE_DEFAULT = 0x00, OS_LOG_TYPE_INFO = 0x01, OS_LOG_TYPE_DEBUG = 0x02,
  OS_LOG_TYPE_ERROR = 0x10, OS_LOG_TYPE_FAULT = 0x11
} os_log_type_t;
bool os_log_type_enabled(os_log_t log, os_log_type_t type);
void standin_log(os_log_t log, os_log_type_t type, const char* format, uint8_t* buffer,
                 uint32_t size);
}
#define os_log_with_type(log, type, format, ...) __extension__({                          \
  os_log_t standin_handle = (log);                                                        \
  os_log_type_t standin_type = (type);                                                    \
  if (os_log_type_enabled(standin_handle, standin_type)) {                                \
    _Pragma("clang diagnostic push") _Pragma("clang diagnostic error \"-Wformat\"")       \
    _Static_assert(__builtin_constant_p(format), "the format must be a literal");         \
    static const char standin_format[] = format;                                          \
    uint8_t _Alignas(16) standin_buffer[__builtin_os_log_format_buffer_size(              \
        format, ##__VA_ARGS__)];                                                          \
    standin_log(standin_handle, standin_type, standin_format,                             \
                (uint8_t*)__builtin_os_log_format(standin_buffer, format, ##__VA_ARGS__), \
                (uint32_t)sizeof(standin_buffer));                                        \
    _Pragma("clang diagnostic pop")                                                       \
  }                                                                                       \
})
EOF
# glibc calls the time fields of struct stat st_atim and st_mtim.
apple=(clang++ "${flags[@]}" -I"$standin" -D__APPLE__ -Dst_atimespec=st_atim
       -Dst_mtimespec=st_mtim)
mapfile -t logging < <(grep -l 'VQ_LOG' "${shared[@]}")
for file in "${logging[@]}"; do
  check "os_log formats: $file" "${apple[@]}" "$file"
done
collect
compilers+=("clang++ -D__APPLE__ with the os_log stand-in (${#logging[@]} sources that log)")

echo "shared sources (${#shared[@]}): ${shared[*]}"
printf 'compiler: %s\n' "${compilers[@]}"
echo "clang-check: $passed passed, $failed failed"
((failed == 0))
