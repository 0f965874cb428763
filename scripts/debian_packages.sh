# Sourced by the set-up scripts: install_debian_packages <package>... installs those of the Debian
# packages that are missing (with sudo unless root), or explains what to install where apt-get is
# not there.
sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
install_debian_packages() {
  local missing=()
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    if ! command -v apt-get >/dev/null; then
      echo "corvana needs ${missing[*]} (or their equivalents on this system); install them and run again" >&2
      return 1
    fi
    sudo_if_needed apt-get update -qq
    sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  fi
}
