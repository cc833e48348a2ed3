#!/usr/bin/env python3
"""window_test.py APP ICON PAGES: the program and its page under an X display, driven as a user
would: the page's console and files, the title strip answers the pointer, a hidden start stays
hidden, a deep link reaches its handler, a second start hands its URL to the page intact, and an
engine that cannot start ends the run with the failure box and exit code 1."""
import glob, json, os, re, shutil, subprocess, sys, tempfile, time
from pathlib import Path
sys.path.insert(0, str(Path(__file__).resolve().parent.parent.parent / "support"))
from gui_support import Processes, geometry, poll, private_env, read, start_display, windows, xdotool  # noqa: E402

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)
    return ok


def pixel(x, y):
    text = subprocess.run(["import", "-window", "root", "-crop", f"1x1+{x}+{y}", "-depth", "8", "txt:-"], env=env,
                          capture_output=True, text=True, timeout=15).stdout
    m = re.search(r"\((\d+),(\d+),(\d+)", text.splitlines()[-1])
    return tuple(int(v) for v in m.groups()) if m else None


def start(*args, wrap=()):
    return procs.start([*wrap, app, *args], env, tmp / "app.out", cwd=tmp)


tmp, procs = Path(tempfile.mkdtemp(prefix="velunio-window-")), Processes()
env = private_env(tmp, ("XDG_DATA_DIRS", "xdg-data"), ("XDG_CONFIG_DIRS", "xdg-config"))
if "DISPLAY" not in env:
    start_display(procs, env, tmp / "xvfb.log")
app, out = tmp / "app" / "velunio-print-app", Path(env["VELUNIO_OUTPUT_DIR"])
shutil.copytree(sys.argv[3], app.parent / "ui")
shutil.copy(sys.argv[1], app)
shutil.copy(sys.argv[2], app.parent)
log = lambda: read(out / "velunio-print.log")  # noqa: E731
try:
    proc = start()
    check(poll(lambda: "[JS] log: deeplink-result=" in log(), 30), "the test page ran to its end")
    for line in ["[JS] log: version=1.0.4 shim=function", '[JS] log: obj {"a":1} x', "[JS] warn: warned 2",
                 "[JS] log: fetch-type=text/javascript"]:
        check(poll(lambda: line in log()), "log has " + line)
    check("[window] icon" not in log(), "the window icon loads")

    found = poll(lambda: windows(env))
    check(found is not None and len(found) == 1, "one visible main window")
    win = found[0]
    x, y, w, h = geometry(env, win)
    # Centred at 514x414 on a 1280x1024 screen, then grown upwards from the bottom-left corner.
    check((w, h, x, y + h) == (514, 526, 383, 719), f"home-with-banner gives 514x526 over the same corner ({(w, h, x, y + h)})")
    strip, grey, red, white = (32, 32, 32), (229, 229, 229), (232, 17, 35), (255, 255, 255)
    light, dark = (240, 240, 240), (50, 50, 50)  # the glyphs unhovered on a dark strip, and on a hovered grey
    check(pixel(x + 10, y + 10) == strip, "strip painted in the page's background colour")
    # Pointer at, then the pixels and colours expected: close hovered, minimise hovered, none.
    for at, expected in [(491, [((471, 3), red), ((491, 14), white), ((445, 14), light)]),
                         (445, [((425, 3), grey), ((471, 3), strip), ((445, 14), dark), ((491, 14), light)]),
                         (100, [((425, 3), strip), ((491, 14), light), ((445, 14), light)])]:
        xdotool(env, "mousemove", str(x + at), str(y + (14 if at != 100 else 200)))
        for (px, py), colour in expected:
            check(poll(lambda: pixel(x + px, y + py) == colour, 3), f"pointer at {at}: pixel {px},{py} is {colour}")

    # Without a window manager GTK moves the window itself during the drag.
    drag = [a for s in range(1, 11) for a in ("mousemove", str(x + 200 + 6 * s), str(y + 14 + 4 * s), "sleep", "0.05")]
    xdotool(env, "mousemove", str(x + 200), str(y + 14), "sleep", "0.2", "mousedown", "1", *drag, "mouseup", "1")
    moved = poll(lambda: geometry(env, win)[:2] if geometry(env, win)[:2] != (x, y) else None, 3)
    check(moved == (x + 60, y + 40), f"a drag on the strip moves the window with the pointer (at {moved})")
    x, y = moved or (x, y)
    xdotool(env, "mousemove", str(x + 491), str(y + 14))
    time.sleep(0.3)
    xdotool(env, "click", "1")
    check(poll(lambda: not windows(env), 5), "releasing over close hides the window")
    check(proc.poll() is None, "the program keeps running with its window hidden")
    check(Processes.stop(proc) == 0, "a stop signal ends the run with exit code 0")

    # A program registered for the scheme: the deep link goes to it and the page hears true.
    handler, opened = tmp / "handler.sh", tmp / "opened.txt"
    handler.write_text(f"#!/bin/sh\nprintf '%s\\n' \"$1\" >> '{opened}'\n")
    handler.chmod(0o755)
    apps = Path(env["XDG_DATA_HOME"]) / "applications"
    apps.mkdir(exist_ok=True)
    (apps / "test-handler.desktop").write_text(f"[Desktop Entry]\nType=Application\nName=Deep link test\nExec={handler} %u\n"
                                               "MimeType=x-scheme-handler/velunio;\n")
    (Path(env["XDG_CONFIG_HOME"]) / "mimeapps.list").write_text("[Default Applications]\nx-scheme-handler/velunio=test-handler.desktop\n")

    # --hidden: the page runs all the same, but no window appears until the page asks.
    done_before = log().count("[JS] log: deeplink-result=")
    proc = start("--hidden")
    check(poll(lambda: log().count("[JS] log: deeplink-result=") > done_before, 30), "the page runs in a hidden start")
    check(not windows(env), "--hidden shows no window")
    check(poll(lambda: windows(env)), "bringToFront shows a window started hidden")
    check("[JS] log: deeplink-result=true" in log() and poll(lambda: "VELUNIO://sign/abc" in read(opened), 5),
          "a deep link with a registered handler is opened with it and reported ok to the page")

    # A callback URL through a second start reaches the page unchanged and runs nothing of its own.
    hostile = "velunioprinter://cb?q=it's\\x\nline\u2028sep</script>\U0001F600');window.__pwned=1;('"
    second = subprocess.run([app, hostile], env=env, cwd=tmp, timeout=20)
    check(second.returncode == 0, f"a second start with a callback URL exits 0 (got {second.returncode})")
    expected = "[JS] log: callback=" + json.dumps(hostile, ensure_ascii=False) + " pwned=false"
    check(poll(lambda: expected in log()),
          "quotes, backslashes, a line feed, U+2028, </script> and an emoji arrive intact and run no script")
    Processes.stop(proc)

    # The engine's page process cannot be started (an empty file over it, in a mount namespace
    # of this test alone): the failure box, then exit code 1, not a crash.
    engine = (glob.glob("/usr/lib/*/webkit2gtk-4.1/WebKitWebProcess") + [""])[0]
    if not check(os.geteuid() == 0 and engine, "root and the engine's web process file, for a mount namespace"):
        sys.exit(1)
    (tmp / "empty").write_text("")
    proc = start("--hidden", wrap=("unshare", "-m", "sh", "-c", 'mount --bind "$0" "$1" && shift && exec "$@"',
                                   tmp / "empty", engine))
    boxes = poll(lambda: windows(env), 15)
    check(boxes and "[webview] the web engine did not start" in log(), "the failure box is shown")
    if boxes:
        xdotool(env, "windowfocus", "--sync", boxes[0], "key", "Return", check=False)
    code = proc.returncode if poll(lambda: proc.poll() is not None, 15) else None
    check(code == 1, f"an engine that cannot start ends the run with exit code 1 (got {code})")
finally:
    procs.stop_all(str(tmp))
    if failures:
        print("log:\n" + log())
    shutil.rmtree(tmp, ignore_errors=True)
sys.exit(1 if failures else 0)
