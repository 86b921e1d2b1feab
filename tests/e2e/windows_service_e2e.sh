#!/usr/bin/env bash
# The Windows service end to end under Wine: pelmorsvc.exe registered with
# the service control manager of a Wine prefix of its own, started, stopped,
# failing to start and losing its receiver; the client on the Linux side over
# 127.0.0.1.
#
#   windows_service_e2e.sh BIN_DIR WINE_RUNNER...
#
# BIN_DIR holds pelmorsvc.exe, pelmor.exe, pelmorctl.exe and nevtar.dll;
# WINE_RUNNER is the command that runs a Windows program, its last word the
# Wine loader. Wine writes what the service reports to the event log into
# its own trace (channel eventlog), which this prefix's services send to
# services.log. Every wait is bounded. Prints "N passed, N failed" and exits
# non-zero on a failed check.
set -u
export LC_ALL=C
source "$(dirname "$0")/e2e_support.sh"

bin=$1
shift
wine=("$@")
wineserver="$(dirname "${wine[-1]}")/wineserver"
work=$(mktemp -d)
passed=0
failed=0
listener=""
export WINEPREFIX="$work/prefix"

cleanup() {
  [ -z "$listener" ] || kill "$listener" 2>/dev/null
  # The prefix's server ends its processes: services, pelmorsvc, pelmor.
  "$wineserver" -k 2>/dev/null
  [ -n "${PELMOR_E2E_KEEP:-}" ] && echo "$work" || rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1

# The prefix's server stays until cleanup: with its last program it would
# end the services, ours among them. Wine's services get their standard
# error from this first boot.
mkdir "$WINEPREFIX"
"$wineserver" -p
WINEDEBUG=-all,err+eventlog timeout 120 "${wine[-1]}" wineboot >/dev/null 2>services.log </dev/null

win() { timeout 60 "${wine[@]}" "$@" </dev/null; } # a Windows program, output as it is
windows_path() { win winepath -w "$1" | tr -d '\r'; }

# query NAME: sc query's STATE, WIN32_EXIT_CODE and SERVICE_EXIT_CODE as
# "STATE WIN32 SERVICE", empty when there is no such service.
query() {
  win sc query "$1" | tr -d '\r' | awk '
    $1 == "STATE" { state = $4 } $1 == "WIN32_EXIT_CODE" { win32 = $3 }
    $1 == "SERVICE_EXIT_CODE" { service = $3 }
    END { if (state != "") print state, win32, service }'
}
# reaches NAME STATE: the service is in STATE within 30 seconds.
reaches() {
  for _ in $(seq 150); do
    [[ $(query "$1") == "$2 "* ]] && return 0
    sleep 0.2
  done
  return 1
}
# registry VALUE KEY: the value's data as reg query shows it.
registry() {
  win reg query "$2" /v "$1" | tr -d '\r' | awk -v v="$1" '$1 == v { $1 = $2 = ""; sub(/^  /, ""); print }'
}
# reported TEXT: an event log entry of this run holds TEXT.
reported() { grep -qF "$1" services.log; }

svc=$(windows_path "$bin/pelmorsvc.exe")
port=$(pelmor_free_port)
pelmor_standard_ini pelmor.ini "$port"

# --- outside the service control manager it says so and ends -----------------
win "$bin/pelmorsvc.exe" "$(windows_path pelmor.ini)" >/dev/null 2>direct.err
check "ohne Dienststeuerung: Ende 2" equals $? 2
check "ohne Dienststeuerung: Meldung" grep -q "nur als Dienst" direct.err

# --- installed, started: RUNNING once the receiver is ready ------------------
win "$bin/pelmorsvc.exe" install PELMOR "$(windows_path pelmor.ini)" >install.out 2>&1
check "install endet mit 0" equals $? 0
check "eingerichtet, angehalten" equals "$(query PELMOR)" "STOPPED 1077 0"
check "Start mit Windows" equals "$(registry Start 'HKLM\System\CurrentControlSet\Services\PELMOR')" 0x2
check "Ereignisquelle PELMOR" equals \
  "$(registry EventMessageFile 'HKLM\System\CurrentControlSet\Services\EventLog\Application\PELMOR')" "$svc"
before=$(local_stamp)
win sc start PELMOR >/dev/null
check "sc start: RUNNING" reaches PELMOR RUNNING
win "$bin/pelmorctl.exe" status >status.out
check "pelmorctl status: laeuft" equals $? 0
check "RUNNING erst nach StartPelmorEvent" grep -q "^Bereit: *ja" status.out
connect "$port"
check "hallo quittiert" equals "$(send hallo)" 1
check "X ohne Antwort" equals "$(send X)" none
disconnect
check "Satz gespeichert" record_is 0 "$port" 1 hallo "$before" "$(local_stamp)"
# pelmorctl.exe as an operator runs it from the desktop, not from the
# service: it reads the service's receiver, its counters included. Wine has
# one session only, so its Global\ names and the session's coincide: the
# hint a desktop session on Windows gets for a receiver in session 0 (found
# as Global\PELMOR_MTX) cannot show here, neither while it runs nor after.
win "$bin/pelmorctl.exe" status --json >status.json 2>status.err
check "pelmorctl status --json: laeuft" equals $? 0
check "pelmorctl status: die Sitzung des Dienstes gezaehlt" grep -q \
  '"running": true, .*"connections": 1, "ended_x": 1, .*"records_stored": 1,' status.json
check "pelmorctl status: ohne Hinweis auf einen Dienst" test ! -s status.err

# --- stopped as pelmorctl stop stops: exit code 0, the objects gone -----------
win sc stop PELMOR >/dev/null
check "sc stop: STOPPED" reaches PELMOR STOPPED
check "Exitcode 0" equals "$(query PELMOR)" "STOPPED 0 0"
win "$bin/pelmorctl.exe" status >status.out 2>status.err
check "pelmorctl status: laeuft nicht" equals $? 3
check "pelmorctl status: kein Empfaenger als Dienst" test ! -s status.err
check "Objekte des Empfaengers weg" equals "$(tr -d '\r' <status.out)" "$(
  printf 'Empfaenger:       laeuft nicht\nStop angefordert: kein Ereignis\nBereit:           kein Ereignis')"
check "ein Satz" equals "$(wc -c <PELMOR.BUF)" 552
check "nichts geloggt" test ! -s PELMOR.LOG

# --- a port in use: the start fails with exit code 1 and says where to look --
busy_port=$(pelmor_free_port)
pelmor_standard_ini busy.ini "$busy_port" "LOGDATEI = BUSY.LOG"
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("0.0.0.0", int(sys.argv[1]))); s.listen(); time.sleep(300)' \
  "$busy_port" &
listener=$!
win sc create PELMORBUSY binPath= "$svc $(windows_path busy.ini)" start= auto >/dev/null
check "sc create endet mit 0" equals $? 0
win net start PELMORBUSY >/dev/null
check "belegter Port: STOPPED" reaches PELMORBUSY STOPPED
check "belegter Port: Exitcode 1" equals "$(query PELMORBUSY)" "STOPPED 1066 1"
check "Ereignis: Start gescheitert" reported \
  "Dienst PELMORBUSY: der Empfaenger pelmor.exe endete beim Start, bevor er bereit war"
# Wine's trace cuts a long text: the comma after the log's name is what
# follows it only when the log gained lines (", neu darin:").
check "Ereignis: neu im Log" reported "BUSY.LOG,"
check "Log nennt den Port" grep -q "bind Port $busy_port" BUSY.LOG

# --- a receiver started by hand first: the service does not start ------------
pelmor_standard_ini hand.ini "$(pelmor_free_port)" "LOGDATEI = HAND.LOG" "BUFFDATEI = HAND.BUF"
"${wine[@]}" "$bin/pelmor.exe" "$(windows_path hand.ini)" </dev/null >/dev/null 2>&1 &
win "$bin/pelmorctl.exe" wait-ready --timeout 30 >/dev/null
win sc start PELMOR >/dev/null
check "anderer Empfaenger: STOPPED" reaches PELMOR STOPPED
check "anderer Empfaenger: Exitcode 5" equals "$(query PELMOR)" "STOPPED 1066 5"
check "Ereignis: anderer Empfaenger" reported "Dienst PELMOR: ein anderer Empfaenger laeuft schon"
win "$bin/pelmorctl.exe" stop --timeout 30 >/dev/null
check "von Hand gestarteter Empfaenger angehalten" equals $? 0

# --- pelmor.exe killed while running: exit code 2 ---------------------------
win sc start PELMOR >/dev/null
check "wieder RUNNING" reaches PELMOR RUNNING
pid=$(win "$bin/pelmorctl.exe" status --json | sed -n 's/.*"pid": \([0-9]*\),.*/\1/p')
win taskkill /F /PID "$pid" >/dev/null
check "pelmor.exe beendet: STOPPED" reaches PELMOR STOPPED
check "pelmor.exe beendet: Exitcode 2" equals "$(query PELMOR)" "STOPPED 1066 2"
check "Ereignis: Ende im Betrieb" reported \
  "Dienst PELMOR: der Empfaenger pelmor.exe endete im Betrieb von selbst"

# --- remove: a running service is stopped first; only PELMOR services --------
win sc start PELMOR >/dev/null
check "noch einmal RUNNING" reaches PELMOR RUNNING
win "$bin/pelmorsvc.exe" remove PELMOR >/dev/null
check "remove endet mit 0" equals $? 0
check "PELMOR entfernt" equals "$(query PELMOR)" ""
win "$bin/pelmorctl.exe" status >/dev/null
check "Empfaenger vorher angehalten" equals $? 3
win "$bin/pelmorsvc.exe" remove PELMORBUSY >/dev/null
check "PELMORBUSY entfernt" equals "$(query PELMORBUSY)" ""
win "$bin/pelmorsvc.exe" remove Spooler >/dev/null 2>&1
check "fremder Dienst: Ende 1" equals $? 1
check "fremder Dienst bleibt" test -n "$(query Spooler)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
