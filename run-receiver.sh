#!/usr/bin/env bash
# Builds the receiver and runs it in the foreground on the example parameter
# file, in run/ (records and log land there). Stop it with Ctrl-C or
# build/bin/pelmorctl stop.
set -euo pipefail
cd "$(dirname "$0")"
source .ci/packages.sh

need_packages cmake g++ make

# As root in another user's checkout: the rest runs as its owner.
as_checkout_owner "baue und starte" "$0" "$@"

echo "Konfiguriere build/ (Preset default)"
# The receiver needs neither the test libraries nor the NATS client: their
# absence is no error here (the shipper is built where libnats is).
cmake --preset default -DPELMOR_REQUIRE_TESTS=OFF -DPELMOR_REQUIRE_NATS=OFF >/dev/null
echo "Baue pelmor, pelmorctl und pelmor-send"
cmake --build build -j2 --target pelmor pelmorctl pelmor-send

mkdir -p run
[ -f run/pelmor.ini ] || cp examples/pelmor.ini run/pelmor.ini

if build/bin/pelmorctl status >/dev/null; then
  echo "Ein Empfaenger laeuft bereits. Beenden mit: build/bin/pelmorctl stop" >&2
  exit 1
fi

# The port the receiver will listen on, as the file says.
port=$(sed -n 's/^UPLPORT *= *\([0-9]*\).*/\1/p' run/pelmor.ini)
send=build/bin/pelmor-send
[ "${port:-6664}" = 6664 ] || send="$send --port $port"
cat <<TEXT

Empfaenger startet in run/ mit run/pelmor.ini (Port ${port:-nicht lesbar}).
  Senden:   $send hallo welt  (zwei Nachrichten: hallo, welt)
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
