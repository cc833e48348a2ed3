#!/usr/bin/env bash
# The installer modes against a scheduler of the test's own, with the program's normal run
# serving the printers.
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
# Left-overs of earlier installations, and queues that are none of ours: a description that
# mentions the product, a name in another letter case.
lpadmin -p Velunio_Old -D "Sign Myself (Velunio)" -v file:/dev/null &&
  lpadmin -p stale_port -v "ipp://localhost:$VELUNIO_IPP_PORT/ipp/print/old" &&
  lpadmin -p office -D "Velunio office printer downstairs" -v "ipp://printer.invalid/ipp/print" &&
  lpadmin -p velunio_lower -D "request signature" -v file:/dev/null || fail "seed the scheduler's queues"
queues() { lpstat -v 2>/dev/null | sed 's/^device for \([^:]*\): .*/\1/' | LC_ALL=C sort | xargs; }
ours_and_decoys="Request_Signature_Velunio Sign_Myself_Velunio office velunio_lower"

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

# What lp prints lands as a one-page PDF of the page size asked for; a PDF byte for byte.
python3 "$support/gui_support.py" pdf "$tmp/a4.pdf" "Original A4 wording" 595 842 &&
  python3 "$support/gui_support.py" pdf "$tmp/letter.pdf" "Original Letter wording" 612 792 &&
  convert -size 300x200 xc:red "$tmp/photo.jpg" && convert -size 200x300 xc:blue "$tmp/pic.png" || fail "make the files"
printf 'A plain text file\n' > "$tmp/note.txt"
for q in "$sign" "$request"; do
  folder=$VELUNIO_OUTPUT_DIR/$([ "$q" = "$sign" ] && echo sign-myself || echo request-signature)
  while IFS='|' read -r file size options; do
    lp -d "$q" -t "$file" $options "$tmp/$file" >/dev/null || fail "lp $file to $q"
    landed=$folder/${file%.pdf}.pdf
    within 10 test -f "$landed" || { fail "$file printed to $q did not land"; continue; }
    info=$(pdfinfo "$landed" 2>&1) || fail "$file to $q: pdfinfo cannot open it"
    grep -q "^Pages: *1$" <<<"$info" && grep -q "^Page size: *$size pts" <<<"$info" || fail "$file to $q: $info"
    case $file in *.pdf) cmp -s "$landed" "$tmp/$file" || fail "$file to $q: not byte-identical";; esac
  done <<EOF
a4.pdf|595 x 842
letter.pdf|612 x 792
photo.jpg|595.276 x 841.89|-o media=iso_a4_210x297mm
pic.png|612 x 792|-o media=na_letter_8.5x11in
note.txt|612 x 792|-o media=na_letter_8.5x11in
EOF
done

# Again: the same two queues, no duplicates; a queue CUPS disabled is enabled again.
cupsdisable "$sign" && cupsreject "$sign"
"$app" --register 2>/dev/null || fail "second --register"
[ "$(queues)" = "$ours_and_decoys" ] || fail "after a second --register the queues are $(queues)"
lpstat -p "$sign" | grep -q "enabled" && lpstat -a "$sign" | grep -q "accepting requests" || fail "$sign still disabled or rejecting"

: > "$VELUNIO_REGISTER_LOG"
"$app" --unregister 2>/dev/null || fail "--unregister exited with $?"
[ "$(queues)" = "office velunio_lower" ] || fail "after --unregister the queues are $(queues)"
log_has "=== velunio_unregister_printers started ===" \
  "Removing printer '$sign' (port: '$sign_url?waitjob=false')" \
  "=== velunio_unregister_printers done ==="
# Nothing of ours left: only the two framing lines.
: > "$VELUNIO_REGISTER_LOG"
"$app" --unregister 2>/dev/null
[ "$(unstamped "$VELUNIO_REGISTER_LOG" | wc -l)" -eq 2 ] || fail "an empty removal logged more than its frame"

[ $failures -eq 0 ] && echo "register: all checks passed"
exit $(( failures > 0 ))
