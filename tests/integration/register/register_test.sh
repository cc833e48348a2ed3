#!/usr/bin/env bash
# The installer modes against a scheduler of the test's own, with the program's normal run
# serving the printers, and what its start says of the queues.
set -uo pipefail
app=$1
support=$(dirname "$0")/../../support
source "$support/shell_test.sh"
start_private_cupsd "$tmp/cups"
unstamped() { sed 's/^\[[0-9-]* [0-9:]*\] //' "$1"; }
# log_has LINE...: each a whole line of the registration log.
log_has() { for line; do unstamped "$VELUNIO_REGISTER_LOG" | grep -qxF -- "$line" || fail "log lacks: $line"; done; }
sign=Sign_Myself_Velunio request=Request_Signature_Velunio
sign_url="ipp://localhost:$VELUNIO_IPP_PORT/ipp/print/Sign_Myself_(Velunio)"
request_url="ipp://localhost:$VELUNIO_IPP_PORT/ipp/print/Request_Signature_(Velunio)"

# Not elevated: exit 5 before anything is reached, three stamped lines in TMPDIR's log.
mkdir -m 0777 "$tmp/nobody"
env -u VELUNIO_REGISTER_LOG TMPDIR="$tmp/nobody" setpriv --reuid=65534 --regid=65534 --clear-groups "$app" --register 2>/dev/null
rc=$?
[ $rc -eq 5 ] || fail "not elevated exited with $rc"
nlog=$tmp/nobody/vpr-printer-register.log
diff <(unstamped "$nlog" | sed 's/pid=[0-9]*/pid=N/') - <<<"=== velunio_register_printers started (pid=N) ===
Log file: $nlog
FATAL: not elevated. Re-run with sudo." || fail "not elevated: the log's lines"
grep -qE '^\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\] FATAL' "$nlog" || fail "not elevated: stamp"

# No printer service: exit 1 after the (shortened) attempts.
start=$(date +%s%N)
VELUNIO_REGISTER_ATTEMPTS=3 VELUNIO_REGISTER_PAUSE_MS=500 "$app" --register 2>/dev/null
rc=$?
spent=$(( ($(date +%s%N) - start) / 1000000 ))
[ $rc -eq 1 ] || fail "without the service exited with $rc"
[ $spent -ge 1400 ] && [ $spent -lt 10000 ] || fail "waited ${spent} ms for 3 attempts of 500 ms"
log_has "Waiting for IPP server on 127.0.0.1:$VELUNIO_IPP_PORT ..." \
  "FATAL: IPP server not listening after 2s. Is velunio-print-app running?"
: > "$VELUNIO_REGISTER_LOG"

start_hidden "$app"
within 20 grep -qF "] [startup] No print queue points at Sign Myself (Velunio) and Request Signature (Velunio) yet" "$log" ||
  fail "no start-up line on the missing queues"
# Left-overs of earlier installations, and a queue that is none of ours though its description
# mentions the product (the other decoys: RegisterRules.WhichQueuesAreOurs).
lpadmin -p Velunio_Old -D "Sign Myself (Velunio)" -v file:/dev/null &&
  lpadmin -p stale_port -v "ipp://localhost:$VELUNIO_IPP_PORT/ipp/print/old" &&
  lpadmin -p office -D "Velunio office printer downstairs" -v "ipp://printer.invalid/ipp/print" || fail "seed the scheduler's queues"
queues() { lpstat -v 2>/dev/null | sed 's/^device for \([^:]*\): .*/\1/' | LC_ALL=C sort | xargs; }
ours_and_decoys="Request_Signature_Velunio Sign_Myself_Velunio office"

"$app" --register 2>"$tmp/register.stderr" || { fail "--register exited with $?"; cat "$VELUNIO_REGISTER_LOG" >&2; }
[ "$(queues)" = "$ours_and_decoys" ] || fail "after --register the queues are $(queues)"
lpstat -v | grep -qxF "device for $sign: $sign_url?waitjob=false" &&
  lpstat -v | grep -qxF "device for $request: $request_url?waitjob=false" || fail "the queues' device URIs"
lpstat -l -p "$sign" | grep -qxF $'\tDescription: Sign Myself (Velunio)' || fail "$sign description"
unstamped "$VELUNIO_REGISTER_LOG" | grep -q "^Removing printer 'Velunio_Old' (port: 'file:.*dev/null')$" || fail "Velunio_Old removal not logged"
log_has "IPP server is ready." \
  "Removing stale port 'ipp://localhost:$VELUNIO_IPP_PORT/ipp/print/old'" \
  "[Sign Myself (Velunio)] lpadmin -v '$sign_url'" \
  "[Sign Myself (Velunio)] lpadmin ok, printer present" \
  "[Request Signature (Velunio)] installed" \
  "=== velunio_register_printers exit=0 ==="
# Every logged line also went to standard error, without its stamp.
diff <(unstamped "$VELUNIO_REGISTER_LOG") "$tmp/register.stderr" >/dev/null || fail "standard error differs from the log"

# Started again (as at the next login), the program finds the queues.
stop "$app_pid"
start_hidden "$app"
within 20 grep -qF "] [startup] Print queues point at both printers" "$log" || fail "no start-up line on the queues found"

# What lp prints to a queue lands unchanged: the queue passes PDF through (formats: printer_service_test).
python3 "$support/gui_support.py" pdf "$tmp/a4.pdf" "Original A4 wording" 595 842 || fail "make the PDF"
lp -d "$request" -t a4.pdf "$tmp/a4.pdf" >/dev/null || fail "lp to $request"
within 10 cmp -s "$VELUNIO_OUTPUT_DIR/request-signature/a4.pdf" "$tmp/a4.pdf" || fail "the PDF printed to $request did not land unchanged"

# Again: the same two queues, no duplicates; a queue CUPS disabled is enabled again.
cupsdisable "$sign" && cupsreject "$sign"
"$app" --register 2>/dev/null || fail "second --register"
[ "$(queues)" = "$ours_and_decoys" ] || fail "after a second --register the queues are $(queues)"
lpstat -p "$sign" | grep -q "enabled" && lpstat -a "$sign" | grep -q "accepting requests" || fail "$sign still disabled or rejecting"

: > "$VELUNIO_REGISTER_LOG"
"$app" --unregister 2>/dev/null || fail "--unregister exited with $?"
[ "$(queues)" = "office" ] || fail "after --unregister the queues are $(queues)"
log_has "=== velunio_unregister_printers started ===" \
  "Removing printer '$sign' (port: '$sign_url?waitjob=false')" \
  "=== velunio_unregister_printers done ==="
# Nothing of ours left: only the two framing lines.
: > "$VELUNIO_REGISTER_LOG"
"$app" --unregister 2>/dev/null
[ "$(unstamped "$VELUNIO_REGISTER_LOG" | wc -l)" -eq 2 ] || fail "an empty removal logged more than its frame"

[ $failures -eq 0 ] && echo "register: all checks passed"
exit $(( failures > 0 ))
