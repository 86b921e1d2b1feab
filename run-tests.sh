#!/usr/bin/env bash
# Builds everything with the default preset and runs the whole test suite
# (cmake --workflow --preset default), after installing the Debian packages
# it needs. Arguments go to cmake --workflow (for example --fresh).
set -euo pipefail
cd "$(dirname "$0")"
source .ci/packages.sh

need_packages cmake g++ make libgtest-dev libbenchmark-dev libnats-dev nats-server

# As root in another user's checkout: the rest runs as its owner.
as_checkout_owner "baue und teste" "$0" "$@"

echo "Konfiguriere, baue und teste build/ (Workflow default)"
if cmake --workflow --preset default "$@"; then
  echo
  echo "Alle Tests bestanden; die Summe steht oben: \"100% tests passed, 0 tests failed out of N\"."
  echo "Einen Test einzeln: ctest --test-dir build -R NAME --output-on-failure"
else
  status=$?
  echo >&2
  echo "Fehlgeschlagen: siehe oben (Konfiguration, Compiler oder \"The following tests FAILED\")." >&2
  echo "Das ganze Testprotokoll: build/Testing/Temporary/LastTest.log" >&2
  exit "$status"
fi
