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

# Left-overs of earlier installations, and queues that are none of ours: a description that
# mentions the product, a name in another letter case.
lpadmin -p Velunio_Old -D "Sign Myself (Velunio)" -v file:/dev/null || fail "seed Velunio_Old"
lpadmin -p stale_port -v "ipp://localhost:$VELUNIO_IPP_PORT/ipp/print/old" || fail "seed stale_port"
lpadmin -p office -D "Velunio office printer downstairs" -v "ipp://printer.invalid/ipp/print" || fail "seed office"
lpadmin -p velunio_lower -D "request signature" -v file:/dev/null || fail "seed lower-case"
decoys="office velunio_lower"

rc=0
"$app" --register 2>"$tmp/register.stderr" || rc=$?
[ $rc -eq 0 ] || { fail "--register exited with $rc"; cat "$VELUNIO_REGISTER_LOG" >&2; }
lpstat -v > "$tmp/devices"
grep -qxF "device for $sign: $sign_url?waitjob=false" "$tmp/devices" || fail "lpstat -v lacks $sign"
grep -qxF "device for $request: $request_url?waitjob=false" "$tmp/devices" || fail "lpstat -v lacks $request"
grep -q '^device for Velunio_Old:' "$tmp/devices" && fail "Velunio_Old not removed"
grep -q '^device for stale_port:' "$tmp/devices" && fail "stale_port not removed"
for q in $decoys; do grep -q "^device for $q:" "$tmp/devices" || fail "--register removed $q"; done
lpstat -l -p "$sign" | grep -qxF $'\tDescription: Sign Myself (Velunio)' || fail "$sign description"
has_line "IPP server is ready."
reglog | grep -q "^Removing printer 'Velunio_Old' (port: 'file:.*dev/null')$" || fail "Velunio_Old removal not logged"
has_line "Removing stale port 'ipp://localhost:$VELUNIO_IPP_PORT/ipp/print/old'"
has_line "[Sign Myself (Velunio)] lpadmin -v '$sign_url'"
has_line "[Sign Myself (Velunio)] lpadmin ok, printer present"
has_line "[Request Signature (Velunio)] installed"
has_line "=== velunio_register_printers exit=0 ==="
# Every logged line also went to standard error, without its stamp.
diff <(reglog) "$tmp/register.stderr" >/dev/null || fail "standard error differs from the log"

# --- what lp prints lands as a PDF of what was printed ---------------------------------------
python3 - "$tmp" <<'PY'
import sys
def pdf(path, w, h, text):
    stream = b"BT /F1 24 Tf 72 100 Td (%s) Tj ET" % text.encode()
    objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %d %d] /Contents 4 0 R"
            b" /Resources << /Font << /F1 5 0 R >> >> >>" % (w, h),
            b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"\nendstream",
            b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"]
    out = bytearray(b"%PDF-1.4\n"); offsets = []
    for i, o in enumerate(objs, 1):
        offsets.append(len(out)); out += b"%d 0 obj\n" % i + o + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
    for off in offsets: out += b"%010d 00000 n \n" % off
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
    open(path, "wb").write(out)
pdf(sys.argv[1] + "/a4.pdf", 595, 842, "Original A4 wording")
pdf(sys.argv[1] + "/letter.pdf", 612, 792, "Original Letter wording")
PY
convert -size 300x200 xc:red "$tmp/photo.jpg" && convert -size 200x300 xc:blue "$tmp/pic.png" || fail "convert"
printf 'A plain text file\n' > "$tmp/note.txt"
# name  file  pages  page size (pdfinfo)  text that must be found
cases="a4.pdf|1|595 x 842|Original A4 wording
letter.pdf|1|612 x 792|Original Letter wording
photo.jpg|1|595.276 x 841.89|
pic.png|1|612 x 792|
note.txt|1|612 x 792|"
for q in "$sign" "$request"; do
  folder=$VELUNIO_OUTPUT_DIR/$([ "$q" = "$sign" ] && echo sign-myself || echo request-signature)
  while IFS='|' read -r file pages size text; do
    media=$([ "$file" = photo.jpg ] && echo "-o media=iso_a4_210x297mm" || echo "-o media=na_letter_8.5x11in")
    [ "${file##*.}" = pdf ] && media=""
    lp -d "$q" -t "$file" $media "$tmp/$file" >/dev/null || fail "lp $file to $q"
    landed=$folder/${file%.pdf}.pdf
    for _ in $(seq 200); do [ -f "$landed" ] && break; sleep 0.05; done
    [ -f "$landed" ] || { fail "$file printed to $q did not land"; continue; }
    [ "$(head -c 4 "$landed")" = "%PDF" ] || fail "$file to $q: not a PDF"
    info=$(pdfinfo "$landed" 2>&1) || fail "$file to $q: pdfinfo cannot open it"
    grep -q "^Pages: *$pages$" <<<"$info" || fail "$file to $q: page count"
    grep -q "^Page size: *$size pts" <<<"$info" || fail "$file to $q: page size $(grep 'Page size' <<<"$info")"
    [ -z "$text" ] || pdftotext "$landed" - | grep -qF "$text" || fail "$file to $q: text not found: $(pdftotext "$landed" - | head -3)"
    case $file in *.pdf) cmp -s "$landed" "$tmp/$file" || fail "$file to $q: not byte-identical";; esac
  done <<<"$cases"
done

# Again: the same two queues, no duplicates; a queue CUPS disabled is enabled again.
cupsdisable "$sign" && cupsreject "$sign"
"$app" --register 2>/dev/null || fail "second --register"
[ "$(lpstat -v | grep -c "localhost:$VELUNIO_IPP_PORT")" -eq 2 ] || { fail "duplicates after a second --register"; lpstat -v >&2; }
lpstat -p "$sign" | grep -q "enabled" || fail "$sign still disabled after --register"
lpstat -a "$sign" | grep -q "accepting requests" || fail "$sign still rejecting after --register"

: > "$VELUNIO_REGISTER_LOG"
rc=0
"$app" --unregister 2>/dev/null || rc=$?
[ $rc -eq 0 ] || fail "--unregister exited with $rc"
lpstat -v > "$tmp/devices" 2>/dev/null
grep -q "localhost:$VELUNIO_IPP_PORT" "$tmp/devices" && fail "queues left after --unregister"
for q in $decoys; do grep -q "^device for $q:" "$tmp/devices" || fail "--unregister removed $q"; done
has_line "=== velunio_unregister_printers started ==="
has_line "Removing printer '$sign' (port: '$sign_url?waitjob=false')"
has_line "=== velunio_unregister_printers done ==="
# Nothing of ours left: only the two framing lines.
"$app" --unregister 2>/dev/null
[ "$(reglog | tail -2 | head -1)" = "=== velunio_unregister_printers started ===" ] || fail "empty removal logged more"

[ $failures -eq 0 ] && echo "register: all checks passed"
exit $(( failures > 0 ))
