#!/usr/bin/env bash
# The installer modes against a scheduler of the test's own (its own socket, configuration,
# spool and state), with the program's normal run serving the printers.
set -uo pipefail
app=$1
source "$(dirname "$0")/../../support/shell_test.sh"

# --- private scheduler -------------------------------------------------------------------
start_private_cupsd "$tmp/cups"
cups=$tmp/cups

# --- the program's environment ---------------------------------------------------------------
export HOME=$tmp/home XDG_RUNTIME_DIR=$tmp/run XDG_DATA_HOME=$tmp/data XDG_CONFIG_HOME=$tmp/config
export VELUNIO_OUTPUT_DIR=$tmp/out VELUNIO_REGISTER_LOG=$tmp/register.log
mkdir -p "$HOME" && mkdir -m 0700 "$XDG_RUNTIME_DIR"
export VELUNIO_IPP_PORT=$(pick_port)
reglog() { sed 's/^\[[0-9-]* [0-9:]*\] //' "$VELUNIO_REGISTER_LOG"; }
has_line() { reglog | grep -qxF -- "$1" || fail "log lacks: $1"; }
sign=Sign_Myself_Velunio request=Request_Signature_Velunio
sign_url="ipp://localhost:$VELUNIO_IPP_PORT/ipp/print/Sign_Myself_(Velunio)"
request_url="ipp://localhost:$VELUNIO_IPP_PORT/ipp/print/Request_Signature_(Velunio)"

# --- not elevated: exit 5 before anything is reached ---------------------------------------
mkdir -m 0777 "$tmp/nobody"
rc=0
env -u VELUNIO_REGISTER_LOG TMPDIR="$tmp/nobody" \
  setpriv --reuid=65534 --regid=65534 --clear-groups "$app" --register 2>/dev/null || rc=$?
[ $rc -eq 5 ] || fail "not elevated exited with $rc"
nlog=$tmp/nobody/vpr-printer-register.log
sed 's/^\[[0-9-]* [0-9:]*\] //' "$nlog" > "$tmp/nobody.txt" 2>/dev/null
grep -q '^=== velunio_register_printers started (pid=[0-9]*) ===$' "$tmp/nobody.txt" || fail "nobody: start line"
grep -qxF "Log file: $nlog" "$tmp/nobody.txt" || fail "nobody: log file line"
grep -qxF "FATAL: not elevated. Re-run with sudo." "$tmp/nobody.txt" || fail "nobody: FATAL line"
[ "$(wc -l < "$tmp/nobody.txt")" -eq 3 ] || fail "nobody: more than the three lines"
grep -qE '^\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\] FATAL' "$nlog" || fail "nobody: stamp"

# --- no printer service: exit 1 after the (shortened) attempts -------------------------------
start=$(date +%s%N)
rc=0
VELUNIO_REGISTER_ATTEMPTS=3 VELUNIO_REGISTER_PAUSE_MS=500 "$app" --register 2>/dev/null || rc=$?
spent=$(( ($(date +%s%N) - start) / 1000000 ))
[ $rc -eq 1 ] || fail "without the service exited with $rc"
[ $spent -ge 1400 ] && [ $spent -lt 10000 ] || fail "waited ${spent} ms for 3 attempts of 500 ms"
has_line "Waiting for IPP server on 127.0.0.1:$VELUNIO_IPP_PORT ..."
has_line "FATAL: IPP server not listening after 2s. Is velunio-print-app running?"
: > "$VELUNIO_REGISTER_LOG"

# --- the printer service -------------------------------------------------------------------
"$app" --hidden >/dev/null 2>&1 &
pids+=($!)
listening=0
for _ in $(seq 100); do port_free "$VELUNIO_IPP_PORT" || { listening=1; break; }; sleep 0.1; done
[ $listening -eq 1 ] || { echo "the normal run does not serve IPP on $VELUNIO_IPP_PORT" >&2; exit 1; }

# Left-overs of earlier installations, and a queue that is none of ours.
lpadmin -p Velunio_Old -D "Sign Myself (Velunio)" -v file:/dev/null || fail "seed Velunio_Old"
lpadmin -p stale_port -v "ipp://localhost:$VELUNIO_IPP_PORT/ipp/print/old" || fail "seed stale_port"
lpadmin -p office -D "Office laser" -v "ipp://printer.invalid/ipp/print" || fail "seed office"
lpadmin -p request_signature_lower -D "request signature" -v file:/dev/null || fail "seed lower-case"

rc=0
"$app" --register 2>"$tmp/register.stderr" || rc=$?
[ $rc -eq 0 ] || { fail "--register exited with $rc"; cat "$VELUNIO_REGISTER_LOG" >&2; }
lpstat -v > "$tmp/devices"
grep -qxF "device for $sign: $sign_url" "$tmp/devices" || fail "lpstat -v lacks $sign"
grep -qxF "device for $request: $request_url" "$tmp/devices" || fail "lpstat -v lacks $request"
grep -q '^device for Velunio_Old:' "$tmp/devices" && fail "Velunio_Old not removed"
grep -q '^device for stale_port:' "$tmp/devices" && fail "stale_port not removed"
grep -q '^device for office:' "$tmp/devices" || fail "office removed"
grep -q '^device for request_signature_lower:' "$tmp/devices" || fail "lower-case match removed"
lpstat -l -p "$sign" | grep -qxF $'\tDescription: Sign Myself (Velunio)' || fail "$sign description"
lpstat -l -p "$request" | grep -qxF $'\tDescription: Request Signature (Velunio)' || fail "$request description"
has_line "IPP server is ready."
reglog | grep -q "^Removing printer 'Velunio_Old' (port: 'file:.*dev/null')$" || fail "Velunio_Old removal not logged"
has_line "Removing stale port 'ipp://localhost:$VELUNIO_IPP_PORT/ipp/print/old'"
has_line "[Sign Myself (Velunio)] lpadmin -v '$sign_url'"
has_line "[Sign Myself (Velunio)] lpadmin ok, printer present"
has_line "[Sign Myself (Velunio)] installed"
has_line "[Request Signature (Velunio)] lpadmin -v '$request_url'"
has_line "[Request Signature (Velunio)] installed"
has_line "=== velunio_register_printers exit=0 ==="
# Every logged line also went to standard error, without its stamp.
diff <(reglog) "$tmp/register.stderr" >/dev/null || fail "standard error differs from the log"

python3 - "$tmp/doc.pdf" <<'PY'
import sys
objs = [b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R >>"]
stream = b"0 0 m 100 100 l S"
objs.append(b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"\nendstream")
out = bytearray(b"%PDF-1.4\n"); offsets = []
for i, o in enumerate(objs, 1):
    offsets.append(len(out)); out += b"%d 0 obj\n" % i + o + b"\nendobj\n"
xref = len(out)
out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
for off in offsets: out += b"%010d 00000 n \n" % off
out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
open(sys.argv[1], "wb").write(out)
PY
lp -d "$sign" "$tmp/doc.pdf" >/dev/null || fail "lp"
landed=""
for _ in $(seq 600); do
  landed=$(find "$VELUNIO_OUTPUT_DIR/sign-myself" -name '*.pdf' 2>/dev/null | head -1)
  [ -n "$landed" ] && break; sleep 0.1
done
if [ -z "$landed" ]; then fail "printed PDF did not land"; tail -20 "$cups/log/error_log" >&2
else [ "$(head -c 5 "$landed")" = "%PDF-" ] || fail "landed file is not a PDF"; fi

# Again: the same two queues, no duplicates.
"$app" --register 2>/dev/null || fail "second --register"
[ "$(lpstat -v | grep -c "localhost:$VELUNIO_IPP_PORT")" -eq 2 ] || { fail "duplicates after a second --register"; lpstat -v >&2; }
reglog | grep -qxF "Removing printer '$sign' (port: '$sign_url')" || fail "second run did not remove the first run's queue"

: > "$VELUNIO_REGISTER_LOG"
rc=0
"$app" --unregister 2>/dev/null || rc=$?
[ $rc -eq 0 ] || fail "--unregister exited with $rc"
lpstat -v > "$tmp/devices" 2>/dev/null
grep -q "localhost:$VELUNIO_IPP_PORT" "$tmp/devices" && fail "queues left after --unregister"
grep -q '^device for office:' "$tmp/devices" || fail "--unregister removed office"
has_line "=== velunio_unregister_printers started ==="
has_line "Removing printer '$sign' (port: '$sign_url')"
has_line "Removing printer '$request' (port: '$request_url')"
has_line "=== velunio_unregister_printers done ==="
# Nothing of ours left: only the two framing lines.
"$app" --unregister 2>/dev/null
[ "$(reglog | tail -2 | head -1)" = "=== velunio_unregister_printers started ===" ] || fail "empty removal logged more"

[ $failures -eq 0 ] && echo "register: all checks passed"
exit $(( failures > 0 ))
