#!/usr/bin/env python3
"""The whole product, driven as a user drives it.

In one temporary folder (HOME, XDG folders, output folder, TMPDIR): the development signing
service, a private CUPS scheduler on its own socket, a copy of the program with its page, and a
scripted browser registered as the desktop's http: handler. The test signs in through the
callback scheme, registers the queues, prints one PDF to each, uploads both from the page,
removes one, clears the rest and restarts the program. The page is driven with real key presses
and clicks (xdotool) and observed through its console lines in the program's log; a screenshot
of each state goes to the artifacts folder.

    e2e_test.py --app BUILD/velunio-print-app --source SRC --build BUILD
"""
import argparse
import glob
import hashlib
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

TITLE_BAR_HEIGHT = 28  # the window's drawn title strip; the page starts below it
SIGN_PRINTER = "Sign_Myself_(Velunio)"
REQUEST_PRINTER = "Request_Signature_(Velunio)"
# The page logs its screen, its whole list once at start (and "[]" when cleared), then one line
# per changed document: "document {...}" or "document removed {"path": ...}".
STATE_LINE = re.compile(r"\[JS\] \w+: \[page\] (screen|documents|document removed|document) (.*)$")
started_at = time.monotonic()


class Failure(Exception):
    pass


def note(text):
    print(f"[e2e {time.monotonic() - started_at:6.1f}s] {text}", flush=True)


def wait_for(what, check, timeout, interval=0.1, detail=None):
    """Polls `check` until it returns something true; a bounded wait with a clear message."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() >= deadline:
            extra = f"\n{detail()}" if detail else ""
            raise Failure(f"timed out after {timeout:g} s waiting for {what}{extra}")
        time.sleep(interval)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tail(path, lines=30):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return f"({path} not readable)"


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def minimal_pdf(path, text):
    """A one-page PDF whose page shows `text`; offsets computed, so any reader accepts it."""
    content = f"BT /F1 24 Tf 72 720 Td ({text}) Tj ET".encode()
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R"
        b" /Resources << /Font << /F1 5 0 R >> >> >>",
        b"<< /Length %d >>\nstream\n" % len(content) + content + b"\nendstream",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    ]
    out = bytearray(b"%PDF-1.4\n")
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for offset in offsets:
        out += b"%010d 00000 n \n" % offset
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    with open(path, "wb") as f:
        f.write(out)


class Processes:
    """Every process the test starts, each in a session of its own, so that its whole group
    (the web engine's helpers, a launched browser) ends with it."""

    def __init__(self):
        self.started = []

    def start(self, name, argv, env, log_path, **kwargs):
        out = open(log_path, "ab")
        proc = subprocess.Popen(argv, env=env, stdout=kwargs.pop("stdout", out), stderr=out,
                                stdin=subprocess.DEVNULL, start_new_session=True, **kwargs)
        out.close()
        self.started.append((name, proc))
        return proc

    @staticmethod
    def stop(proc, timeout=10):
        if proc.poll() is None:
            try:
                os.killpg(proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait(5)
        # Helpers left in the group once its leader is gone.
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass

    def stop_all(self):
        for _, proc in reversed(self.started):
            self.stop(proc)


def kill_left_over(root):
    """Processes started on the test's behalf by others (the desktop launching the scripted
    browser, `gio open` starting the program again) that outlived their parents: found by the
    test's own temporary folder in their command line or executable, ended by their id."""
    own = os.getpid()
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == own:
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace")
            exe = os.readlink(f"/proc/{entry}/exe") if os.path.exists(f"/proc/{entry}/exe") else ""
        except OSError:
            continue
        if root in cmdline or exe.startswith(root):
            try:
                os.kill(int(entry), signal.SIGKILL)
                note(f"ended left-over process {entry}: {cmdline[:120]}")
            except OSError:
                pass


class PageLog:
    """The page's state as its console lines in the program's log tell it."""

    def __init__(self, path):
        self.path = path
        self.offset = 0

    def mark(self):
        """Later reads see only lines written from now on (a restart appends to the log)."""
        try:
            self.offset = os.path.getsize(self.path)
        except OSError:
            self.offset = 0

    def text(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                return f.read().decode("utf-8", errors="replace")
        except OSError:
            return ""

    def states(self):
        """The screen and the document list, replayed from the lines since the mark; the list is
        None until the page has logged it."""
        screen, documents = None, None
        for line in self.text().splitlines():
            m = STATE_LINE.search(line)
            if not m:
                continue
            kind, text = m.group(1), m.group(2).strip()
            if kind == "screen":
                screen = text
                continue
            try:
                value = json.loads(text)
            except ValueError:
                continue
            if kind == "documents":
                documents = {d["path"]: d for d in value}
            elif documents is not None and kind == "document removed":
                documents.pop(value["path"], None)
            elif documents is not None:
                documents[value["path"]] = value
        return screen, None if documents is None else list(documents.values())

    def screen(self):
        return self.states()[0]

    def documents(self):
        return self.states()[1]

    def has(self, pattern):
        return re.search(pattern, self.text(), re.M)

    def describe(self):
        screen, documents = self.states()
        return f"page screen: {screen}\npage documents: {json.dumps(documents)}\nlog tail:\n{tail(self.path, 25)}"


class Desktop:
    """The program's window on the X display: finding it, key presses, clicks, screenshots."""

    def __init__(self, env, artifacts):
        self.env = env
        self.artifacts = artifacts
        self.window = None
        self.shots = []

    def xdotool(self, *args, check=True):
        try:
            result = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, timeout=15)
        except subprocess.TimeoutExpired:
            raise Failure(f"xdotool {' '.join(args)} did not finish within 15 s")
        if check and result.returncode != 0:
            raise Failure(f"xdotool {' '.join(args)} failed: {result.stderr.strip()}")
        return result.stdout

    def find_window(self, pid, timeout):
        def visible():
            out = self.xdotool("search", "--onlyvisible", "--name", "^Velunio Printaro$", check=False)
            ids = out.split()
            if not ids:
                out = self.xdotool("search", "--onlyvisible", "--pid", str(pid), check=False)
                ids = out.split()
            return ids[-1] if ids else None

        self.window = wait_for("the program's window to appear on the display", visible, timeout)
        return self.window

    def geometry(self):
        out = self.xdotool("getwindowgeometry", "--shell", self.window)
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def focus_page(self):
        """A click on the page's blank margin, top left below the title strip: the web view
        takes the keyboard focus and the page's Tab order starts over from that point."""
        x, y, _, _ = self.geometry()
        # Without --sync: that waits for a movement, forever when the pointer is there already.
        self.xdotool("mousemove", str(x + 6), str(y + TITLE_BAR_HEIGHT + 6))
        time.sleep(0.1)
        self.xdotool("click", "1")
        self.xdotool("windowfocus", "--sync", self.window, check=False)
        time.sleep(0.2)

    def keys(self, *names):
        for name in names:
            self.xdotool("key", "--clearmodifiers", name)
            time.sleep(0.12)

    def tab_then_return(self, tabs):
        self.focus_page()
        self.keys(*(["Tab"] * tabs), "Return")

    def screenshot(self, name):
        time.sleep(0.4)  # let the page paint the state just reached
        path = os.path.join(self.artifacts, f"{len(self.shots) + 1:02d}-{name}.png")
        crop = []
        if self.window:
            try:
                x, y, w, h = self.geometry()
                crop = ["-crop", f"{w}x{h}+{x}+{y}", "+repage"]
            except Failure:
                pass
        result = subprocess.run(["import", "-window", "root", *crop, path], env=self.env,
                                capture_output=True, text=True, timeout=30)
        if result.returncode != 0:
            note(f"screenshot {path} failed: {result.stderr.strip()}")
        else:
            self.shots.append(path)
            note(f"screenshot {os.path.relpath(path, os.path.dirname(os.path.dirname(self.artifacts)))}")


class EndToEnd:
    def __init__(self, args):
        self.args = args
        self.procs = Processes()
        self.root = tempfile.mkdtemp(prefix="velunio-e2e-")
        # The scheduler's filters run as another user and read the spool below here.
        os.chmod(self.root, 0o755)
        self.artifacts = getattr(args, "artifacts", None) or os.path.join(args.build, "tests", "artifacts", "e2e")
        os.makedirs(self.artifacts, exist_ok=True)
        for old in glob.glob(os.path.join(self.artifacts, "*")):
            os.remove(old)
        self.program = None
        self.xvfb = None

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    # --- set-up -------------------------------------------------------------------------------

    def make_environment(self):
        for d in ("home", "data/applications", "config", "cache", "tmp", "out", "app", "bin", "logs"):
            os.makedirs(self.path(d), exist_ok=True)
        os.makedirs(self.path("run"), mode=0o700)
        os.chmod(self.path("run"), 0o700)
        os.chmod(self.path("tmp"), 0o1777)
        self.ipp_port = free_port()
        # Only what the program needs: no session bus, no proxy, no desktop of the machine.
        self.env = {
            # lpadmin and cupsd live in sbin.
            "PATH": os.environ.get("PATH", "/usr/bin:/bin") + ":/usr/sbin:/sbin",
            "LANG": "C.UTF-8",
            "HOME": self.path("home"),
            "XDG_DATA_HOME": self.path("data"),
            "XDG_CONFIG_HOME": self.path("config"),
            "XDG_CACHE_HOME": self.path("cache"),
            "XDG_RUNTIME_DIR": self.path("run"),
            "TMPDIR": self.path("tmp"),
            "VELUNIO_OUTPUT_DIR": self.path("out"),
            "VELUNIO_IPP_PORT": str(self.ipp_port),
            "VELUNIO_REGISTER_LOG": self.path("logs", "register.log"),
            "CUPS_SERVER": self.path("cups", "cups.sock"),
            "NO_AT_BRIDGE": "1",
            "GIO_USE_VFS": "local",
            "GSETTINGS_BACKEND": "memory",
            "no_proxy": "127.0.0.1,localhost",
            "NO_PROXY": "127.0.0.1,localhost",
        }
        if os.environ.get("DISPLAY"):
            self.env["DISPLAY"] = os.environ["DISPLAY"]
        else:
            self.start_xvfb()
        self.log_file = self.path("out", "velunio-print.log")
        self.page = PageLog(self.log_file)
        self.desktop = Desktop(self.env, self.artifacts)

    def start_xvfb(self):
        """scripts/test provides a display; run alone without one, the test brings its own."""
        number = 90 + os.getpid() % 400
        while os.path.exists(f"/tmp/.X11-unix/X{number}") or os.path.exists(f"/tmp/.X{number}-lock"):
            number += 1
        self.xvfb = self.procs.start("Xvfb", ["Xvfb", f":{number}", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                     self.env, self.path("logs", "xvfb.log"))
        wait_for("the private X display", lambda: os.path.exists(f"/tmp/.X11-unix/X{number}"), 10)
        self.env["DISPLAY"] = f":{number}"

    def start_dev_service(self):
        server = os.path.join(self.args.source, "tools", "dev-service", "server.js")
        proc = self.procs.start("dev service", ["node", server, "--port", "0", "--data", self.path("dev-data")],
                                self.env, self.path("logs", "dev-service.log"), stdout=subprocess.PIPE)
        line = b""
        deadline = time.monotonic() + 20
        while b"\n" not in line:
            left = deadline - time.monotonic()
            if left <= 0 or proc.poll() is not None:
                raise Failure(f"the dev service did not announce its port\n{tail(self.path('logs', 'dev-service.log'))}")
            ready, _, _ = select.select([proc.stdout], [], [], left)
            if ready:
                chunk = os.read(proc.stdout.fileno(), 4096)
                if not chunk:
                    continue
                line += chunk
        m = re.search(rb"dev-service listening on (http://127\.0\.0\.1:(\d+))", line)
        if not m:
            raise Failure(f"unexpected dev service announcement: {line!r}")
        self.service = m.group(1).decode()
        note(f"dev service at {self.service}")

    def start_cupsd(self):
        cups = self.path("cups")
        for d in ("spool", "cache", "state", "log", "tmp"):
            os.makedirs(os.path.join(cups, d), exist_ok=True)
        os.chmod(os.path.join(cups, "tmp"), 0o1777)
        with open(os.path.join(cups, "cupsd.conf"), "w") as f:
            f.write(f"""LogLevel warn
Listen {cups}/cups.sock
WebInterface No
Browsing No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Location /admin>
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
""")
        with open(os.path.join(cups, "cups-files.conf"), "w") as f:
            f.write(f"""ServerRoot {cups}
RequestRoot {cups}/spool
CacheDir {cups}/cache
StateDir {cups}/state
TempDir {cups}/tmp
ErrorLog {cups}/log/error_log
AccessLog {cups}/log/access_log
PageLog {cups}/log/page_log
SystemGroup root
ServerBin /usr/lib/cups
DataDir /usr/share/cups
""")
        self.procs.start("cupsd", ["cupsd", "-f", "-c", f"{cups}/cupsd.conf", "-s", f"{cups}/cups-files.conf"],
                         self.env, self.path("logs", "cupsd.log"))

        def answering():
            r = subprocess.run(["lpstat", "-r"], env=self.env, capture_output=True, timeout=10)
            return r.returncode == 0

        wait_for("the private CUPS scheduler", answering, 15, detail=lambda: tail(f"{cups}/log/error_log"))
        server = subprocess.run(["lpstat", "-H"], env=self.env, capture_output=True, text=True, timeout=10).stdout.strip()
        if server != f"{cups}/cups.sock":
            raise Failure(f"lpstat talks to {server!r}, not the private scheduler")

    def install_program(self):
        """The executable and its page side by side, with the page pointed at this dev service."""
        app_dir = self.path("app")
        self.app = os.path.join(app_dir, "velunio-print-app")
        shutil.copy2(self.args.app, self.app)
        ui = getattr(self.args, "ui", None) or os.path.join(os.path.dirname(self.args.app), "ui")
        shutil.copytree(ui, os.path.join(app_dir, "ui"))
        with open(os.path.join(app_dir, "ui", "config.json")) as f:
            config = json.load(f)
        config.update({
            "authorizeUrl": f"{self.service}/oauth/authorize",
            "tokenUrl": f"{self.service}/oauth/token",
            "graphqlEndpoint": f"{self.service}/graphql",
            "envelopeUrl": f"{self.service}/envelopes/{{id}}",
        })
        with open(os.path.join(app_dir, "ui", "config.json"), "w") as f:
            json.dump(config, f, indent=2)

    def install_browser(self):
        """The scripted browser as the desktop's default handler of web addresses."""
        script = self.path("bin", "scripted_browser.py")
        shutil.copy2(os.path.join(os.path.dirname(os.path.abspath(__file__)), "scripted_browser.py"), script)
        with open(self.path("data", "applications", "e2e-browser.desktop"), "w") as f:
            f.write(f"""[Desktop Entry]
Type=Application
Name=Scripted browser
Exec={sys.executable} {script} %u
MimeType=x-scheme-handler/http;x-scheme-handler/https;
NoDisplay=true
""")
        with open(self.path("config", "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\nx-scheme-handler/http=e2e-browser.desktop\n"
                    "x-scheme-handler/https=e2e-browser.desktop\n")
        self.browser_log = self.path("bin", "browser.log")

    def start_program(self, run):
        self.page.mark()
        self.program = self.procs.start("program", [self.app], self.env, self.path("logs", f"program-{run}.out"))
        self.desktop.find_window(self.program.pid, 30)
        note(f"program started (pid {self.program.pid}), window {self.desktop.window} at {self.desktop.geometry()}")

    def stop_program(self):
        self.program.send_signal(signal.SIGTERM)
        try:
            code = self.program.wait(20)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end within 20 s of SIGTERM")
        Processes.stop(self.program)
        if code != 0:
            raise Failure(f"the program ended with exit code {code} on SIGTERM\n{tail(self.path('logs', 'program-1.out'))}")

    # --- the user's road ------------------------------------------------------------------------

    def wait_screen(self, name, timeout):
        wait_for(f"the page to show its '{name}' screen", lambda: self.page.screen() == name, timeout,
                 detail=self.page.describe)

    def wait_documents(self, what, check, timeout):
        def ok():
            docs = self.page.documents()
            return docs is not None and check(docs)

        wait_for(what, ok, timeout, detail=self.page.describe)
        return self.page.documents()

    def sign_in(self):
        self.wait_screen("signin", 30)
        self.desktop.screenshot("signin")
        # The sign-in button is the first thing Tab reaches on the sign-in screen.
        self.desktop.tab_then_return(1)
        wait_for("the page to ask the desktop to open the authorisation page",
                 lambda: self.page.has(r"\[openBrowser\] " + re.escape(self.service) + r"/oauth/authorize\?"), 15,
                 detail=self.page.describe)
        wait_for("the scripted browser to hand the callback URL over",
                 lambda: "callback handed over" in tail(self.browser_log, 50), 30,
                 detail=lambda: f"browser log:\n{tail(self.browser_log)}\n{self.page.describe()}")
        self.wait_screen("home", 20)
        if not self.page.has(r"\[callback\] handle_second_instance cmdline: .*velunioprinter://callback\?code="):
            raise Failure(f"the callback URL did not come through a second instance\n{self.page.describe()}")
        self.desktop.screenshot("signed-in-empty")
        entry = self.path("data", "applications", "velunioprinter.desktop")
        if not os.path.exists(entry):
            raise Failure(f"{entry} was not written by the first instance")

    def register_queues(self):
        out = self.path("logs", "register.out")
        with open(out, "wb") as f:
            result = subprocess.run([self.app, "--register"], env=self.env, stdout=f, stderr=subprocess.STDOUT,
                                    timeout=90)
        if result.returncode != 0:
            raise Failure(f"--register exited with {result.returncode}\n{tail(out)}")
        listing = subprocess.run(["lpstat", "-v"], env=self.env, capture_output=True, text=True, timeout=10).stdout
        queues = {}
        for line in listing.splitlines():
            m = re.match(r"device for (\S+): (\S+)$", line)
            if m:
                for printer in (SIGN_PRINTER, REQUEST_PRINTER):
                    # The queue's backend is told not to wait for the job's end.
                    if m.group(2) == f"ipp://localhost:{self.ipp_port}/ipp/print/{printer}?waitjob=false":
                        queues[printer] = m.group(1)
        if len(queues) != 2:
            raise Failure(f"after --register the private scheduler lists:\n{listing}")
        self.queues = queues
        note(f"queues {queues}")

    def print_documents(self):
        self.landed = {}
        for printer, folder, text in ((SIGN_PRINTER, "sign-myself", "Signed by me"),
                                      (REQUEST_PRINTER, "request-signature", "Signed by others")):
            pdf = self.path(f"{folder}-source.pdf")
            minimal_pdf(pdf, text)
            r = subprocess.run(["lp", "-d", self.queues[printer], "-t", f"e2e {folder}", pdf], env=self.env,
                               capture_output=True, text=True, timeout=20)
            if r.returncode != 0:
                raise Failure(f"lp to {self.queues[printer]} failed: {r.stderr.strip()}")
        for folder in ("sign-myself", "request-signature"):
            def landed():
                files = glob.glob(self.path("out", folder, "*.pdf"))
                return files[0] if len(files) == 1 else None

            path = wait_for(f"the printed PDF to land in {folder}", landed, 60,
                            detail=lambda: tail(self.path("cups", "log", "error_log")))
            with open(path, "rb") as f:
                if f.read(5) != b"%PDF-":
                    raise Failure(f"{path} is not a PDF")
            self.landed[folder] = os.path.realpath(path)
        self.sign_path = self.landed["sign-myself"]
        self.request_path = self.landed["request-signature"]

        def both_shown(docs):
            by_path = {os.path.realpath(d["path"]): d for d in docs}
            sign = by_path.get(self.sign_path)
            request = by_path.get(self.request_path)
            return (len(docs) == 2 and sign and request and sign["flow"] == "sign_myself"
                    and request["flow"] == "request_signature"
                    and sign["status"] == "ready" and request["status"] == "ready")

        self.wait_documents("both printed documents in their groups, ready to upload", both_shown, 20)
        self.desktop.screenshot("printed")

    def document(self, path):
        for d in self.page.documents() or []:
            if os.path.realpath(d["path"]) == path:
                return d
        return None

    def upload(self, path, tabs, name, shot):
        # Enter in a document's envelope name field uploads it, as its Upload button does.
        self.desktop.focus_page()
        self.desktop.keys(*(["Tab"] * tabs), "ctrl+a")
        self.desktop.xdotool("type", "--delay", "20", name)
        self.desktop.keys("Return")
        self.wait_documents(f"an envelope id for {os.path.basename(path)}",
                            lambda docs: any(os.path.realpath(d["path"]) == path and d["status"] == "done"
                                             and d.get("envelopeId") for d in docs), 30)
        self.desktop.screenshot(shot)
        return self.document(path)["envelopeId"]

    def upload_both(self):
        # Tab order below the header (Clear all, Sign out): per document Remove, the envelope
        # name field, Upload; an uploaded one has Remove and Open envelope. Sign myself first.
        # Envelope names equal to key names of the upload message must not hide those keys.
        sign_id = self.upload(self.sign_path, 4, "token", "uploaded-sign-myself")
        request_id = self.upload(self.request_path, 6, "envelopeFlowType", "uploaded-both")
        if sign_id == request_id:
            raise Failure(f"both uploads show the same envelope id {sign_id}")
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        envelopes = json.loads(opener.open(f"{self.service}/api/envelopes", timeout=10).read())
        by_id = {e["id"]: e for e in envelopes}
        if len(envelopes) != 2:
            raise Failure(f"the service holds {len(envelopes)} envelopes: {envelopes}")
        for envelope_id, path, flow, name in ((sign_id, self.sign_path, "SIGN_MYSELF", "token"),
                                              (request_id, self.request_path, "REQUEST_SIGNATURE", "envelopeFlowType")):
            e = by_id.get(envelope_id)
            if not e:
                raise Failure(f"the page shows envelope {envelope_id}, which the service does not hold: {envelopes}")
            if e["flow"] != flow or e["name"] != name:
                raise Failure(f"envelope {envelope_id} is {e['name']!r} in flow {e['flow']}, not {name!r} in {flow}")
            stored = opener.open(f"{self.service}/envelopes/{envelope_id}/document.pdf", timeout=10).read()
            if e["sha256"] != sha256(path) or hashlib.sha256(stored).hexdigest() != sha256(path):
                raise Failure(f"envelope {envelope_id} does not hold the bytes of {path}")
        note(f"envelopes {sign_id} (SIGN_MYSELF) and {request_id} (REQUEST_SIGNATURE) hold the landed files")

    def remove_and_clear(self):
        # Remove of the uploaded sign-myself document: Clear all, Sign out, then its Remove.
        self.desktop.tab_then_return(3)
        self.wait_documents("the removed document to leave the list",
                            lambda docs: len(docs) == 1 and os.path.realpath(docs[0]["path"]) == self.request_path, 15)
        wait_for("the removed document's file to be deleted", lambda: not os.path.exists(self.sign_path), 10)
        self.desktop.screenshot("removed-one")
        # Clear all asks first, with the focus on "Keep them"; Tab reaches "Remove all".
        self.desktop.tab_then_return(1)
        time.sleep(0.5)
        self.desktop.screenshot("confirm-clear")
        if len(self.page.documents() or []) != 1:
            raise Failure(f"the list changed before the clearing was confirmed\n{self.page.describe()}")
        self.desktop.keys("Tab", "Return")
        self.wait_documents("an empty list after Clear all", lambda docs: docs == [], 15)
        wait_for("empty flow folders after Clear all", self.flow_folders_empty, 10,
                 detail=lambda: str(self.flow_files()))
        self.desktop.screenshot("cleared")

    def flow_files(self):
        return sorted(glob.glob(self.path("out", "sign-myself", "*")) + glob.glob(self.path("out", "request-signature", "*")))

    def flow_folders_empty(self):
        return not self.flow_files()

    def restart(self):
        # The page keeps its list in the web view's storage; give it the moment it takes to
        # write, as any user's pause would.
        time.sleep(1.5)
        self.stop_program()
        self.start_program(2)
        self.wait_screen("home", 30)
        self.wait_documents("the restarted page's list", lambda docs: True, 10)
        # The watcher reports existing files right after the page starts it: give it the time.
        time.sleep(2.0)
        docs = self.page.documents()
        if docs != [] or not self.flow_folders_empty():
            raise Failure(f"after the restart: page documents {docs}, flow folders {self.flow_files()}")
        if not self.page.has(r"startFileWatcher"):
            note("(no [startFileWatcher] line after the restart)")
        self.desktop.screenshot("restarted-empty")

    # --- run ---------------------------------------------------------------------------------------

    def run(self):
        steps = [
            ("set up the environment", self.make_environment),
            ("start the dev service", self.start_dev_service),
            ("start the private CUPS scheduler", self.start_cupsd),
            ("install the program and the scripted browser", lambda: (self.install_program(), self.install_browser())),
            ("start the program", lambda: self.start_program(1)),
            ("sign in through the callback scheme", self.sign_in),
            ("register the print queues", self.register_queues),
            ("print one PDF to each queue", self.print_documents),
            ("upload both from the page", self.upload_both),
            ("remove one, clear all", self.remove_and_clear),
            ("restart: nothing reappears", self.restart),
        ]
        passed = []
        try:
            for name, step in steps:
                note(f"step: {name}")
                step()
                passed.append(name)
            note(f"all {len(steps)} steps passed")
            return 0
        except Failure as e:
            if getattr(self, "desktop", None):
                self.desktop.screenshot("failure")
            print(f"FAIL in step '{name}': {e}", file=sys.stderr, flush=True)
            return 1
        finally:
            note(f"passed steps: {', '.join(passed) or 'none'}")
            self.finish()

    def finish(self):
        self.procs.stop_all()
        kill_left_over(self.root)
        # The logs travel with the screenshots.
        for src, name in ((self.path("out", "velunio-print.log"), "velunio-print.log"),
                          (self.path("bin", "browser.log"), "browser.log"),
                          (self.path("logs", "register.log"), "register.log"),
                          (self.path("cups", "log", "error_log"), "cups-error_log")):
            if os.path.exists(src):
                shutil.copy2(src, os.path.join(self.artifacts, name))
        for out in glob.glob(self.path("logs", "*")):
            shutil.copy2(out, os.path.join(self.artifacts, os.path.basename(out)))
        if os.environ.get("VELUNIO_E2E_KEEP"):
            note(f"kept {self.root}")
        else:
            shutil.rmtree(self.root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True, help="the built velunio-print-app, with its ui folder beside it")
    parser.add_argument("--source", required=True, help="the source tree")
    parser.add_argument("--build", required=True, help="the build tree; artifacts go below it")
    args = parser.parse_args()
    for tool in ("xdotool", "import", "cupsd", "lp", "lpstat", "gio", "node"):
        if not shutil.which(tool) and not os.path.exists(f"/usr/sbin/{tool}"):
            print(f"FAIL: {tool} is not installed (scripts/bootstrap installs it)", file=sys.stderr)
            return 1
    test = EndToEnd(args)
    # A stop from ctest's time-out still ends every process the test started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    return test.run()


if __name__ == "__main__":
    sys.exit(main())
