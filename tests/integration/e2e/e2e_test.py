#!/usr/bin/env python3
"""The whole product, driven as a user drives it (docs/testing.md tells the road), in one
temporary folder with the development signing service, a private CUPS scheduler and this script
as the desktop's web browser. The page is driven with real key presses and clicks and observed
through its console lines in the program's log; each state is screenshot.
    e2e_test.py --app BUILD/velunio-print-app --source SRC --build BUILD"""
import argparse, glob, hashlib, http.client, json, os, re, shutil, signal, subprocess, sys, tempfile, time
import urllib.parse, urllib.request
from pathlib import Path

SUPPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support")
sys.path.insert(0, SUPPORT)
from gui_support import (Failure, Processes, geometry, minimal_pdf, private_env, read, start_display,  # noqa: E402
                         wait_for, windows, xdotool)

# Folder: the queue --register adds, the page's flow, the service's flow, the envelope name typed
# (a key name of the upload message, which must not hide that key), Tabs from the page's top to
# the document's name field.
FLOWS = {"sign-myself": ("Sign_Myself_Velunio", "sign_myself", "SIGN_MYSELF", "token", 4),
         "request-signature": ("Request_Signature_Velunio", "request_signature", "REQUEST_SIGNATURE", "envelopeFlowType", 6)}
# The page logs its screen, its whole list at start (and "[]" when cleared), then one line per
# changed document: "document {...}" or "document removed {"path": ...}".
STATE_LINE = re.compile(r"\[JS\] \w+: \[page\] (screen|documents|document removed|document) (.*)$", re.M)
started_at = time.monotonic()


def expect(ok, message):
    if not ok:
        raise Failure(message)


def browser(log_path, url):
    """The desktop's web browser (e2e_test.py --browser LOG URL): it allows the development
    service's sign-in request as a person does with its Allow button (the page itself is the
    service's own tests'), then lets the desktop open the velunioprinter:// callback it is
    redirected to. Loopback addresses only; each step logged."""
    def log(text):
        with open(log_path, "a", encoding="utf-8") as f:
            f.write(f"{time.strftime('%H:%M:%S')} [{os.getpid()}] {text}\n")
        return 1

    log(f"open {url}")
    parts = urllib.parse.urlsplit(url)
    try:
        expect(parts.scheme == "http" and parts.hostname in ("127.0.0.1", "localhost"), "not a loopback http URL")
        server = http.client.HTTPConnection(parts.hostname, parts.port, timeout=15)  # no proxy, no redirects followed
        body = urllib.parse.urlencode(urllib.parse.parse_qsl(parts.query) + [("decision", "allow")])
        server.request("POST", parts.path, body, {"Content-Type": "application/x-www-form-urlencoded"})
        answer = server.getresponse()
        location = answer.getheader("Location")
        expect(answer.status in (301, 302, 303) and location, f"answer {answer.status} without a redirect")
        r = subprocess.run(["gio", "open", location], timeout=30, capture_output=True, text=True)
        log(f"gio open {location} exited {r.returncode} {r.stderr.strip()}{'; callback handed over' if r.returncode == 0 else ''}")
        return r.returncode
    except Exception as e:  # noqa: BLE001 - whatever went wrong belongs in the log
        return log(f"failed: {e!r}")


class EndToEnd:
    def __init__(self, args):
        self.args, self.procs, self.env, self.window, self.shots, self.log_start = args, Processes(), {}, None, 0, 0
        self.root = tempfile.mkdtemp(prefix="velunio-e2e-")
        os.chmod(self.root, 0o755)  # the scheduler's filters run as another user and read its spool
        self.artifacts = getattr(args, "artifacts", None) or os.path.join(args.build, "tests", "artifacts", "e2e")
        shutil.rmtree(self.artifacts, ignore_errors=True)  # the last run's
        os.makedirs(self.artifacts)
        self.log_file, self.browser_log = self.path("out", "velunio-print.log"), self.path("logs", "browser.log")

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def page_log(self):  # this run's lines: a restart appends to the log
        return read(self.log_file)[self.log_start:]

    def page(self):
        """The page's screen and its documents by real path (None until it has listed them)."""
        screen, docs = None, None
        for kind, text in STATE_LINE.findall(self.page_log()):
            try:
                value = text.strip() if kind == "screen" else json.loads(text)
            except ValueError:  # a line still being written
                continue
            if kind == "screen":
                screen = value
            elif kind == "documents":
                docs = {os.path.realpath(d["path"]): d for d in value}
            elif docs is not None:
                path = os.path.realpath(value["path"])
                docs.pop(path, None) if kind == "document removed" else docs.update({path: value})
        return screen, docs

    def describe(self):
        screen, docs = self.page()
        return f"page screen: {screen}\npage documents: {json.dumps(docs)}\nlog tail:\n{read(self.log_file, 25)}"

    def wait_page(self, what, check, seconds):  # until check(screen, documents) holds
        return wait_for(what, lambda: check(*self.page()), seconds, detail=self.describe)

    def wait_log(self, what, pattern, seconds):
        return wait_for(what, lambda: re.search(pattern, self.page_log(), re.M), seconds, detail=self.describe)

    def focus_page(self):
        """A click on the page's blank margin below the window's drawn title strip (28 px): the web
        view takes the keyboard focus and the page's Tab order starts over from there."""
        x, y, _, _ = geometry(self.env, self.window)
        # Without --sync: that waits for a movement, forever when the pointer is there already.
        xdotool(self.env, "mousemove", str(x + 6), str(y + 28 + 6), "sleep", "0.1", "click", "1")
        xdotool(self.env, "windowfocus", "--sync", self.window, check=False)
        time.sleep(0.2)

    def press(self, *keys, tabs=0, focus=True):
        if focus:
            self.focus_page()
        xdotool(self.env, "key", "--clearmodifiers", "--delay", "120", *("Tab",) * tabs, *keys)

    def screenshot(self, name):
        time.sleep(0.4)  # let the page paint the state just reached
        self.shots += 1
        try:
            x, y, w, h = geometry(self.env, self.window)
            crop = ["-crop", f"{w}x{h}+{x}+{y}", "+repage"]
        except (Failure, TypeError):  # no window (yet)
            crop = []
        subprocess.run(["import", "-window", "root", *crop, os.path.join(self.artifacts, f"{self.shots:02d}-{name}.png")],
                       env=self.env, capture_output=True, timeout=30)

    def start_logged(self, name, argv, ready):
        """A helper with its output in logs/NAME.log; the match of `ready` there once it is up."""
        log = self.path("logs", f"{name}.log")
        self.procs.start(argv, self.env, log)
        return wait_for(f"{name} to start", lambda: re.search(ready, read(log), re.M), 20, detail=lambda: read(log))

    def set_up(self):
        """The private folders and display, the dev service, the scheduler; the program and its
        page pointed at the service; this script as the desktop's web browser."""
        self.env = private_env(self.root, ("TMPDIR", "tmp"))
        os.chmod(self.path("tmp"), 0o1777)
        for d in ("data/applications", "app", "logs"):
            os.makedirs(self.path(d), exist_ok=True)
        self.env.update(VELUNIO_REGISTER_LOG=self.path("logs", "register.log"), CUPS_SERVER=self.path("cups", "cups.sock"))
        if "DISPLAY" not in self.env:
            start_display(self.procs, self.env, self.path("logs", "xvfb.log"))
        self.service = self.start_logged("dev-service", ["node", os.path.join(self.args.source, "tools", "dev-service",
                                         "server.js"), "--port", "0", "--data", self.path("dev-data")],
                                         r"dev-service listening on (http://127\.0\.0\.1:\d+)").group(1)
        if not getattr(self.args, "no_cups", False):
            self.start_logged("cupsd", ["bash", "-c", 'source "$0" && start_private_cupsd "$1" && echo scheduler ready && wait',
                                        os.path.join(SUPPORT, "private_cupsd.sh"), self.path("cups")], "^scheduler ready$")
        self.app, ui = self.path("app", "velunio-print-app"), self.path("app", "ui")
        shutil.copy2(self.args.app, self.app)
        shutil.copytree(getattr(self.args, "ui", None) or os.path.join(os.path.dirname(self.args.app), "ui"), ui)
        config = json.loads(read(os.path.join(ui, "config.json")))
        config.update(authorizeUrl=f"{self.service}/oauth/authorize", tokenUrl=f"{self.service}/oauth/token",
                      graphqlEndpoint=f"{self.service}/graphql", envelopeUrl=f"{self.service}/envelopes/{{id}}")
        Path(os.path.join(ui, "config.json")).write_text(json.dumps(config))
        Path(self.path("data", "applications", "e2e-browser.desktop")).write_text(
            f"[Desktop Entry]\nType=Application\nName=Scripted browser\n"
            f"Exec={sys.executable} {os.path.abspath(__file__)} --browser {self.browser_log} %u\n"
            "MimeType=x-scheme-handler/http;x-scheme-handler/https;\nNoDisplay=true\n")
        Path(self.path("config", "mimeapps.list")).write_text(
            "[Default Applications]\nx-scheme-handler/http=e2e-browser.desktop\nx-scheme-handler/https=e2e-browser.desktop\n")

    def start_program(self, run=1):
        self.log_start = len(read(self.log_file))
        self.program = self.procs.start([self.app], self.env, self.path("logs", f"program-{run}.out"))
        self.window = wait_for("the program's window on the display", lambda: windows(self.env)[-1:], 30)[0]

    def stop_program(self):
        code = Processes.stop(self.program)
        expect(code == 0, f"the program ended with exit code {code} on SIGTERM (None: not within 20 s)")

    def sign_in(self):
        self.wait_page("the sign-in screen", lambda screen, _: screen == "signin", 30)
        self.screenshot("signin")
        self.press("Return", tabs=1)  # the sign-in button comes first in the Tab order
        self.wait_log("the page to ask the desktop to open the authorisation page",
                      r"\[openBrowser\] " + re.escape(self.service) + r"/oauth/authorize\?", 15)
        wait_for("the scripted browser to hand the callback URL over", lambda: "callback handed over" in read(
            self.browser_log), 30, detail=lambda: f"browser log:\n{read(self.browser_log)}\n{self.describe()}")
        self.wait_page("the home screen", lambda screen, _: screen == "home", 20)
        self.wait_log("the callback URL through a second instance",
                      r"\[callback\] handle_second_instance cmdline: .*velunioprinter://callback\?code=", 1)
        self.screenshot("signed-in-empty")

    def register_and_print(self):
        r = subprocess.run([self.app, "--register"], env=self.env, capture_output=True, text=True, timeout=90)
        expect(r.returncode == 0, f"--register exited with {r.returncode}\n{r.stderr}")
        self.landed = {}
        for folder, (queue, *_) in FLOWS.items():
            source = self.path(f"{folder}-source.pdf")
            minimal_pdf(source, f"Printed to {queue}")
            r = subprocess.run(["lp", "-d", queue, "-t", f"e2e {folder}", source], env=self.env,
                               capture_output=True, text=True, timeout=20)
            expect(r.returncode == 0, f"lp to {queue} failed: {r.stderr.strip()}")
            files = wait_for(f"the printed PDF to land in {folder}", lambda: glob.glob(self.path("out", folder, "*.pdf")),
                             60, detail=lambda: read(self.path("cups", "log", "error_log"), 30))
            expect(len(files) == 1 and Path(files[0]).read_bytes() == Path(source).read_bytes(),
                   f"{folder} holds {files}, not the printed PDF")
            self.landed[folder] = os.path.realpath(files[0])
        self.wait_page("both printed documents in their groups, ready to upload", lambda _, docs: docs and len(docs) == 2
                       and all((docs.get(path) or {}).get("flow") == FLOWS[folder][1] and docs[path]["status"] == "ready"
                               for folder, path in self.landed.items()), 20)
        self.screenshot("printed")

    def upload_both(self):
        # Tab order below the header (Clear all, Sign out): per document Remove, the envelope name
        # field, Upload (an uploaded one: Remove, Open envelope). Enter in the field uploads.
        ids = {}
        for folder, (_, _, _, name, tabs) in FLOWS.items():
            self.press("ctrl+a", tabs=tabs)
            xdotool(self.env, "type", "--delay", "20", name)
            self.press("Return", focus=False)
            path = self.landed[folder]
            ids[folder] = self.wait_page(f"an envelope id for {folder}", lambda _, docs: docs and (docs.get(path) or {}).get(
                "status") == "done" and docs[path].get("envelopeId"), 30)
            self.screenshot("uploaded-sign-myself" if len(ids) == 1 else "uploaded-both")
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        envelopes = {e["id"]: e for e in json.loads(opener.open(self.service + "/api/envelopes", timeout=10).read())}
        expect(len(envelopes) == 2, f"the service holds {list(envelopes.values())}")
        for folder, envelope_id in ids.items():
            e, landed = envelopes.get(envelope_id, {}), Path(self.landed[folder]).read_bytes()
            expect((e.get("flow"), e.get("name"), e.get("sha256")) == (FLOWS[folder][2], FLOWS[folder][3],
                   hashlib.sha256(landed).hexdigest()), f"the service's envelope {envelope_id} for {folder}: {e}")

    def flow_files(self):
        return glob.glob(self.path("out", "sign-myself", "*")) + glob.glob(self.path("out", "request-signature", "*"))

    def remove_and_clear(self):
        sign, request = self.landed["sign-myself"], self.landed["request-signature"]
        self.press("Return", tabs=3)  # Clear all, Sign out, then the first document's Remove
        self.wait_page("the removed document to leave the list", lambda _, docs: list(docs or {}) == [request], 15)
        wait_for("the removed document's file to be deleted", lambda: not os.path.exists(sign), 10)
        self.screenshot("removed-one")
        # Clear all asks first, with the focus on "Keep them"; Tab reaches "Remove all".
        self.press("Return", tabs=1)
        time.sleep(0.5)
        self.screenshot("confirm-clear")
        expect(list(self.page()[1] or {}) == [request], f"the list changed before the clearing was confirmed\n{self.describe()}")
        self.press("Tab", "Return", focus=False)
        self.wait_page("an empty list after Clear all", lambda _, docs: docs == {}, 15)
        wait_for("empty flow folders after Clear all", lambda: not self.flow_files(), 10, detail=lambda: str(self.flow_files()))
        self.screenshot("cleared")

    def restart(self):
        time.sleep(1.5)  # the page's list goes to the web view's storage: a user's pause lets it
        self.stop_program()
        self.start_program(2)
        self.wait_page("the restarted page's home screen and list", lambda screen, docs: screen == "home" and docs is not None,
                       30)
        time.sleep(2.0)  # the watcher reports the files present right after the page starts it
        docs = self.page()[1]
        expect(docs == {} and not self.flow_files(), f"after the restart: page documents {docs}, files {self.flow_files()}")
        self.screenshot("restarted-empty")

    def run(self, steps):
        try:
            for step in steps:
                print(f"[e2e {time.monotonic() - started_at:6.1f}s] {step.__name__}", flush=True)
                step()
            return 0
        except Exception as e:  # noqa: BLE001 - a failure of any kind ends the run the same way
            if self.env:
                self.screenshot("failure")
            print(f"FAIL in step {step.__name__}: {e}", file=sys.stderr, flush=True)
            return 1
        finally:
            self.procs.stop_all(self.root)
            for log in [self.log_file, self.path("cups", "log", "error_log"), *glob.glob(self.path("logs", "*"))]:
                if os.path.exists(log):  # the logs travel with the screenshots
                    shutil.copy2(log, self.artifacts)
            if not os.environ.get("VELUNIO_E2E_KEEP"):
                shutil.rmtree(self.root, ignore_errors=True)


def main():
    if sys.argv[1:2] == ["--browser"]:
        return browser(*sys.argv[2:4])
    parser = argparse.ArgumentParser(usage=__doc__.splitlines()[-1].strip())
    for flag in ("--app", "--source", "--build"):  # the program with its ui folder beside it; artifacts go below --build
        parser.add_argument(flag, required=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # ctest's time-out still ends every process
    test = EndToEnd(parser.parse_args())
    return test.run([test.set_up, test.start_program, test.sign_in, test.register_and_print, test.upload_both,
                     test.remove_and_clear, test.restart, test.stop_program])


if __name__ == "__main__":
    sys.exit(main())
