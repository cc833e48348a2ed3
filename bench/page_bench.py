#!/usr/bin/env python3
"""The page with many documents, in the real program and its real web view.

The program runs under a private X display with a temporary output folder, signed in through
the development service as the end-to-end test does. The bench then lands DOCUMENTS printed
files back to back (one every INTERVAL ms) in the "sign-myself" folder (written aside, then renamed into place, as the
printer's file device does) and times the page's log line for each; then it restarts the
program with all of them present and times how soon the page answers a click.

    page_bench.py --app BUILD/velunio-print-app [--documents 1000] [--interval-ms 10] [--ui DIR]

Printed: the time from a file's landing to the page's log line for it, for the first and the
last hundred (with files landing faster than a printer delivers them, growing work per
document shows as a growing delay), how far the page lagged behind the last landed file, the time from the restart to the home screen with the list and
to a click answered, and the web process's peak memory in each run. `--ui` runs another page
folder (an older one, say) against the same program. Not a test: it prints figures and exits
non-zero only when a step cannot be done.
"""
import argparse
import json
import os
import re
import shutil
import signal
import statistics
import sys
import tempfile
import time

source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(source, "tests", "integration", "e2e"))
import e2e_test as e2e  # noqa: E402  (the environment, the dev service, sign-in and the window)

PDF = (b"%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj 2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj "
       b"3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 595 842]>>endobj\ntrailer<</Root 1 0 R>>\n%%EOF\n")
# Both forms of the page's document lines: one line per changed document, or (older pages)
# the whole list on every change.
DOCUMENT_LINE = re.compile(r'\[page\] document (\{.*)$')
LIST_LINE = re.compile(r'\[page\] documents \[(.*)\]$')
SCREEN_LINE = re.compile(r'\[page\] screen (\w+)')


class LogTail:
    """New lines of the program's log, each with the moment this process read it. The log
    rotates at 3 MiB (an older page writes a lot): the rest of the old file is read first."""

    def __init__(self, path):
        self.path, self.offset, self.partial = path, 0, b""
        self.screen, self.listed = None, 0

    def skip_to_end(self):
        self.offset, self.partial = (os.path.getsize(self.path) if os.path.exists(self.path) else 0), b""

    def read(self):
        data = b""
        try:
            if os.path.getsize(self.path) < self.offset:
                with open(self.path + ".1", "rb") as f:
                    f.seek(self.offset)
                    data = f.read()
                self.offset = 0
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                fresh = f.read()
        except OSError:
            return []
        self.offset += len(fresh)
        now = time.monotonic()
        lines = (self.partial + data + fresh).split(b"\n")
        self.partial = lines.pop()
        read = [(now, line.decode("utf-8", "replace")) for line in lines]
        for _, line in read:
            m = SCREEN_LINE.search(line)
            if m:
                self.screen = m.group(1)
            m = LIST_LINE.search(line)
            if m:
                self.listed = m.group(1).count('"path":')
        return read

def web_process_peak_mb(program_pid):
    """VmHWM of the program's web process: the peak resident size over its life so far."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/status") as f:
                status = dict(line.split(":", 1) for line in f if ":" in line)
        except OSError:
            continue
        if status.get("Name", "").strip().startswith("WebKitWebProces") and int(status["PPid"]) == program_pid:
            return int(status["VmHWM"].split()[0]) / 1024
    return None


class Shown:
    """Which landed documents the page has logged, and when this process read each line."""

    def __init__(self, tail):
        self.tail, self.at, self.order, self.listed = tail, {}, [], 0

    def poll(self):
        for at, line in self.tail.read():
            m = DOCUMENT_LINE.search(line)
            if m:
                self.at.setdefault(os.path.realpath(json.loads(m.group(1))["path"]), at)
                continue
            m = LIST_LINE.search(line)
            if m:
                # An older page: the list's length says how many have been handled.
                count = m.group(1).count('"path":')
                for path in self.order[self.listed:count]:
                    self.at.setdefault(path, at)
                self.listed = max(self.listed, count)


def land_and_watch(folder, count, interval, shown, timeout):
    """Renames the files into place one every `interval` seconds (each written aside first)
    while reading the log, then waits for the rest; returns {path: landing moment}."""
    landed = {}
    start = time.monotonic()
    for i in range(count):
        while time.monotonic() < start + i * interval:
            shown.poll()
            time.sleep(0.001)
        final = os.path.join(folder, f"{i + 1:04d}-bench.pdf")
        part = os.path.join(folder, f".{os.getpid()}-{i}.pdf.part")
        with open(part, "wb") as f:
            f.write(PDF)
        os.rename(part, final)
        landed[os.path.realpath(final)] = time.monotonic()
        shown.order.append(os.path.realpath(final))
    deadline = time.monotonic() + timeout
    while any(path not in shown.at for path in landed):
        if time.monotonic() > deadline:
            raise e2e.Failure(f"the page logged {sum(p in shown.at for p in landed)} of {count} documents in time")
        shown.poll()
        time.sleep(0.002)
    return landed


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


class Bench(e2e.EndToEnd):
    def measure(self):
        count, interval = self.args.documents, self.args.interval_ms / 1000
        tail = LogTail(self.log_file)
        tail.skip_to_end()
        folder = self.path("out", "sign-myself")

        shown = Shown(tail)
        landed = land_and_watch(folder, count, interval, shown, timeout=max(120, count * 0.5))
        last_landed = max(landed.values())
        latency = [shown.at[path] - at for path, at in landed.items()]
        hundred = min(100, count)
        print(f"documents: {count}, one landed every {interval * 1000:g} ms")
        for which, part in (("first", latency[:hundred]), ("last", latency[-hundred:])):
            print(f"landed file to the page's line, {which} {hundred}: median {ms(statistics.median(part))}, "
                  f"mean {ms(statistics.mean(part))}, max {ms(max(part))}")
        print(f"page behind the last landed file: {ms(max(shown.at[path] for path in landed) - last_landed)}")
        print(f"web process peak while printing: {web_process_peak_mb(self.program.pid):.0f} MB")

        # The page writes its storage as it goes; give it the moment any user's pause would.
        time.sleep(1.5)
        self.stop_program()
        started = time.monotonic()
        tail.skip_to_end()
        self.program = self.procs.start([self.app], self.env, self.path("logs", "program-2.out"))
        self.window = e2e.wait_for("the program's window", lambda: e2e.windows(self.env)[-1:], 30)[0]
        window_at = time.monotonic()

        def home_with_list():
            tail.read()
            return tail.screen == "home" and tail.listed == count

        e2e.wait_for("the home screen with the list", home_with_list, 60, interval=0.01,
                     detail=lambda: e2e.read(self.log_file, 5))
        home_at = time.monotonic()
        # The window takes the home screen's size as the list shows: click once it has it.
        sizes = []
        e2e.wait_for("the window to keep its size", lambda: sizes.append(e2e.geometry(self.env, self.window)) or
                     (len(sizes) > 1 and sizes[-1] == sizes[-2]), 10, interval=0.2)
        self.focus_page()
        keys_at = time.monotonic()
        e2e.xdotool(self.env, "key", "--delay", "20", "Tab", "Tab", "Return")
        e2e.wait_for("the page to answer the keys", lambda: tail.read() is not None and tail.screen == "signin",
                     600, interval=0.01, detail=lambda: e2e.read(self.log_file, 5))
        answered_at = time.monotonic()
        answered = answered_at - keys_at
        print(f"restart with {count} present: window shown after {ms(window_at - started)}, home screen with the list "
              f"after {ms(home_at - started)}; keys pressed then answered in {ms(answered)} "
              f"({ms(answered_at - started)} after the start)")
        print(f"usable after the restart (home screen with the list, then the keys' answer): "
              f"{ms(home_at - started + answered)}")
        print(f"web process peak after the restart: {web_process_peak_mb(self.program.pid):.0f} MB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--app", required=True, help="the built velunio-print-app")
    parser.add_argument("--source", default=source, help="the source tree (for the dev service)")
    parser.add_argument("--documents", type=int, default=1000)
    parser.add_argument("--interval-ms", type=float, default=10, help="time between two landed files")
    parser.add_argument("--ui", help="a page folder to run instead of the one beside the program")
    args = parser.parse_args()
    args.build = os.path.dirname(os.path.abspath(args.app))
    args.artifacts = tempfile.mkdtemp(prefix="velunio-page-bench-")
    args.no_cups = True  # the files land in the output folder directly
    bench = Bench(args)
    # A stop ends every process the bench started; a second stop does not cut that short.
    signal.signal(signal.SIGTERM, lambda *_: (signal.signal(signal.SIGTERM, signal.SIG_IGN), sys.exit(1)))
    failed = bench.run([bench.set_up, bench.start_program, bench.sign_in, bench.measure])
    if failed:
        print(f"(logs and screenshots in {args.artifacts})", file=sys.stderr)
    else:
        shutil.rmtree(args.artifacts, ignore_errors=True)
    return failed


if __name__ == "__main__":
    sys.exit(main())
