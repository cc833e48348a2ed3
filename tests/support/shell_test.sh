# Sourced by the shell tests (bash): a temporary folder `tmp` removed at the end together with
# every process whose pid the test adds to `pids`, failure counting, bounded waits, free
# loopback ports, the program's folders below `tmp`, a display, and a CUPS scheduler of its own.
tmp=$(mktemp -d)
chmod 0755 "$tmp"
pids=()
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# within SECONDS COMMAND...: true once COMMAND succeeds, tried every 50 ms; false after SECONDS.
within() { local n=$(( $1 * 20 )); shift; until "$@"; do [ $((n--)) -gt 0 ] || return 1; sleep 0.05; done; }
# SIGTERM, and SIGKILL when a process has not ended 5 s later.
stop() { kill "$1" 2>/dev/null && within 5 eval "! kill -0 $1 2>/dev/null"; kill -9 "$1" 2>/dev/null; wait "$1" 2>/dev/null; }
cleanup() { for p in "${pids[@]}"; do stop "$p"; done; rm -rf "$tmp"; }
trap cleanup EXIT
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
pick_port() { local p; while :; do p=$(( 20000 + RANDOM % 20000 )); port_free $p && { echo $p; return; }; done; }
# The program's home, folders, logs and printer port, never the user's.
export HOME=$tmp/home XDG_RUNTIME_DIR=$tmp/run XDG_DATA_HOME=$tmp/data XDG_CONFIG_HOME=$tmp/config
export VELUNIO_OUTPUT_DIR=$tmp/out VELUNIO_REGISTER_LOG=$tmp/register.log VELUNIO_IPP_PORT=$(pick_port)
mkdir -p "$HOME" "$XDG_CONFIG_HOME" && mkdir -m 0700 "$XDG_RUNTIME_DIR"
log=$VELUNIO_OUTPUT_DIR/velunio-print.log
# The program needs a display: scripts/test provides one; a test run alone brings its own.
if [ -z "${DISPLAY:-}" ]; then
  n=$(( 100 + RANDOM % 400 ))
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=":$n"
  within 5 test -e "/tmp/.X11-unix/X$n"
fi
# start_hidden APP: its normal run in the background (pid in app_pid), once it serves IPP.
start_hidden() {
  "$1" --hidden >>"$tmp/app.out" 2>&1 &
  app_pid=$!
  pids+=($app_pid)
  within 20 eval '! port_free "$VELUNIO_IPP_PORT"' || { echo "the normal run does not serve IPP" >&2; exit 1; }
}
source "$(dirname "${BASH_SOURCE[0]}")/private_cupsd.sh"
