#!/usr/bin/env bash
# The documents say what the programs do: every example marked in the README,
# docs/ and the man pages is compared with what the programs print, and
# pelmor(8) lists every text the receiver writes to its log or to standard
# error.
#
#   check_docs.sh BIN_DIR SOURCE_DIR NETNS_RUN
#
# A Markdown example is the indented block after "<!-- example NAME -->", a
# man page's the .nf block after '.\" example NAME'. Lines beginning with
# "$ " are run (in a scratch folder with the fixture buffer file and the
# example parameter file, the programs on the PATH) and followed by what they
# print; blocks without them are the output of this script's producer of
# that name. Values that differ from run to run (times, process ids,
# measured rates) are masked on both sides. The receiver the examples talk to
# listens on its default port in a network namespace of its own.
set -euo pipefail
bin=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
netns_run=$3

if [ -z "${PELMOR_DOCS_IN_NETNS:-}" ]; then
  PELMOR_DOCS_IN_NETNS=1 exec "$netns_run" bash "$0" "$@"
fi

# stdbuf preloads its library ahead of a sanitizer's runtime; the sanitized
# programs must not take that for a broken link order.
if [ -n "${ASAN_OPTIONS+set}" ]; then
  export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
fi

work=$(mktemp -d)
export PATH="$bin:$PATH" PELMOR_RUNTIME_DIR="$work/objects"
mkdir -m 700 "$PELMOR_RUNTIME_DIR"

cleanup() {
  pelmorctl stop --timeout 5 >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# Kept in a file: expect runs at the end of pipelines, in subshells.
fail() {
  echo "FEHLER: $*" >&2
  echo "$*" >>"$work/failures"
}

# doc_block FILE NAME: the example's lines as a reader sees them.
doc_block() {
  local file=$src/$1 name=$2
  case $file in
    *.md)
      awk -v mark="<!-- example $name -->" '
        $0 == mark { found = 1; next }
        found == 1 && /^    / { inside = 1; print substr($0, 5); next }
        found == 1 && inside { exit }
        found == 1 && /^$/ { next }
        found == 1 { exit }' "$file"
      ;;
    *)
      awk -v mark=".\\\\\" example $name" '
        $0 == mark { found = 1; next }
        found == 1 && $0 == ".nf" { inside = 1; next }
        inside && $0 == ".fi" { exit }
        inside { print }' "$file" | roff_text
      ;;
  esac
}

# The characters a man page escapes, as the reader sees them.
roff_text() {
  sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\(dq/"/g' -e 's/\\&//g' -e 's/\\e/\\/g'
}

# transcript: runs the "$ " lines of the block on standard input, each
# followed by what it printed.
transcript() {
  local line
  while IFS= read -r line; do
    case $line in
      '$ '*)
        printf '%s\n' "$line"
        # Line-buffered, so that standard output and error interleave as on a
        # terminal (stdbuf preloads its library, which a sanitized build
        # allows); a page shows no CR at a line's end.
        (cd "$work" && ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
          stdbuf -oL -eL bash -c "${line#\$ }" 2>&1 </dev/null) | sed 's/\r$//' || true
        ;;
    esac
  done
}

# expect FILE NAME [SED-MASK]: the example equals what the producer printed
# on standard input (or, for a block of commands, what they print now).
expect() {
  local file=$1 name=$2 mask=${3:-}
  local block actual
  block=$(doc_block "$file" "$name")
  if [ -z "$block" ]; then
    fail "$file: Beispiel $name fehlt"
    return
  fi
  if grep -q '^\$ ' <<<"$block"; then
    actual=$(transcript <<<"$block")
  else
    actual=$(cat)
  fi
  if [ -n "$mask" ]; then
    block=$(sed -E "$mask" <<<"$block")
    actual=$(sed -E "$mask" <<<"$actual")
  fi
  if [ "$block" != "$actual" ]; then
    fail "$file: Beispiel $name weicht ab"
    diff <(printf '%s\n' "$block") <(printf '%s\n' "$actual") >&2 || true
  fi
}

log_stamp='s/^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \[[0-9]+\]/STAMP/'
status_values='s/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}[+-][0-9]{2}:[0-9]{2}/TIME/g;
  s/(Prozess-ID: +)[0-9]+/\1PID/; s/"pid": [0-9]+/"pid": PID/'
metric_times='s/^(pelmor_(start_time|last_record_timestamp)_seconds\{[^}]*\}) [0-9]+$/\1 TIME/'
measured='s/in [0-9.]+ s: [0-9]+ Nachrichten\/s, Quittung p50 [0-9]+ us, p99 [0-9]+ us/MEASURED/'

# --- the scratch folder and the receiver on the default port
mkdir "$work/run" "$work/run2" "$work/build"
ln -s "$bin" "$work/build/bin"
cp "$src/examples/pelmor.ini" "$work/pelmor.ini"
cp "$src/tests/docs/PELMOR.BUF" "$work/PELMOR.BUF"
printf 'KEYINI\r\n[PELMOR]\r\nUPLPORT = 6664\r\nBUFFDATEI = PELMOR.BUF\r\nLOGDATEI = PELMOR.LOG\r\nMAXLOGSIZE = 2000\r\nERRLEVEL = 1000\r\nTIMEOUT = 1\r\n' \
  | tee "$work/run/pelmor.ini" >"$work/run2/pelmor.ini"
(cd "$work/run" && exec pelmor pelmor.ini) &
pelmorctl wait-ready --timeout 20 >/dev/null

# --- status and its counters: one session ended by "X", one in progress
pelmor-send "erste Nachricht" zweite >/dev/null
exec 3<>/dev/tcp/127.0.0.1/6664
printf drei >&3
read -r -n 1 ack <&3
[ "$ack" = 1 ] || fail "keine Quittung fuer die offene Sitzung"
pelmorctl status | expect packaging/man/pelmorctl.8 status "$status_values"
pelmorctl status --json | expect packaging/man/pelmorctl.8 status-json "$status_values"
pelmorctl metrics | expect packaging/man/pelmorctl.8 metrics "$metric_times"
printf X >&3
exec 3<&-

# --- the log: a silent client, and a second receiver on a port already taken
exec 4<>/dev/tcp/127.0.0.1/6664
cat <&4 >/dev/null || true
exec 4<&-
grep -m 1 'E-3' "$work/run/PELMOR.LOG" | expect packaging/man/pelmor.8 log-read-timeout "$log_stamp"
(cd "$work/run2" && PELMOR_RUNTIME_DIR="$work/objects2" pelmor pelmor.ini)
grep -m 1 'CSocketServerInit' "$work/run2/PELMOR.LOG" |
  expect packaging/man/pelmor.8 log-port-taken "$log_stamp"

# --- the parameter file
tr -d '\r' <"$src/examples/pelmor.ini" | expect README.md parameter-file
tr -d '\r' <"$src/examples/pelmor.ini" | expect packaging/man/pelmor.ini.5 parameter-file

# --- the programs' transcripts
expect README.md send
expect packaging/man/pelmor.8 foreground
expect packaging/man/pelmorctl.8 check
expect packaging/man/pelmorctl.8 verify
expect packaging/man/pelmorctl.8 records
expect packaging/man/pelmor-send.1 send "$measured"
pelmor-send --count 20000 --size 100 | expect packaging/man/pelmor-send.1 load "$measured"

# --- pelmor(8) lists every text the receiver writes: the placeholders in
# capitals stand where the program fills in a value.
documented=$(roff_text <"$src/packaging/man/pelmor.8" |
  sed -E 's/\b(CODE|NAME|PATH|LINE|TEXT|N|PELMOR_MTX|PelmorCounters)\b/@/g')
while IFS= read -r literal; do
  text=$(sed -E 's/^"//; s/"$//; s/\\n$//; s/\\"/"/g; s/%[a-z]+/@/g' <<<"$literal")
  grep -Fxq -- "$text" <<<"$documented" || fail "pelmor(8) DIAGNOSTICS nennt nicht: $text"
done < <(grep -rhoE '"(Fehler: |pelmor: )([^"\\]|\\.)*"' "$src/receiver" --include='*.cpp' | sort -u)

if [ -s "$work/failures" ]; then
  echo "$(wc -l <"$work/failures") Abweichungen der Dokumente" >&2
  exit 1
fi
echo "Alle Beispiele und Texte der Dokumente stimmen."
