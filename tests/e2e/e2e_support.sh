# Shell helpers for the scripts that run the real receiver: the end-to-end
# tests under Wine, .ci/memcheck and bench/run. Sourced, not run.

# A TCP port the system has just handed out as free.
pelmor_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# pelmor_write_ini FILE KEY-LINE...: a KEYINI file, group PELMOR with the
# key lines, CR LF line ends.
pelmor_write_ini() {
  local file=$1
  shift
  printf 'KEYINI\r\n[PELMOR]\r\n' >"$file"
  printf '%s\r\n' "$@" >>"$file"
}

# pelmor_standard_ini FILE PORT [KEY-LINE...]: the six settings on PORT,
# buffer file PELMOR.BUF and log PELMOR.LOG in the working folder, a 3 s
# time-out; further key lines after them.
pelmor_standard_ini() {
  local file=$1 port=$2
  shift 2
  pelmor_write_ini "$file" "UPLPORT    = $port" "BUFFDATEI  = PELMOR.BUF" \
    "LOGDATEI   = PELMOR.LOG" "MAXLOGSIZE = 2000" "ERRLEVEL   = 1000" "TIMEOUT    = 3" "$@"
}

# pelmor_private_runtime DIR: the named objects of the receivers started
# from here live in DIR (made 0700), apart from any other receiver's.
pelmor_private_runtime() {
  export PELMOR_RUNTIME_DIR=$1
  mkdir -m 700 "$PELMOR_RUNTIME_DIR"
}

# --- For the end-to-end scripts under Wine -----------------------------------

# check DESCRIPTION COMMAND...: counts the command's success into $passed or
# $failed, and names a failure on standard error.
check() {
  local description=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FEHLER: $description" >&2
  fi
}
equals() { [ "$1" = "$2" ]; }

# Client on descriptor 3. send MESSAGE echoes the acknowledgement byte, or
# "none" when the connection ended or nothing came within 5 seconds.
connect() { exec 3<>"/dev/tcp/127.0.0.1/$1"; }
disconnect() { exec 3<&- 3>&-; }
send() {
  local ack=""
  printf '%s' "$1" >&3 2>/dev/null
  if IFS= read -r -n1 -t 5 -u 3 ack && [ -n "$ack" ]; then
    echo "$ack"
  else
    echo none
  fi
}

local_stamp() { date "+%Y%m%d%H%M%S"; }

# One record of 552 bytes of PELMOR.BUF, every column: record NUMBER (from
# 0), port, sequence, message, and the times before and after.
record_is() { # record_is NUMBER PORT SEQUENCE MESSAGE BEFORE AFTER
  local record=record.$1
  dd if=PELMOR.BUF of="$record" bs=552 skip="$1" count=1 2>/dev/null
  [ "$(wc -c <"$record")" -eq 552 ] || return 1
  local ip stamp
  ip=$(head -c 16 "$record" | tail -c 15)
  stamp=$(head -c 35 "$record" | tail -c 14)
  [[ $ip =~ ^[0-9]{3}\.[0-9]{3}\.[0-9]{3}\.[0-9]{3}$ ]] || return 1
  [[ ! $stamp < $5 && ! $stamp > $6 ]] || return 1
  printf '$%s%05d%s%03d%-512s\r\n' "$ip" "$2" "$stamp" "$3" "$4" | cmp -s - "$record"
}
