#!/usr/bin/env bash
# One session's throughput beside a bare ping-pong over the same loopback, in
# the same run: pelmor-send --count against pelmor-bench-server in its two
# modes, 100- and 512-byte messages, alternating rounds.
#
#   bench/session_bench.sh [BUILD_DIR] [COUNT] [ROUNDS]   (defaults build 20000 3)
#   BENCH_SIZES="512 100" changes the sizes and their order.
set -euo pipefail

build=${1:-build}
count=${2:-20000}
rounds=${3:-3}
send="$build/bin/pelmor-send"
server="$build/bin/pelmor-bench-server"
for program in "$send" "$server"; do
  [ -x "$program" ] || { echo "fehlt: $program (erst bauen)" >&2; exit 2; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a server in this shell, so its process id is kept for the clean-up.
start_server() {
  local name=$1; shift
  "$server" "$@" >"$work/$name.out" </dev/null &
  pids+=($!)
}

# Waits for a server's "PORT n" line and echoes n.
server_port() {
  for _ in $(seq 100); do
    if grep -q '^PORT ' "$work/$1.out" 2>/dev/null; then
      sed -n 's/^PORT //p' "$work/$1.out"
      return
    fi
    sleep 0.05
  done
  echo "Server $1 meldet keinen Port" >&2
  exit 1
}

start_server session session "$work/PELMOR.BUF" "$work/PELMOR.LOG"
start_server pingpong pingpong
session_port=$(server_port session)
pingpong_port=$(server_port pingpong)

for round in $(seq "$rounds"); do
  for size in ${BENCH_SIZES:-100 512}; do
    for kind in session pingpong; do
      port_var=${kind}_port
      printf 'Runde %s %-8s ' "$round" "$kind"
      "$send" --port "${!port_var}" --count "$count" --size "$size"
    done
  done
done
echo "Bufferdatei: $(stat -c %s "$work/PELMOR.BUF") Bytes"
