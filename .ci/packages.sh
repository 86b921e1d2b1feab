# shellcheck shell=bash
# Sourced by the scripts that build: need_packages PACKAGE... installs the
# Debian packages among them that are missing, as root with apt-get, else
# through sudo; without either it prints the apt-get line to run and exits.
# Other apt users may hold the lock for a while: wait for it, do not fail.
# as_checkout_owner WHAT "$0" "$@" runs the calling script again as the
# checkout's owner when root runs it in another user's checkout.
# host_mirror prints the archive of this machine's own Debian entry, for
# the scripts that make a Debian root with debootstrap.

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
      echo "  apt-get install --no-install-recommends ${missing[*]}" >&2
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

# As root in another user's checkout: the rest runs as that user, so that
# build/ and run/ stay theirs and their own next run works; with their
# runtime folder where it exists, so that their pelmorctl finds the receiver.
# WHAT says what the script does then ("baue und teste").
as_checkout_owner() {
  local what=$1 script=$2 owner runtime xdg
  shift 2
  owner=$(stat -c %U .)
  if [ "$(id -u)" -ne 0 ] || [ "$owner" = root ]; then
    return 0
  fi
  runtime=/run/user/$(id -u "$owner")
  if [ -d "$runtime" ]; then xdg=(XDG_RUNTIME_DIR="$runtime"); else xdg=(-u XDG_RUNTIME_DIR); fi
  echo "Als root gestartet: $what als $owner, dem Besitzer von $PWD"
  exec runuser -u "$owner" -- env "${xdg[@]}" "$script" "$@"
}

# The URI of this machine's entry for its own release (deb822 or one-line).
host_mirror() {
  local own
  own=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release)
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    awk -v RS= -v own="$own" '{
      uri = ""; found = 0; key = ""
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^[A-Za-z-]+:$/) { key = $i; continue }
        if (key == "URIs:" && uri == "") uri = $i
        if (key == "Suites:" && $i == own) found = 1
      }
      if (found && uri != "") { print uri; exit }
    }' /etc/apt/sources.list.d/debian.sources
  elif [ -f /etc/apt/sources.list ]; then
    awk -v own="$own" '$1 == "deb" {
      for (i = 2; i < NF; i++) if ($i ~ /:\/\//) { if ($(i + 1) == own) { print $i; exit } break }
    }' /etc/apt/sources.list
  fi
}
