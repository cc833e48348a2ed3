#!/usr/bin/env python3
"""The desktop's web browser during the end-to-end test.

Started by the desktop (the default handler of http: in the test's mimeapps.list) with the
authorisation URL the page asked to open. It does what a person does on the development
service's sign-in page: loads it, presses "Allow" in its form, follows the service's redirect to
the velunioprinter:// callback and lets the desktop open that URL, which starts the program a
second time. Loopback addresses only; every step is written to browser.log beside this script.
"""
import html.parser
import os
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
LOG = os.path.join(HERE, "browser.log")


def log(text):
    with open(LOG, "a", encoding="utf-8") as f:
        f.write(f"{time.strftime('%H:%M:%S')} [{os.getpid()}] {text}\n")


class FormReader(html.parser.HTMLParser):
    """The first form of the page: its action, hidden fields and submit buttons."""

    def __init__(self):
        super().__init__()
        self.action = None
        self.fields = []
        self.buttons = {}
        self.in_form = False
        self.done = False

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if self.done:
            return
        if tag == "form":
            self.in_form = True
            self.action = a.get("action", "")
        elif self.in_form and tag == "input" and a.get("type", "text") == "hidden" and a.get("name"):
            self.fields.append((a["name"], a.get("value", "")))
        elif self.in_form and tag == "button" and a.get("name"):
            self.buttons[a.get("id") or a.get("value")] = (a["name"], a.get("value", ""))

    def handle_endtag(self, tag):
        if tag == "form" and self.in_form:
            self.in_form = False
            self.done = True


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


def loopback(url):
    parts = urllib.parse.urlsplit(url)
    return parts.scheme == "http" and parts.hostname in ("127.0.0.1", "localhost")


def main():
    with open(os.path.join(HERE, "browser.pids"), "a") as f:
        f.write(f"{os.getpid()}\n")
    if len(sys.argv) < 2:
        log("started without a URL")
        return 2
    url = sys.argv[1]
    log(f"open {url}")
    if not loopback(url):
        log("refused: not a loopback http URL")
        return 2
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}), NoRedirect)
    page = opener.open(url, timeout=15).read().decode("utf-8")
    form = FormReader()
    form.feed(page)
    if form.action is None or "allow" not in form.buttons:
        log("no sign-in form with an Allow button on the page")
        return 1
    target = urllib.parse.urljoin(url, form.action)
    body = urllib.parse.urlencode(form.fields + [form.buttons["allow"]]).encode()
    log(f"press Allow: POST {target}")
    try:
        response = opener.open(urllib.request.Request(target, data=body, method="POST"), timeout=15)
        log(f"no redirect, status {response.status}")
        return 1
    except urllib.error.HTTPError as e:
        location = e.headers.get("Location")
        if e.code not in (301, 302, 303) or not location:
            log(f"answer {e.code} without a redirect")
            return 1
    log(f"redirected to {location}")
    result = subprocess.run(["gio", "open", location], timeout=30, capture_output=True, text=True)
    log(f"gio open exited {result.returncode} {result.stderr.strip()}")
    if result.returncode == 0:
        log("callback handed over")
    return result.returncode


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Exception as e:  # noqa: BLE001 - whatever went wrong belongs in the log
        log(f"failed: {e!r}")
        sys.exit(1)
