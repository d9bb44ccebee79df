#!/usr/bin/python3
"""End to end: install the program, run it headless on the test pattern, watch the desktop
page in headless Chromium, fetch every phone page and its picture, stop it with SIGTERM and
read what it left behind.

Usage: e2e_test.py --build-dir BUILD
"""

import argparse
import hashlib
import io
import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ET

from PIL import Image, ImageChops

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from webdriver import Browser  # noqa: E402

CAMERA_USER = "camuser"
CAMERA_PASSWORD = "s3cret-Pw"
START_TIMEOUT = 20.0
STOP_TIMEOUT = 15.0


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def step(text):
    print(f"-- {text}", flush=True)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def md5_upper(text):
    return hashlib.md5(text.encode("cp1252", errors="replace")).hexdigest().upper()


def fetch(url):
    """(status, content type, body) of a GET, errors included."""
    try:
        with urllib.request.urlopen(url, timeout=10) as r:
            return r.status, r.headers.get("Content-Type", ""), r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers.get("Content-Type", ""), e.read()


class Server:
    """The installed program, headless, in its own process group."""

    def __init__(self, folder):
        env = dict(os.environ)
        # The single-instance lock lives in the runtime folder: a private one keeps another
        # Orbiscope on this machine from turning this run into a silent second instance.
        env["XDG_RUNTIME_DIR"] = folder
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        self.process = subprocess.Popen(
            [os.path.join(folder, "orbiscope"), "--headless"], cwd=folder, env=env,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        self.lines = queue.Queue()
        self.stderr = []
        self._stderr_pump = threading.Thread(
            target=self._pump, args=(self.process.stderr, self.stderr.append), daemon=True)
        self._stderr_pump.start()
        threading.Thread(target=self._pump, args=(self.process.stdout, self.lines.put),
                         daemon=True).start()

    @staticmethod
    def _pump(stream, sink):
        for raw in stream:
            sink(raw.decode("utf-8", "replace").rstrip("\n"))
        sink(None)

    def wait_serving(self):
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise Failure("the program did not say where it serves") from None
            if line is None:
                raise Failure("the program ended at start-up "
                              f"({self.process.wait(timeout=STOP_TIMEOUT)})")
            print(f"   program: {line}", flush=True)
            if line.startswith("Orbiscope serves "):
                return line[len("Orbiscope serves "):].strip()
            check("stopped" not in line, f"the program did not start its server: {line}")

    def error_output(self):
        """The program's standard error so far; all of it once the program has ended."""
        if self.process.poll() is not None:
            self._stderr_pump.join(timeout=5)
        return [l for l in self.stderr if l]

    def terminate(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end within "
                          f"{STOP_TIMEOUT:.0f} s of SIGTERM") from None

    def kill(self):
        if self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.process.wait(timeout=STOP_TIMEOUT)


def write_settings(folder, port):
    text = ('<?xml version="1.0" encoding="windows-1252"?>\n'
            "<ORBISCOPEConfigSettings><SERVER>"
            f"<IP>127.0.0.1</IP><PORT>{port}</PORT><USER>{CAMERA_USER}</USER>"
            f"<PASS>{md5_upper(CAMERA_PASSWORD)}</PASS><ENABLEWAP>TRUE</ENABLEWAP>"
            "</SERVER></ORBISCOPEConfigSettings>\n")
    with open(os.path.join(folder, "orbiscope.CONFIG.XML"), "wb") as f:
        f.write(text.encode("cp1252"))


def check_digest_in_browser(browser):
    """The page's MD5 must match the server's: windows-1252 bytes, upper-case hex, also for
    passwords past one MD5 block and with characters the code page maps or cannot hold."""
    samples = ["", "orbiscope", "p\u00e4ssw\u00f6rd", "\u20acuro \u2122", "\u65e5\u672c",
               "a\U0001F600b", "\u0081", "x" * 55, "y" * 56, "z" * 64, "w" * 1000]
    got = browser.execute("return arguments[0].map(OrbiscopeDigest.passwordDigest);", samples)
    for text, digest in zip(samples, got):
        check(digest == md5_upper(text), f"page digest of {text[:20]!r}: {digest}, "
                                         f"expected {md5_upper(text)}")


def picture_state(browser):
    return browser.execute(
        "var i = document.getElementById('picture');"
        "return [Number(i.dataset.pictures || 0), i.naturalWidth, i.naturalHeight,"
        " document.getElementById('status').textContent];")


def check_desktop_page(browser, base):
    step("desktop page: a refused password gives a clear message")
    browser.get(base)
    check_digest_in_browser(browser)
    browser.type_into("#user", CAMERA_USER)
    browser.type_into("#pass", "not-the-password")
    browser.click("#signin")
    message = browser.wait_for(
        "var m = document.getElementById('login-message');"
        "return !m.hidden && !document.getElementById('login').hidden && m.textContent;",
        10, "the refusal message")
    check("refused" in message, f"unexpected refusal message: {message!r}")

    step("desktop page: signed in, the picture keeps changing")
    browser.type_into("#pass", CAMERA_PASSWORD)
    browser.click("#signin")
    browser.wait_for("return Number(document.getElementById('picture').dataset.pictures || 0)"
                     " >= 3;", 15, "three pictures on the desktop page")
    # Read between two pictures: while the next one decodes the element has no size yet.
    width, height = browser.wait_for("var i = document.getElementById('picture');"
                                     "return i.naturalWidth > 0 && [i.naturalWidth, i.naturalHeight];",
                                     5, "a decoded picture")
    check((width, height) == (320, 240), f"JPEG picture is {width}x{height}, expected 320x240")
    count = picture_state(browser)[0]
    first = Image.open(io.BytesIO(browser.screenshot("#picture"))).convert("RGB")
    time.sleep(1.0)  # the point of the check: what a visitor sees a second later
    second = Image.open(io.BytesIO(browser.screenshot("#picture"))).convert("RGB")
    later = picture_state(browser)[0]
    check(later > count + 2, f"only {later - count} new pictures in over a second")
    check(first.size == second.size and first.size[0] >= 320,
          f"screenshots of the picture are {first.size} and {second.size}")
    check(ImageChops.difference(first, second).getbbox() is not None,
          "the picture did not change between two screenshots a second apart")
    source = browser.execute("return document.getElementById('picture').dataset.source;")
    check(source == "stream", f"the JPEG pictures came from {source!r}, not the live stream")

    step("desktop page: the stream at another size, then PNG at it, kept for the session")
    browser.execute("var s = document.getElementById('size'); s.value = '160x120';"
                    "s.dispatchEvent(new Event('change'));")
    browser.wait_for("var i = document.getElementById('picture');"
                     "return i.naturalWidth === 160 && i.naturalHeight === 120 &&"
                     " i.dataset.source === 'stream';", 10, "a 160x120 picture from the stream")
    browser.execute("var f = document.getElementById('format'); f.value = 'png';"
                    "f.dispatchEvent(new Event('change'));")
    browser.wait_for("var i = document.getElementById('picture');"
                     "return i.naturalWidth === 160 && i.naturalHeight === 120 &&"
                     " i.dataset.source === 'poll';", 10, "a polled 160x120 picture")
    last = browser.execute("var e = performance.getEntriesByType('resource')"
                           ".filter(function (r) { return r.name.indexOf('/image') >= 0; });"
                           "return e[e.length - 1].name;")
    check("/image.png?user=" in last, f"last picture came from {last}")
    browser.get(base)  # a reload keeps the session's credentials: no second sign-in
    browser.wait_for("return document.getElementById('login').hidden &&"
                     " Number(document.getElementById('picture').dataset.pictures || 0) >= 1;",
                     10, "the picture after a reload without signing in again")


def submit_phone_form(browser, base, page):
    """Fills a phone page's form in the browser; answers the URL it leads to."""
    browser.get(base + page)
    browser.type_into("input[name=user]", CAMERA_USER)
    browser.type_into("input[name=pass]", CAMERA_PASSWORD)
    browser.click("input[type=submit]")
    return browser.wait_for("return location.pathname.indexOf('/image.') === 0 && location.href;",
                            10, f"the picture URL of {page}")


def check_phone_pages(browser, base):
    for page, route in (("phone.xhtml", "/image.xhtml"), ("phone.chtml", "/image.chtml")):
        step(f"phone page {page}: the form builds the GIF route's query, the route sends GIF")
        status, ctype, body = fetch(base + page)
        check(status == 200, f"{page} answered {status}")
        if page.endswith(".xhtml"):
            check(ctype.startswith("application/xhtml+xml"), f"{page} typed {ctype!r}")
            ET.fromstring(body)  # an XHTML phone refuses a page that is not well-formed
        else:
            check(ctype.startswith("text/html"), f"{page} typed {ctype!r}")
        url = submit_phone_form(browser, base, page)
        parts = urllib.parse.urlsplit(url)
        expected = f"user={CAMERA_USER}&pass={CAMERA_PASSWORD}&n=1"
        check(parts.path == route and parts.query == expected,
              f"{page} asks for {parts.path}?{parts.query}, expected {route}?{expected}")
        status, ctype, body = fetch(url)
        check(status == 200 and ctype.startswith("image/gif"),
              f"{route} answered {status} {ctype!r}")
        picture = Image.open(io.BytesIO(body))
        check(picture.format == "GIF" and picture.size == (90, 90),
              f"{route} sent {picture.format} {picture.size}")

    step("phone page index.wml: a WML deck whose picture is the WBMP route")
    status, ctype, body = fetch(base + "index.wml")
    check(status == 200 and ctype.startswith("text/vnd.wap.wml"),
          f"index.wml answered {status} {ctype!r}")
    deck = ET.fromstring(body)
    images = [img.get("src") for img in deck.iter("img")]
    check(images == ["/image.wml?user=$(user:e)&pass=$(pass:e)"],
          f"index.wml pictures: {images}")
    names = {i.get("name") for i in deck.iter("input")}
    check(names == {"user", "pass"}, f"index.wml asks for {names}")
    # What a WAP browser makes of the picture address once the card's variables are set.
    url = base + images[0][1:].replace("$(user:e)", urllib.parse.quote(CAMERA_USER)) \
                              .replace("$(pass:e)", urllib.parse.quote(CAMERA_PASSWORD))
    status, ctype, body = fetch(url)
    check(status == 200 and ctype.startswith("image/vnd.wap.wbmp"),
          f"/image.wml answered {status} {ctype!r}")
    # Type 0, fixed header 0, width 90 and height 70 as one-byte multi-byte integers, then
    # 70 rows of 12 bytes.
    check(body[:4] == bytes([0, 0, 90, 70]) and len(body) == 4 + 12 * 70,
          f"WBMP header {body[:4].hex()} and {len(body)} bytes")


def check_leftovers(folder, port):
    step("the log is well-formed and ends with its close item")
    with open(os.path.join(folder, "orbiscope.LOG.xml"), "rb") as f:
        raw = f.read()
    check(raw.rstrip().endswith(b"</LogFile>"), "the log does not end with </LogFile>")
    log = ET.fromstring(raw)  # the parser decodes the declared windows-1252
    items = log.findall("LogItem")
    check(items, "the log holds no items")
    check(items[-1].findtext("Entry") == "Log File closed",
          f"last log item: {items[-1].findtext('Entry')!r}")
    entries = [item.findtext("Entry") or "" for item in items]
    check(any("/image.wml?" in e for e in entries), "the access log lacks the WBMP request")
    # Every picture request carried the password or its digest; the log shows neither.
    for secret in (CAMERA_PASSWORD, md5_upper(CAMERA_PASSWORD), md5_upper(CAMERA_PASSWORD).lower()):
        check(secret.encode() not in raw, f"the log holds the camera secret {secret}")

    step("the close wrote nothing the program did not change")
    settings = ET.parse(os.path.join(folder, "orbiscope.CONFIG.XML")).getroot()
    for path in ("GENERAL/MAINWNDPOSX", "VIDEO/DEVICE", "VIDEO/SIZE/WIDHT"):
        check(settings.find(path) is None, f"the close wrote {path}, which nothing changed")
    # Closing must keep the values it started from, the password digest above all.
    for path, value in (("SERVER/IP", "127.0.0.1"), ("SERVER/PORT", str(port)),
                        ("SERVER/USER", CAMERA_USER), ("SERVER/ENABLEWAP", "TRUE"),
                        ("SERVER/PASS", md5_upper(CAMERA_PASSWORD))):
        check(settings.findtext(path) == value,
              f"settings {path} is {settings.findtext(path)!r}, expected {value!r}")


def check_stream_log(folder):
    """The desktop page's JPEG pictures came from the live stream alone: its line (written
    when the page left it for PNG) counts what it sent, and no JPEG was polled."""
    step("the access log holds the desktop page's stream and no polled JPEG picture")
    log = ET.parse(os.path.join(folder, "orbiscope.LOG.xml")).getroot()
    entries = [item.findtext("Entry") or "" for item in log.findall("LogItem")]
    stream = [e for e in entries
              if f"GET /stream.mjpg?user={CAMERA_USER}&pass=*&w=320&h=240 HTTP/1.1\" 200 " in e]
    check(stream and int(stream[0].split()[-1]) > 0, f"the access log's stream lines: {stream}")
    polled = [e for e in entries if "/image%20?" in e]
    check(not polled, f"the page polled JPEG pictures beside the stream: {polled[:3]}")


def report_program(server):
    """What the program said, so a failure seen from the browser shows its cause."""
    if server is None:
        return
    code = server.process.poll()
    print(f"program: {'still running' if code is None else f'ended with {code}'}", flush=True)
    tail = server.error_output()[-60:]
    if tail:
        print("program's standard error (last lines):\n  " + "\n  ".join(tail), flush=True)


def run(build_dir, keep):
    folder = tempfile.mkdtemp(prefix="orbiscope-e2e-")
    server = browser = None
    try:
        step(f"installing into {folder}")
        result = subprocess.run(["cmake", "--install", build_dir, "--prefix", folder],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        check(result.returncode == 0, "cmake --install failed:\n" + result.stdout.decode())
        for name in ("orbiscope", "Resource.so", "WebServer.config.xml", "root/index.html",
                     "root/index.wml", "root/phone.xhtml", "root/phone.chtml"):
            check(os.path.exists(os.path.join(folder, name)), f"the install lacks {name}")

        port = free_port()
        write_settings(folder, port)
        step(f"starting the program headless on 127.0.0.1:{port}")
        server = Server(folder)
        base = server.wait_serving()
        check(base == f"http://127.0.0.1:{port}/", f"the program serves {base}")

        browser = Browser(shutil.which("chromedriver") or "/usr/bin/chromedriver",
                          shutil.which("chromium") or "/usr/bin/chromium", free_port(),
                          os.path.join(folder, "chromium-profile"),
                          os.path.join(folder, "chromedriver.log"))
        check_desktop_page(browser, base)
        check_phone_pages(browser, base)
        browser.close()
        browser = None

        step("SIGTERM ends the program cleanly")
        code = server.terminate()
        check(code == 0, f"the program ended with {code}")
        check_leftovers(folder, port)
        check_stream_log(folder)
        print("PASSED", flush=True)
        return 0
    except Failure as e:
        print(f"FAILED: {e}", flush=True)
        report_program(server)
        return 1
    except Exception:
        report_program(server)
        raise
    finally:
        if browser is not None:
            browser.close()
        if server is not None:
            server.kill()
        if keep:
            print(f"kept {folder}")
        else:
            shutil.rmtree(folder, ignore_errors=True)


def main(run=run, doc=__doc__):
    """The command line of an end-to-end test whose run(build_dir, keep) answers 0 or 1."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the install folder")
    args = parser.parse_args()
    return run(os.path.abspath(args.build_dir), args.keep)


if __name__ == "__main__":
    sys.exit(main())
