# Sourced by the scripts: find_pythons prints, one a line from the oldest, the path of one CPython
# interpreter for each minor version that corvana supports (3.9 to 3.13) and this machine has:
# python3.N on the PATH, else under pyenv's versions. real_python <python> prints the interpreter
# that a command (a pyenv shim, say) runs.
supported_minors=(9 10 11 12 13)

is_cpython() {  # <candidate> <minor>: the interpreter at candidate runs and is CPython 3.<minor>
  [ -x "$1" ] && "$1" -c "import platform, sys; sys.exit(not (platform.python_implementation() == 'CPython'
                         and sys.version_info[:2] == (3, $2)))" 2>/dev/null
}

find_pythons() {
  local minor candidate
  for minor in "${supported_minors[@]}"; do
    for candidate in "$(command -v "python3.$minor" || true)" \
                     "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3."$minor".*/bin/python3."$minor"; do
      if is_cpython "$candidate" "$minor"; then
        real_python "$candidate"
        break
      fi
    done
  done
}

real_python() { "$1" -c 'import sys; print(sys.executable)'; }
