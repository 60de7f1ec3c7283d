#!/usr/bin/env bash
# The C and Python faces of an installed velp2p, used as another project would: installs a build tree into a
# scratch prefix, builds the C example with pkg-config against it, installs the Python package with pip
# into a fresh virtual environment, then runs the examples' tests with the installed console: the C
# example and the Python chat (from the environment, finding the library through the loader) each
# exchange a message and a status with it.
# Arguments: BUILD_DIR SOURCE_DIR PYTHON CC [EXTRA_CFLAGS]
set -euo pipefail
build="$1" source="$2" python="$3" cc="$4" flags="${5:-}"

skip() {
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
[ "${VELP2P_SANDBOX:-}" = 1 ] || skip "runs peers: only inside the network namespace of ./run test"
command -v pkg-config >/dev/null 2>&1 || skip "pkg-config is not installed"
"$python" -c 'import ensurepip, pytest, setuptools, venv, wheel' 2>/dev/null ||
  skip "$python lacks venv, pytest, setuptools or wheel (python3-venv python3-pytest python3-setuptools python3-wheel)"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" || { cat "$scratch/install.log"; fail "install"; }
libdir="$(dirname "$(find "$prefix" -name 'libvelp2p.so.0' -print -quit)")"
[ -f "$prefix/include/velp2p/velp2p.h" ] || fail "velp2p/velp2p.h is not installed"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 -Wall -Wextra -Werror -pedantic $flags -o "$scratch/c-example" "$source/apps/cexample/main.c" \
  $(pkg-config --cflags --libs velp2p) -Wl,-rpath,"$(pkg-config --variable=libdir velp2p)" ||
  fail "the C example does not build with pkg-config"

# pip builds in the directory it is given: a copy keeps the source tree clean. No index: offline.
cp -R "$source/bindings/python" "$scratch/package"
"$python" -m venv --system-site-packages "$scratch/venv" || fail "venv"
"$scratch/venv/bin/python" -m pip install --quiet --no-build-isolation --no-index "$scratch/package" \
  >"$scratch/pip.log" 2>&1 || { cat "$scratch/pip.log"; fail "pip install"; }
env -u PYTHONPATH -u VELP2P_LIBRARY LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  "$scratch/venv/bin/python" -c 'import velp2p, sys; sys.exit(0 if velp2p.__file__.startswith(sys.prefix) else 1)' ||
  fail "the installed package is not the one imported"

env -u PYTHONPATH -u VELP2P_LIBRARY LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  VELP2P_CONSOLE="$prefix/bin/velp2p" VELP2P_C_EXAMPLE="$scratch/c-example" \
  VELP2P_PYTHON="$scratch/venv/bin/python" \
  "$python" "$source/bindings/python/tests/run.py" "$source/bindings/python/tests/test_examples.py"
