# Shell helpers for the scripts that run the real receiver: the end-to-end
# test under Wine, .ci/memcheck and bench/run. Sourced, not run.

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
