#!/usr/bin/env bash
# Installs a build tree into a scratch prefix, checks what landed there, then builds and runs a one-file
# consumer against that prefix twice: through find_package(velp2p) and through pkg-config.
# Arguments: BUILD_DIR CONSUMER_DIR CXX [EXTRA_CXXFLAGS]
set -euo pipefail
build="$1" consumer="$2" cxx="$3" flags="${4:-}"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" || { cat "$scratch/install.log"; fail "install"; }

libdir="$(dirname "$(find "$prefix" -name 'libvelp2p.so.*.*' -print -quit)")"
[ -d "$libdir" ] || fail "no libvelp2p.so.X.Y under $prefix"
[ "$(readlink "$libdir/libvelp2p.so")" = libvelp2p.so.0 ] || fail "libvelp2p.so does not point at libvelp2p.so.0"
[ -f "$(readlink -f "$libdir/libvelp2p.so.0")" ] || fail "libvelp2p.so.0 is dangling"
soname="$(objdump -p "$libdir/libvelp2p.so.0" | awk '$1 == "SONAME" { print $2 }')"
[ "$soname" = libvelp2p.so.0 ] || fail "SONAME is '$soname'"
for f in include/velp2p/VELIP2PPeer.h include/velp2p/VELVersion.h bin/velp2p; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
[ -f "$libdir/cmake/velp2p/velp2pConfig.cmake" ] && [ -f "$libdir/cmake/velp2p/velp2pConfigVersion.cmake" ] ||
  fail "no CMake package"
[ -f "$libdir/pkgconfig/velp2p.pc" ] || fail "no pkg-config file"
# Only the documented interface is exported, and no instance of a standard library template (std::,
# __gnu_cxx::, with their typeinfo, vtables and local statics): those would freeze internals into the ABI.
exported="$(nm -D --defined-only "$libdir/libvelp2p.so.0" | awk '{ print $3 }')"
count="$(wc -l <<<"$exported")"
echo "libvelp2p.so.0 exports $count symbols"
[ "$count" -le 400 ] || fail "libvelp2p.so.0 exports $count symbols, more than 400"
standard="$(grep -E '^_Z(Z|T[ISV]|GV)?N?K?(St|S[absiod]|9__gnu_cxx)' <<<"$exported" || true)"
[ -z "$standard" ] || fail "libvelp2p.so.0 exports standard library symbols: $(c++filt <<<"$standard" | head -5)"
# The installed console finds the installed library by itself.
loaded="$(ldd "$prefix/bin/velp2p" | awk '$1 == "libvelp2p.so.0" { print $3 }')"
[ "$(readlink -f "$loaded")" = "$(readlink -f "$libdir/libvelp2p.so.0")" ] || fail "bin/velp2p loads '$loaded'"

# The installed headers stand on their own: each names only installed headers, and each compiles alone with
# nothing but the prefix to look in (velp2p.h as C is the C example's test).
for header in "$prefix"/include/velp2p/*.h; do
  name="velp2p/$(basename "$header")"
  for included in $(sed -n 's/^#include "\(velp2p\/[^"]*\)".*/\1/p' "$header"); do
    [ -f "$prefix/include/$included" ] || fail "$name includes $included, which is not installed"
  done
  # shellcheck disable=SC2086
  echo "#include \"$name\"" | "$cxx" $flags -std=c++17 -fsyntax-only -x c++ -I"$prefix/include" - ||
    fail "$name does not compile alone"
done

expect_output() {
  local out
  out="$("$1")" || fail "$1 failed: $out"
  echo "$out"
  grep -q "^velp2p [0-9]" <<<"$out" || fail "$1 printed no version"
}

# Moving the prefix after installing must not matter: the package files only hold relative paths.
mv "$prefix" "$scratch/moved"
prefix="$scratch/moved"
libdir="$prefix/${libdir#"$scratch/prefix/"}"

cmake -S "$consumer" -B "$scratch/by-cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="$flags" >"$scratch/cmake.log" 2>&1 || { cat "$scratch/cmake.log"; fail "find_package"; }
cmake --build "$scratch/by-cmake" >>"$scratch/cmake.log" 2>&1 || { cat "$scratch/cmake.log"; fail "build by CMake"; }
expect_output "$scratch/by-cmake/consumer"

if ! command -v pkg-config >/dev/null 2>&1; then
  echo "SKIP: pkg-config is not installed; only find_package was tried"
  exit 77
fi
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion velp2p)" = "$(sed -n 's/^#define VELP2P_VERSION_STRING "\(.*\)"/\1/p' \
  "$prefix/include/velp2p/VELVersion.h")" ] || fail "pkg-config and VELVersion.h disagree"
# shellcheck disable=SC2046,SC2086
"$cxx" $flags -o "$scratch/by-pkg-config" "$consumer/main.cpp" $(pkg-config --cflags --libs velp2p) \
  -Wl,-rpath,"$(pkg-config --variable=libdir velp2p)" || fail "build by pkg-config"
expect_output "$scratch/by-pkg-config"
