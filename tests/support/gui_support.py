"""Shared by the Python GUI tests and the page bench: bounded waits, a private environment,
processes that end with the test, the program's window on the X display, and a small PDF."""
import contextlib, os, signal, socket, subprocess, sys, time


class Failure(Exception):
    pass


def poll(check, seconds=10, interval=0.05):
    """The first true value of `check` within `seconds`, else None."""
    deadline = time.monotonic() + seconds
    while not (value := check()) and time.monotonic() < deadline:
        time.sleep(interval)
    return value or None


def wait_for(what, check, seconds, interval=0.05, detail=None):
    """As poll; a time-out is a Failure saying what was awaited and, from `detail`, what was seen."""
    value = poll(check, seconds, interval)
    if value is None:
        raise Failure(f"timed out after {seconds:g} s waiting for {what}" + (f"\n{detail()}" if detail else ""))
    return value


def read(path, last_lines=None):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return "".join(f.readlines()[-last_lines:]) if last_lines else f.read()
    except OSError:
        return ""


def private_env(root, *extra_dirs):
    """HOME, the XDG folders (and `extra_dirs`, (variable, folder) pairs), the output folder and a
    free printer port below root; nothing else of the caller's environment (no session bus, no proxy)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin") + ":/usr/sbin:/sbin", "LANG": "C.UTF-8",
               "NO_AT_BRIDGE": "1", "GIO_USE_VFS": "local", "GSETTINGS_BACKEND": "memory",
               "no_proxy": "127.0.0.1,localhost", "NO_PROXY": "127.0.0.1,localhost",
               "VELUNIO_IPP_PORT": str(s.getsockname()[1])}
    for name, sub in (("HOME", "home"), ("XDG_DATA_HOME", "data"), ("XDG_CONFIG_HOME", "config"),
                      ("XDG_CACHE_HOME", "cache"), ("XDG_RUNTIME_DIR", "run"), ("VELUNIO_OUTPUT_DIR", "out"), *extra_dirs):
        env[name] = os.path.join(root, sub)
        os.makedirs(env[name], mode=0o700, exist_ok=True)
    if os.environ.get("DISPLAY"):
        env["DISPLAY"] = os.environ["DISPLAY"]
    return env


class Processes(list):
    """Every process a test starts, each in a session of its own whose whole group (the web
    engine's helpers, a launched browser) ends with it."""

    def start(self, argv, env, log_path, **kwargs):
        with open(log_path, "ab") as out:
            self.append(subprocess.Popen(argv, env=env, stdout=out, stderr=out, stdin=subprocess.DEVNULL,
                                         start_new_session=True, **kwargs))
        return self[-1]

    @staticmethod
    def stop(proc, seconds=20):
        """SIGTERM to the process alone, as a stop from the desktop, then SIGTERM and SIGKILL to
        what is left of its group; the exit code, None when it did not end within `seconds`."""
        proc.send_signal(signal.SIGTERM)
        try:
            return proc.wait(seconds)
        except subprocess.TimeoutExpired:
            return None
        finally:
            for sig in (signal.SIGTERM, signal.SIGKILL):
                with contextlib.suppress(OSError):
                    os.killpg(proc.pid, sig)
            proc.wait()

    def stop_all(self, root):
        for proc in reversed(self):
            self.stop(proc)
        # Started on the test's behalf by others (the desktop launching a browser, `gio open`
        # starting the program) and outliving their parents: known by `root` in their command line.
        for pid in filter(str.isdigit, os.listdir("/proc")):
            with contextlib.suppress(OSError), open(f"/proc/{pid}/cmdline", "rb") as f:
                if root.encode() in f.read() and int(pid) != os.getpid():
                    os.kill(int(pid), signal.SIGKILL)


def start_display(procs, env, log_path):
    """scripts/test provides a display; without one the test brings its own."""
    n = 90 + os.getpid() % 400
    while os.path.exists(f"/tmp/.X11-unix/X{n}") or os.path.exists(f"/tmp/.X{n}-lock"):
        n += 1
    procs.start(["Xvfb", f":{n}", "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"], env,
                log_path)
    wait_for("the private X display", lambda: os.path.exists(f"/tmp/.X11-unix/X{n}"), 10)
    env["DISPLAY"] = f":{n}"


def xdotool(env, *args, check=True):
    r = subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True, timeout=15)
    if check and r.returncode != 0:
        raise Failure(f"xdotool {' '.join(args)} failed: {r.stderr.strip()}")
    return r.stdout


def windows(env, name="^Velunio Printaro$"):
    return xdotool(env, "search", "--onlyvisible", "--name", name, check=False).split()


def geometry(env, window):
    g = dict(line.split("=", 1) for line in xdotool(env, "getwindowgeometry", "--shell", window).split())
    return tuple(int(g[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))


def minimal_pdf(path, text, width=595, height=842):
    """A one-page PDF that shows `text`, its offsets computed so that any reader accepts it."""
    content = b"BT /F1 24 Tf 72 100 Td (%s) Tj ET" % text.encode()
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
               b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %d %d] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>"
               % (width, height), b"<< /Length %d >>\nstream\n%s\nendstream" % (len(content), content),
               b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"]
    out, offsets = bytearray(b"%PDF-1.4\n"), []
    for number, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (number, body)
    xref = len(out)
    out += b"xref\n0 6\n0000000000 65535 f \n" + b"".join(b"%010d 00000 n \n" % o for o in offsets)
    out += b"trailer\n<< /Size 6 /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % xref
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":  # gui_support.py pdf PATH TEXT WIDTH HEIGHT, for the shell tests
    minimal_pdf(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
