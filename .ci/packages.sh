# shellcheck shell=bash
# Sourced by the scripts that build: need_packages PACKAGE... installs the
# Debian packages among them that are missing, as root with apt-get, else
# through sudo; without either it prints the apt-get line to run and exits.
# Other apt users may hold the lock for a while: wait for it, do not fail.

need_packages() {
  local missing=() package
  if ! command -v dpkg-query >/dev/null; then
    echo "Kein Debian: Pakete nicht geprueft (gebraucht: $*)"
    return 0
  fi
  for package in "$@"; do
    [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) == *" installed" ]] ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0

  local as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "Es fehlen Debian-Pakete: ${missing[*]}. Bitte als root ausfuehren:" >&2
      echo "  apt-get install ${missing[*]}" >&2
      echo "und dann diesen Befehl noch einmal." >&2
      exit 1
    fi
    as_root=(sudo)
  fi
  local apt=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900)
  echo "Installiere fehlende Debian-Pakete: ${missing[*]}"
  local install=("${apt[@]}" install -y --no-install-recommends "${missing[@]}")
  # Package lists that are old or do not know a package yet: fetch them once.
  "${install[@]}" && return 0
  echo "Paketlisten werden erneuert, dann noch ein Versuch"
  "${apt[@]}" update
  "${install[@]}"
}
