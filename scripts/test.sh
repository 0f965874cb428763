#!/usr/bin/env bash
# Sets up and runs every test of corvana on a fresh Debian machine:
#   1. installs what the tests need (Debian's libgtest-dev, libxxhash-dev and redis-server, whose
#      servers the Redis tests start on sockets of their own; the package itself with its test extra,
#      which brings the redis client),
#   2. builds and runs the native tests plainly, then under AddressSanitizer + UBSan,
#   3. runs the Python tests against the installed package.
# Any failing step or test makes the script fail.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
python=${PYTHON:-python3}
jobs=${JOBS:-2}

source "$root/scripts/debian_packages.sh"
install_debian_packages libgtest-dev libxxhash-dev redis-server
"$python" -m pip install -q --upgrade cmake ninja
"$python" -m pip install -q "$root[test]"

native_tests() {  # <build dir> [extra cmake options...]
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DPython_EXECUTABLE="$(command -v "$python")" \
    -DCORVANA_BUILD_PYTHON=OFF -DCORVANA_BUILD_TESTS=ON "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j 1
}

echo "== native tests"
native_tests "$root/build/native"
echo "== native tests under AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  native_tests "$root/build/asan" -DCORVANA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug

echo "== Python tests"
# Run outside the source tree so that the installed package is what is imported.
cd "$(mktemp -d)"
CORVANA_TEST_EXT_DIR="$root/build/native/tests/ext" CORVANA_CRASH_PACKAGE="$root/build/native/tests/crash_package" \
  "$python" -m pytest "$root/tests/python" -q -p no:cacheprovider
