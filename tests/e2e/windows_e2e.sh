#!/usr/bin/env bash
# End to end under Wine: the Windows pelmor.exe and pelmorctl.exe in a private
# directory, a client on the Linux side over 127.0.0.1, the buffer file
# checked byte for byte as on Linux.
#
#   windows_e2e.sh BIN_DIR WINE_RUNNER...
#
# BIN_DIR holds pelmor.exe, pelmorctl.exe and nevtar.dll; WINE_RUNNER is the
# command that runs a Windows program (the build's cross-compiling emulator).
# Every wait is bounded. Prints "N passed, N failed" and exits non-zero on a
# failed check.
set -u
export LC_ALL=C
source "$(dirname "$0")/e2e_support.sh"

bin=$1
shift
golden=$(cd "$(dirname "$0")/golden" && pwd)
wine=("$@")
work=$(mktemp -d)
passed=0
failed=0
receivers=()

cleanup() {
  for pid in "${receivers[@]}"; do
    kill "$pid" 2>/dev/null
  done
  [ -n "${PELMOR_E2E_KEEP:-}" ] && echo "$work" || rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1

# Starts pelmor.exe with one parameter file; its id goes to $receiver.
start_receiver() {
  "${wine[@]}" "$bin/pelmor.exe" "$1" >pelmor.out 2>pelmor.err </dev/null &
  receiver=$!
  receivers+=("$receiver")
}

pelmorctl() { # pelmorctl WORD...: output in ctl.out, exit code returned
  timeout 60 "${wine[@]}" "$bin/pelmorctl.exe" "$@" >ctl.out 2>ctl.err </dev/null
}

# Exit code of a started receiver within SECONDS, -1 when it overstayed
# (it is then killed).
receiver_exit() { # receiver_exit PID SECONDS
  local pid=$1 tenths=$(($2 * 10))
  for _ in $(seq "$tenths"); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"
      echo $?
      return
    fi
    sleep 0.1
  done
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  echo -1
}

is_empty_or_missing() { [ ! -s "$1" ]; }
is_file_not() { [ ! -e "$1" ] && [ -f "$2" ]; } # is_file_not MISSING PRESENT

# pelmorctl status --json, its line in $json; json_has PATTERN: the line
# matches the extended regular expression.
status_json() {
  pelmorctl status --json
  local result=$?
  json=$(tr -d '\r' <ctl.out)
  return $result
}
json_has() { [[ $json =~ $1 ]]; }

# --- messages become records, byte for byte; pelmorctl stop ends it with 0 --
port=$(pelmor_free_port)
pelmor_standard_ini pelmor.ini "$port"
before=$(local_stamp)
start_receiver pelmor.ini
pelmorctl wait-ready --timeout 30
check "Empfaenger bereit" equals $? 0
full=$(printf 'm%.0s' $(seq 512))
connect "$port"
check "hallo quittiert" equals "$(send hallo)" 1
check "welt quittiert" equals "$(send welt)" 1
check "512 Bytes quittiert" equals "$(send "$full")" 1
check "X ohne Antwort" equals "$(send X)" none
disconnect
connect "$port"
check "neu quittiert" equals "$(send neu)" 1
check "X ohne Antwort" equals "$(send X)" none
disconnect
after=$(local_stamp)
check "vier Saetze zu 552 Bytes" equals "$(wc -c <PELMOR.BUF)" 2208
check "Satz 1" record_is 0 "$port" 1 hallo "$before" "$after"
check "Satz 2" record_is 1 "$port" 2 welt "$before" "$after"
check "Satz 3" record_is 2 "$port" 3 "$full" "$before" "$after"
check "Satz 4" record_is 3 "$port" 1 neu "$before" "$after"
pelmorctl verify PELMOR.BUF
check "pelmorctl verify: in Ordnung" equals $? 0
check "pelmorctl verify: 4 Saetze, 2 Sitzungen" equals "$(tr -d '\r' <ctl.out | sed -n 1,2p)" \
  "$(printf 'Saetze:       4\nSitzungen:    2')"
pelmorctl records PELMOR.BUF --csv --from 4
check "pelmorctl records --csv: Zeilenende CR LF, unuebersetzt" equals \
  "$(tail -c 6 ctl.out | od -An -tx1 | tr -d ' \n')" 2c6e65750d0a

# --- the counters of these two sessions, as pelmorctl status --json --------
status_json
check "status --json endet mit 0" equals $? 0
iso='"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{2}:[0-9]{2}"'
check "Zaehler: laeuft, Prozess, Start" json_has "^\{\"running\": true, \"pid\": [0-9]+, \"started\": $iso, "
check "Zaehler: zwei Verbindungen, zweimal X" json_has '"connections": 2, "ended_x": 2, '
check "Zaehler: vier Saetze" json_has '"records_stored": 4, "records_failed": 0, '
check "Zaehler: Bytes" json_has "\"bytes_received\": $((5 + 4 + 512 + 1 + 3 + 1)), "
check "Zaehler: letzter Satz, niemand verbunden" json_has "\"last_record\": $iso, \"peer\": null, "

# --- a second copy ends at once, without a log; the first serves on --------
pelmor_write_ini second.ini "UPLPORT = $(pelmor_free_port)" "LOGDATEI = SECOND.LOG" \
  "BUFFDATEI = SECOND.BUF" "ERRLEVEL = 1000" "MAXLOGSIZE = 10"
timeout 60 "${wine[@]}" "$bin/pelmor.exe" second.ini >/dev/null 2>second.err </dev/null
check "zweite Kopie endet mit 0" equals $? 0
check "zweite Kopie ohne Log" is_empty_or_missing SECOND.LOG
connect "$port"
check "erste Kopie bedient weiter" equals "$(send "noch da")" 1
check "X ohne Antwort" equals "$(send X)" none
disconnect

pelmorctl stop --timeout 30
check "pelmorctl stop endet mit 0" equals $? 0
check "pelmorctl meldet das Ende" equals "$(tr -d '\r' <ctl.out)" "Empfaenger beendet."
check "Empfaenger endet mit 0" equals "$(receiver_exit "$receiver" 10)" 0
check "nichts geloggt" is_empty_or_missing PELMOR.LOG
pelmorctl status
check "pelmorctl status: laeuft nicht" equals $? 3
# No receiver here and none as a service (Global\): no hint, the same words.
check "pelmorctl status: ohne Hinweis" is_empty_or_missing ctl.err
check "pelmorctl status: kein Empfaenger" equals "$(tr -d '\r' <ctl.out)" "$(
  printf 'Empfaenger:       laeuft nicht\nStop angefordert: kein Ereignis\nBereit:           kein Ereignis')"

# --- without a buffer file every connection is closed and logged ------------
port=$(pelmor_free_port)
pelmor_write_ini nobuf.ini "UPLPORT = $port" "LOGDATEI = NOBUF.LOG" "MAXLOGSIZE = 2000" \
  "ERRLEVEL = 1000" "TIMEOUT = 3"
start_receiver nobuf.ini
pelmorctl wait-ready --timeout 30
check "Empfaenger ohne Bufferdatei bereit" equals $? 0
for _ in 1 2; do
  connect "$port"
  check "ohne Antwort geschlossen" equals "$(send verloren)" none
  disconnect
done
pelmorctl stop --timeout 30
check "pelmorctl stop endet mit 0" equals $? 0
check "Empfaenger endet mit 0" equals "$(receiver_exit "$receiver" 10)" 0
entry='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \[[0-9]+\] pelmor PelmorWork\(\) L1 E0 N0 Fehler: Funktion RcvConSession\(\)!$'
check "zwei Logeintraege" equals "$(grep -Ec "$entry" NOBUF.LOG)" 2
check "nur diese" equals "$(wc -l <NOBUF.LOG)" 2

# --- SYNC = TRUE: records acknowledged once on disk, as byte for byte; the
# counters show the session in progress ----------------------------------
port=$(pelmor_free_port)
pelmor_write_ini sync.ini "UPLPORT = $port" "BUFFDATEI = PELMOR.BUF" "LOGDATEI = SYNC.LOG" \
  "MAXLOGSIZE = 2000" "ERRLEVEL = 1000" "TIMEOUT = 60" "SYNC = TRUE"
rm -f PELMOR.BUF
start_receiver sync.ini
pelmorctl wait-ready --timeout 30
check "Empfaenger mit SYNC bereit" equals $? 0
before=$(local_stamp)
connect "$port"
check "SYNC: eins quittiert" equals "$(send eins)" 1
check "SYNC: zwei quittiert" equals "$(send zwei)" 1
status_json
check "Zaehler: Sitzung mit 127.0.0.1" json_has '"connections": 1, .*"records_stored": 2, .*"peer": "127.0.0.1"'
check "X ohne Antwort" equals "$(send X)" none
disconnect
after=$(local_stamp)
check "SYNC: zwei Saetze" equals "$(wc -c <PELMOR.BUF)" 1104
check "SYNC: Satz 1" record_is 0 "$port" 1 eins "$before" "$after"
check "SYNC: Satz 2" record_is 1 "$port" 2 zwei "$before" "$after"
pelmorctl stop --timeout 30
check "pelmorctl stop endet mit 0" equals $? 0
check "Empfaenger endet mit 0" equals "$(receiver_exit "$receiver" 10)" 0
check "SYNC: nichts geloggt" is_empty_or_missing SYNC.LOG
status_json
check "status --json ohne Empfaenger: Ende 3" equals $? 3
check "status --json ohne Empfaenger" equals "$json" '{"running": false}'

# --- a consumer cannot rename or delete the buffer file during a session ---
# The session's sharing mode lets others read and write but not delete or
# rename; between sessions the file is free and the next session begins anew.
port=$(pelmor_free_port)
pelmor_write_ini share.ini "UPLPORT = $port" "BUFFDATEI = SHARE.BUF" "LOGDATEI = SHARE.LOG" \
  "MAXLOGSIZE = 2000" "ERRLEVEL = 1000" "TIMEOUT = 60"
start_receiver share.ini
pelmorctl wait-ready --timeout 30
connect "$port"
check "erste Nachricht quittiert" equals "$(send eins)" 1
timeout 60 "${wine[@]}" cmd /c ren SHARE.BUF SHARE.OLD >/dev/null 2>&1 </dev/null
timeout 60 "${wine[@]}" cmd /c del SHARE.BUF >/dev/null 2>&1 </dev/null
check "waehrend der Sitzung weder umbenannt noch geloescht" is_file_not SHARE.OLD SHARE.BUF
check "zweite Nachricht quittiert" equals "$(send zwei)" 1
check "X ohne Antwort" equals "$(send X)" none
disconnect
check "beide Saetze in der Bufferdatei" equals "$(wc -c <SHARE.BUF)" 1104
timeout 60 "${wine[@]}" cmd /c ren SHARE.BUF SHARE.OLD >/dev/null 2>&1 </dev/null
check "nach der Sitzung umbenannt" is_file_not SHARE.BUF SHARE.OLD
connect "$port"
check "neue Sitzung quittiert" equals "$(send drei)" 1
check "X ohne Antwort" equals "$(send X)" none
disconnect
check "neue Bufferdatei mit einem Satz" equals "$(wc -c <SHARE.BUF)" 552
pelmorctl stop --timeout 30
check "Empfaenger endet mit 0" equals "$(receiver_exit "$receiver" 10)" 0

# --- a quoted path keeps its quotes: not opened, exit 0, no log -------------
# Wine would escape quotes taken from a Linux argument list; a batch file
# hands pelmor.exe its command line exactly as written.
pelmor_standard_ini quoted.ini "$(pelmor_free_port)"
rm -f PELMOR.LOG
program=$(timeout 60 "${wine[@]}" winepath -w "$bin/pelmor.exe" </dev/null | tr -d '\r')
printf '@"%s" "quoted.ini"\r\n@exit /b %%errorlevel%%\r\n' "$program" >quoted.bat
timeout 60 "${wine[@]}" cmd /c quoted.bat >/dev/null 2>quoted.err </dev/null
check "Pfad in Anfuehrungszeichen: Ende 0" equals $? 0
check "Pfad mit seinen Anfuehrungszeichen" grep -qF 'Parameterdatei "quoted.ini" nicht gelesen' \
  quoted.err
check "kein Log" is_empty_or_missing PELMOR.LOG

# --- pelmorctl --help says where the objects live on Windows ---------------
pelmorctl --help
check "Hilfe nennt die Windows-Sitzung" grep -q Windows-Sitzung ctl.out
check "Hilfe ohne Linux-Verzeichnisse" bash -c '! grep -q RUNTIME_DIR ctl.out'

# --- pelmorctl list with piped keys: one byte per entry, as on Linux --------
# Standard output is a text-mode stream: each CR LF of the listing's formats
# reaches the file as CR CR LF.
printf 'KEYINI\r\n[PELMOR]\r\nMAXLOGSIZE = 500\r\n' >list.ini
sed 's/$/\r/' "$golden/pelmorctl_list_maxlogsize.txt" >listing.expected
printf 123456789 >keys
{
  timeout 60 "${wine[@]}" "$bin/pelmorctl.exe" list list.ini >listing.out
  cat >keys.left
} <keys
check "Liste wie die Vorlage" cmp -s listing.expected listing.out
check "eine Taste je Eintrag" equals "$(cat keys.left)" 9
# Keys that come late are awaited; at the end of input the listing goes on.
(sleep 1 && printf ab) | timeout 60 "${wine[@]}" "$bin/pelmorctl.exe" list list.ini >listing.out
check "Liste bis zum Ende der Eingabe" cmp -s listing.expected listing.out

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
