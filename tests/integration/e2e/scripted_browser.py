#!/usr/bin/env python3
"""The desktop's web browser in the end-to-end test: opened with the authorisation URL, it does
what a person does on the development service's sign-in page (press Allow), then lets the desktop
open the velunioprinter:// callback it is redirected to, which starts the program a second time.
Loopback addresses only; each step goes to browser.log beside this script."""
import html, os, re, subprocess, sys, time, urllib.error, urllib.parse, urllib.request

LOG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser.log")


def log(text):
    with open(LOG, "a", encoding="utf-8") as f:
        f.write(f"{time.strftime('%H:%M:%S')} [{os.getpid()}] {text}\n")


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None  # the redirect comes as an HTTPError with its Location


def main(url):
    log(f"open {url}")
    parts = urllib.parse.urlsplit(url)
    if parts.scheme != "http" or parts.hostname not in ("127.0.0.1", "localhost"):
        return log("refused: not a loopback http URL") or 2
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}), NoRedirect)
    form = re.search(r'<form [^>]*action="([^"]*)"(.*?)</form>', opener.open(url, timeout=15).read().decode(), re.S)
    allow = form and re.search(r'<button [^>]*name="([^"]*)" value="(allow)"', form.group(2))
    if not allow:
        return log("no sign-in form with an Allow button on the page") or 1
    fields = re.findall(r'<input type="hidden" name="([^"]*)" value="([^"]*)"', form.group(2)) + [allow.groups()]
    target = urllib.parse.urljoin(url, html.unescape(form.group(1)))
    log(f"press Allow: POST {target}")
    try:
        opener.open(target, urllib.parse.urlencode([tuple(map(html.unescape, f)) for f in fields]).encode(), timeout=15)
        return log("answered without a redirect") or 1
    except urllib.error.HTTPError as e:
        location = e.headers.get("Location")
        if e.code not in (301, 302, 303) or not location:
            return log(f"answer {e.code} without a redirect") or 1
    log(f"redirected to {location}")
    r = subprocess.run(["gio", "open", location], timeout=30, capture_output=True, text=True)
    log(f"gio open exited {r.returncode} {r.stderr.strip()}" + ("; callback handed over" if r.returncode == 0 else ""))
    return r.returncode


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1]) if len(sys.argv) > 1 else log("started without a URL") or 2)
    except Exception as e:  # noqa: BLE001 - whatever went wrong belongs in the log
        log(f"failed: {e!r}")
        sys.exit(1)
