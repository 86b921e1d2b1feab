#!/usr/bin/env bash
# Builds the receiver and runs it in the foreground on the example parameter
# file, in run/ (records and log land there). Stop it with Ctrl-C or
# build/bin/pelmorctl stop.
set -euo pipefail
cd "$(dirname "$0")"
source .ci/packages.sh

need_packages cmake g++ make
echo "Konfiguriere build/ (Preset default)"
# The receiver needs neither test library: their absence is no error here.
cmake --preset default -DPELMOR_REQUIRE_TESTS=OFF >/dev/null
echo "Baue pelmor, pelmorctl und pelmor-send"
cmake --build build -j2 --target pelmor pelmorctl pelmor-send

mkdir -p run
[ -f run/pelmor.ini ] || cp examples/pelmor.ini run/pelmor.ini

if build/bin/pelmorctl status >/dev/null; then
  echo "Ein Empfaenger laeuft bereits. Beenden mit: build/bin/pelmorctl stop" >&2
  exit 1
fi

cat <<'TEXT'

Empfaenger startet in run/ mit run/pelmor.ini (Port 6664).
  Senden:   build/bin/pelmor-send hallo welt
  Saetze:   run/PELMOR.BUF (je Nachricht ein Satz von 552 Bytes)
  Log:      run/PELMOR.LOG
  Beenden:  Ctrl-C oder build/bin/pelmorctl stop

TEXT
(cd run && ../build/bin/pelmor pelmor.ini)
echo "Empfaenger beendet."
if [ -s run/PELMOR.LOG ]; then
  echo "Letzte Logeintraege (run/PELMOR.LOG):"
  tail -n 3 run/PELMOR.LOG
fi
