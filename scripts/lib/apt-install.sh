# Sourced by the install scripts: apt_install PACKAGE... installs from Debian's archive those
# of the packages that are not installed yet (run as root). The package lists are fetched
# only when the archive cannot give the packages without them, so a machine that already
# has everything touches no network, and one CI run refreshes the lists at most once.
apt_install() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
      || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}
