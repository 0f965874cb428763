#!/usr/bin/env bash
# Sets up corvana on a Debian or Ubuntu machine: installs the xxHash headers that the build needs
# (Debian's libxxhash-dev, when missing), then builds and installs the package into the Python that
# runs this script: PYTHON if set, else `python` on the PATH (an active virtual environment's), else
# python3.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-$(command -v python || command -v python3)}
source "$root/scripts/debian_packages.sh"
install_debian_packages libxxhash-dev
"$python" -m pip install -q "$root"
