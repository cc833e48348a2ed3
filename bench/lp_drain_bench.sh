#!/usr/bin/env bash
# How fast a burst printed with lp drains through the queues --register makes, next to a
# cups-pdf queue on the same private scheduler. Prints jobs per second for each.
#   bench/lp_drain_bench.sh [build dir] [jobs]      (defaults: build, 40)
# Needs root (as --register does) and cups-pdf (printer-driver-cups-pdf, installed for the
# bench only). Everything runs on a scheduler of its own; the machine's queues are untouched.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
jobs=${2:-40}
app=$build/velunio-print-app
host=$build/tests/integration/printer/printer_service_host
[ -x /usr/lib/cups/backend/cups-pdf ] || { echo "cups-pdf is not installed (apt-get install printer-driver-cups-pdf)" >&2; exit 1; }
tmp=$(mktemp -d)
chmod 0755 "$tmp"
pids=()
pdf_conf=/etc/cups/cups-pdf-VelunioBench.conf
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -f "$pdf_conf"
  rm -rf "$tmp"
}
trap cleanup EXIT

cups=$tmp/cups
source "$top/tests/support/private_cupsd.sh"
start_private_cupsd "$cups"

export HOME=$tmp/home XDG_RUNTIME_DIR=$tmp/run VELUNIO_OUTPUT_DIR=$tmp/out VELUNIO_REGISTER_LOG=$tmp/register.log
mkdir -p "$HOME" && mkdir -m 0700 "$XDG_RUNTIME_DIR"
export VELUNIO_IPP_PORT=$(( 20000 + RANDOM % 20000 ))
"$host" >/dev/null 2>&1 &
pids+=($!)
"$app" --register >/dev/null 2>&1 || { echo "--register failed" >&2; cat "$VELUNIO_REGISTER_LOG" >&2; exit 1; }

# cups-pdf reads the configuration named after its device URI's instance, beside its global one.
mkdir -p "$tmp/cups-pdf"
printf 'Out %s\nAnonDirName %s\nLog %s\nLabel 1\n' "$tmp/cups-pdf" "$tmp/cups-pdf" "$tmp" > "$pdf_conf"
lpadmin -p VelunioBenchPDF -E -v cups-pdf:/VelunioBench -P /usr/share/ppd/cups-pdf/CUPS-PDF_noopt.ppd 2>/dev/null

printf '%%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >> endobj\ntrailer << /Root 1 0 R >>\n%%%%EOF\n' > "$tmp/doc.pdf"

# Seconds from the first lp until `jobs` PDFs stand in the folder.
drain() {
  local queue=$1 folder=$2 start end
  start=$(date +%s%N)
  for i in $(seq "$jobs"); do lp -d "$queue" -t "bench-$i" "$tmp/doc.pdf" >/dev/null; done
  for _ in $(seq 300); do
    [ "$(find "$folder" -name '*.pdf' | wc -l)" -ge "$jobs" ] && break
    sleep 0.05
  done
  end=$(date +%s%N)
  [ "$(find "$folder" -name "*.pdf" | wc -l)" -ge "$jobs" ] || { echo "$queue: not all $jobs jobs landed" >&2; tail -5 "$cups/log/error_log" >&2; ls -R "$folder" >&2; return 1; }
  echo "$(( (end - start) / 1000000 ))"
}
ours=$(drain Sign_Myself_Velunio "$VELUNIO_OUTPUT_DIR/sign-myself")
theirs=$(drain VelunioBenchPDF "$tmp/cups-pdf")
rate() { awk -v n="$jobs" -v ms="$1" 'BEGIN { printf "%.1f", n * 1000 / ms }'; }
printf '%d jobs through lp\n' "$jobs"
printf '%-28s %8d ms  %6s jobs/s\n' "Sign Myself (Velunio) queue" "$ours" "$(rate "$ours")"
printf '%-28s %8d ms  %6s jobs/s\n' "cups-pdf queue" "$theirs" "$(rate "$theirs")"
[ "$ours" -le "$theirs" ] && echo "drains at least as fast as cups-pdf" || { echo "drains slower than cups-pdf"; exit 1; }
