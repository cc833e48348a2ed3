#!/usr/bin/env python3
"""The main window and its page under a private X display: bridge messages reach the native
side, the drawn title strip reacts to the pointer, resize and background requests land."""
import json
import os, re, shutil, signal, socket, subprocess, sys, tempfile, time

app_binary, icon, pages = sys.argv[1], sys.argv[2], sys.argv[3]
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def run(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=15).stdout


def wait_for(predicate, seconds):
    end = time.time() + seconds
    while time.time() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    return None


def pixel(x, y):
    shot = os.path.join(tmp, "shot.png")
    subprocess.run(["import", "-window", "root", shot], check=True, timeout=15)
    text = run("convert", shot, "-crop", "1x1+%d+%d" % (x, y), "txt:")
    m = re.search(r"\((\d+),(\d+),(\d+)", text.splitlines()[-1])
    return tuple(int(v) for v in m.groups()) if m else None


def visible_main_windows():
    return run("xdotool", "search", "--onlyvisible", "--name", "^Velunio Printaro$").split()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


if not os.environ.get("DISPLAY"):
    print("no DISPLAY: run under scripts/test or a private Xvfb")
    sys.exit(1)

tmp = tempfile.mkdtemp(prefix="velunio-window-")
app_dir = os.path.join(tmp, "app")
os.makedirs(app_dir)
shutil.copy(app_binary, app_dir)
shutil.copy(icon, app_dir)
shutil.copytree(pages, os.path.join(app_dir, "ui"))
env = dict(os.environ)
for name, sub in [("HOME", "home"), ("XDG_DATA_HOME", "home/.local/share"), ("XDG_CONFIG_HOME", "home/.config"),
                  ("XDG_CACHE_HOME", "home/.cache"), ("XDG_RUNTIME_DIR", "runtime"), ("XDG_DATA_DIRS", "xdg-data"),
                  ("XDG_CONFIG_DIRS", "xdg-config"), ("VELUNIO_OUTPUT_DIR", "out")]:
    env[name] = os.path.join(tmp, sub)
    os.makedirs(env[name], mode=0o700, exist_ok=True)
env["VELUNIO_IPP_PORT"] = str(free_port())
log_path = os.path.join(env["VELUNIO_OUTPUT_DIR"], "velunio-print.log")
os.makedirs(os.path.join(env["VELUNIO_OUTPUT_DIR"], "sign-myself"))
with open(os.path.join(env["VELUNIO_OUTPUT_DIR"], "sign-myself", "waiting.pdf"), "wb") as f:
    f.write(b"%PDF-1.4\n%%EOF\n")

proc = subprocess.Popen([os.path.join(app_dir, "velunio-print-app")], env=env, cwd=tmp)
try:
    def log_text():
        try:
            with open(log_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    check(wait_for(lambda: "[JS] log: deeplink-result=" in log_text(), 30) is not None, "the test page ran to its end")
    log = log_text()
    check("[window] icon" not in log, "the window icon loads")
    for line in ["[JS] log: version=1.0.4",
                 "[JS] log: shim=function",
                 '[JS] log: obj {"a":1} x',
                 "[JS] warn: warned 2",
                 "[JS] error: failed null",
                 "[JS] info: informed",
                 "[JS] log: fetch-type=text/javascript",
                 "[JS] log: escape-refused",
                 "[openBrowser] refused: file:///etc/passwd",
                 "[openBrowser] https://example.invalid/x",
                 "[openBrowser] deeplink VELUNIO://sign/abc: failed (no handler)",
                 "[JS] log: deeplink-result=false"]:
        check(line in log, "log has " + line)
    for line, what in [("[JS] log: http-get-response=q1", "httpGet"),
                       ("[JS] log: token-response", "postToken"),
                       ("[startFileWatcher] Existing file queued: sign-myself/waiting.pdf", "startFileWatcher"),
                       ("[uploadPrintedFile] Invalid message -- missing required field", "uploadPrintedFile"),
                       ("[deletePrintedFile] Refused: not a printed file: /etc/passwd", "deletePrintedFile"),
                       ("[clearPrintedFiles] Deleted ", "clearPrintedFiles")]:
        check(wait_for(lambda: line in log_text(), 10) is not None, what + " reached its handler")
    check(wait_for(lambda: "[JS] log: new-file=sign_myself" in log_text(), 10) is not None,
          "the watcher reports the waiting file to the page")
    check("[openBrowser] refused: \n" not in log and log.count("[openBrowser]") >= 3,
          "an empty openBrowser writes nothing")
    check(wait_for(lambda: "[JS] log: front-requested" in log_text(), 10) is not None, "bringToFront reached the bridge")
    windows = wait_for(visible_main_windows, 10)
    check(windows is not None and len(windows) == 1, "one visible main window")
    win = windows[0] if windows else None
    geo = dict(l.split("=") for l in run("xdotool", "getwindowgeometry", "--shell", win).split()) if win else {}
    x, y, w, h = (int(geo.get(k, -1)) for k in ("X", "Y", "WIDTH", "HEIGHT"))
    check((w, h) == (514, 526), "home-with-banner gives 514x526 (got %dx%d)" % (w, h))
    # Centred at 514x414 on a 1280x1024 screen, then grown upwards from the bottom-left corner.
    check(x == (1280 - 514) // 2 and y + h == (1024 - 414) // 2 + 414, "bottom-left corner kept (at %d,%d)" % (x, y + h))

    check(pixel(x + 10, y + 10) == (0x1e, 0x90, 0xff), "strip painted in the page's background colour")

    run("xdotool", "mousemove", str(x + 491), str(y + 14))
    check(wait_for(lambda: pixel(x + 471, y + 3) == (232, 17, 35), 3) is not None, "close button hovered red")
    check(pixel(x + 491, y + 14) == (255, 255, 255), "close cross white while hovered")
    check(pixel(x + 445, y + 14) == (50, 50, 50), "minimise dash drawn")

    run("xdotool", "mousemove", str(x + 445), str(y + 14))
    check(wait_for(lambda: pixel(x + 425, y + 3) == (229, 229, 229), 3) is not None, "minimise button hovered grey")
    check(pixel(x + 471, y + 3) == (0x1e, 0x90, 0xff), "close button unhovered again")
    check(pixel(x + 445, y + 14) == (50, 50, 50), "minimise dash keeps its colour while hovered")

    run("xdotool", "mousemove", str(x + 100), str(y + 200))
    check(wait_for(lambda: pixel(x + 425, y + 3) == (0x1e, 0x90, 0xff), 3) is not None, "hover ends off the buttons")

    # A click on the page asks for the modal box.
    run("xdotool", "mousemove", str(x + 100), str(y + 200), "click", "1")
    boxes = wait_for(lambda: run("xdotool", "search", "--name", "^Alert from page$").split(), 10)
    check(boxes is not None, "showAlert opens a box captioned with the title")
    if boxes:
        # The box is modal: the main window gets no pointer events until it is answered.
        run("xdotool", "windowfocus", "--sync", boxes[0])
        run("xdotool", "key", "Return")
        check(wait_for(lambda: not run("xdotool", "search", "--name", "^Alert from page$").split(), 5) is not None,
              "the box closes with its OK button")

    # Without a window manager GTK moves the window itself during the drag.
    run("xdotool", "mousemove", str(x + 200), str(y + 14))
    time.sleep(0.2)
    run("xdotool", "mousedown", "1")
    for step in range(1, 11):
        run("xdotool", "mousemove", str(x + 200 + 6 * step), str(y + 14 + 4 * step))
        time.sleep(0.05)
    run("xdotool", "mouseup", "1")

    def moved_to():
        g = dict(l.split("=") for l in run("xdotool", "getwindowgeometry", "--shell", win).split())
        return (int(g["X"]), int(g["Y"])) if (int(g["X"]), int(g["Y"])) != (x, y) else None
    moved = wait_for(moved_to, 3) if win else None
    check(moved == (x + 60, y + 40), "a drag on the strip moves the window with the pointer (at %s)" % (moved,))
    if moved:
        x, y = moved

    run("xdotool", "mousemove", str(x + 491), str(y + 14))
    time.sleep(0.3)
    run("xdotool", "click", "1")
    check(wait_for(lambda: not visible_main_windows(), 5) is not None, "releasing over close hides the window")
    check(proc.poll() is None, "the program keeps running with its window hidden")

    proc.send_signal(signal.SIGTERM)
    try:
        code = proc.wait(timeout=15)
    except subprocess.TimeoutExpired:
        code = None
    check(code == 0, "a stop signal ends the run with exit code 0 (got %s)" % code)

    # A program registered for the scheme: the deep link goes to it and the page hears true.
    handler = os.path.join(tmp, "handler.sh")
    opened = os.path.join(tmp, "opened.txt")
    with open(handler, "w") as f:
        f.write("#!/bin/sh\nprintf '%%s\\n' \"$1\" >> '%s'\n" % opened)
    os.chmod(handler, 0o755)
    apps = os.path.join(env["XDG_DATA_HOME"], "applications")
    os.makedirs(apps, exist_ok=True)
    with open(os.path.join(apps, "velunio-test-handler.desktop"), "w") as f:
        f.write("[Desktop Entry]\nType=Application\nName=Deep link test\nExec=%s %%u\n"
                "MimeType=x-scheme-handler/velunio;\n" % handler)
    with open(os.path.join(env["XDG_CONFIG_HOME"], "mimeapps.list"), "w") as f:
        f.write("[Default Applications]\nx-scheme-handler/velunio=velunio-test-handler.desktop\n")

    # --hidden: the page runs all the same, but no window appears.
    done_before = log_text().count("[JS] log: deeplink-result=")
    proc = subprocess.Popen([os.path.join(app_dir, "velunio-print-app"), "--hidden"], env=env, cwd=tmp)
    check(wait_for(lambda: log_text().count("[JS] log: deeplink-result=") > done_before, 30) is not None,
          "the page runs in a hidden start")
    check(not visible_main_windows(), "--hidden shows no window")
    check(wait_for(visible_main_windows, 10) is not None, "bringToFront shows a window started hidden")
    check("[openBrowser] deeplink VELUNIO://sign/abc: ok" in log_text() and "[JS] log: deeplink-result=true" in log_text(),
          "a deep link with a registered handler is reported ok to the page")
    check(wait_for(lambda: os.path.exists(opened) and "VELUNIO://sign/abc" in open(opened).read(), 5) is not None,
          "the registered handler received the deep link")

    # A callback URL through a second start reaches the page unchanged and runs nothing of its own.
    hostile = "velunioprinter://cb?q=it's\\x\nline\u2028sep</script>\U0001F600');window.__pwned=1;('"
    second = subprocess.run([os.path.join(app_dir, "velunio-print-app"), hostile], env=env, cwd=tmp, timeout=20)
    check(second.returncode == 0, "a second start with a callback URL exits 0 (got %d)" % second.returncode)
    expected = "[JS] log: callback=" + json.dumps(hostile, ensure_ascii=False) + " pwned=false"
    check(wait_for(lambda: expected in log_text(), 10) is not None,
          "quotes, backslashes, a line feed, U+2028, </script> and an emoji arrive intact and run no script")
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=15)
    except subprocess.TimeoutExpired:
        pass
finally:
    if proc.poll() is None:
        proc.kill()
        proc.wait()
    if failures:
        print("log:\n" + (open(log_path, errors="replace").read() if os.path.exists(log_path) else "(none)"))
    shutil.rmtree(tmp, ignore_errors=True)

sys.exit(1 if failures else 0)
