#!/usr/bin/env bash
# Sets up and runs every test of corvana on a fresh Debian machine:
#   1. installs what the tests need (Debian's libgtest-dev and libxxhash-dev, cmake and ninja, and
#      Debian's redis-server, whose servers the Redis tests start on sockets of their own),
#   2. builds and runs the native tests plainly, then under AddressSanitizer + UBSan,
#   3. builds the binary wheels (scripts/build_wheels.sh) for the default Python and for the oldest
#      and newest supported CPython that the machine has (3.9 and 3.13 under pyenv), checks what they
#      hold (scripts/check_wheel.py), and for each of these Pythons installs its wheel with the test
#      extra into a fresh virtual environment, taking binary wheels only, and runs the Python tests
#      there with no C or C++ compiler on the PATH.
# Any failing step or test makes the script fail.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
python=${PYTHON:-python3}
jobs=${JOBS:-2}

source "$root/scripts/debian_packages.sh"
source "$root/scripts/pythons.sh"
install_debian_packages libgtest-dev libxxhash-dev redis-server
"$python" -m pip install -q --upgrade cmake ninja

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

# The default Python first, then the oldest and the newest supported ones found, each version once.
mapfile -t found < <(find_pythons)
pythons=()
tags=()
for candidate in "$(real_python "$python")" "${found[@]:0:1}" "${found[@]: -1}"; do
  tag=$("$candidate" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  if [[ " ${tags[*]} " != *" $tag "* ]]; then
    pythons+=("$candidate")
    tags+=("$tag")
  fi
done
bash "$root/scripts/build_wheels.sh" "${pythons[@]}"
wheels=()
for tag in "${tags[@]}"; do  # the newest wheel built for each
  wheels+=("$(ls -t "$root"/dist/corvana-*-"$tag-$tag"-manylinux*.whl | head -n 1)")
done
"$root/build/wheel-tools/bin/python" "$root/scripts/check_wheel.py" "${wheels[@]}"

# A PATH with every program of the system's but the C and C++ compilers and build tools, so that
# nothing can be compiled where the wheels are installed and tested.
no_compiler="$root/build/no-compiler-bin"
rm -rf "$no_compiler" && mkdir -p "$no_compiler"
for program in /usr/local/bin/* /usr/bin/* /bin/*; do
  case $(basename "$program") in
    *cc | *cc-[0-9]* | c89* | c99* | *++* | cpp* | *-cpp* | clang* | ld | ld.* | as | *-as | *-ld* \
      | cmake* | ninja* | make*) ;;
    *) [ -e "$no_compiler/$(basename "$program")" ] || ln -s "$program" "$no_compiler/"
  esac
done

for index in "${!pythons[@]}"; do
  interpreter=${pythons[$index]}
  wheel=${wheels[$index]}
  venv="$root/build/test-venvs/$(basename "$wheel" .whl)"
  echo "== Python tests: $(basename "$wheel") in a fresh virtual environment, no compiler on the PATH"
  "$interpreter" -m venv --clear "$venv"
  "$venv/bin/python" -m pip install -q --only-binary=:all: "$wheel[test]"
  extra_env=()
  if [ "$index" -eq 0 ]; then  # the native test build made its test modules for the default Python
    extra_env=(CORVANA_TEST_EXT_DIR="$root/build/native/tests/ext"
               CORVANA_CRASH_PACKAGE="$root/build/native/tests/crash_package")
  fi
  (
    cd "$(mktemp -d)"  # outside the source tree, so that the installed package is what is imported
    export PATH="$venv/bin:$no_compiler"
    python_cc=$("$venv/bin/python" -c 'import sysconfig as c; print((c.get_config_var("CC") or "cc").split()[0])')
    for compiler in cc c++ gcc g++ clang "$python_cc"; do
      if command -v "$compiler" >/dev/null; then
        echo "a compiler is on the PATH of the wheel's tests: $(command -v "$compiler")" >&2
        exit 1
      fi
    done
    if "$venv/bin/python" -m pip show -q xxhash 2>/dev/null; then
      echo "an xxhash package is installed beside the wheel" >&2
      exit 1
    fi
    env "${extra_env[@]}" "$venv/bin/python" -m pytest "$root/tests/python" -q -p no:cacheprovider
  )
done
