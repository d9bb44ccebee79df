#!/usr/bin/python3
"""The compatibility routes against the real programs users point at them, on loopback:
ffmpeg and ffprobe reading the stream as recorders do, a Home-Assistant-like client on
python3-requests (Basic, the challenge, Digest), and the HLS recipe end to end (ffmpeg to
segments, nginx serving them, ffprobe decoding one), and headless Chromium showing the
stream on a page of another origin with the CORS setting on. Every program it starts is bounded
in time and stopped at the end."""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import functools
import http.server
import threading

import requests
from requests.auth import HTTPBasicAuth, HTTPDigestAuth

USER, PASSWORD = "Cam", "s3cret"
DIGEST = ""  # the MD5 of PASSWORD, set in main
FPS = 15
REALM = 'Basic realm="Orbiscope camera"'


def md5_upper(text):
    import hashlib
    return hashlib.md5(text.encode()).hexdigest().upper()


def check(condition, message):
    if not condition:
        raise AssertionError(message)
    print("ok:", message, flush=True)


def run(command, timeout):
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout)


def frames_read(url, seconds=5):
    """(frames, errors) of ffmpeg reading `url` for `seconds`, as Frigate's preset does."""
    return subprocess.Popen(
        ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-f", "mpjpeg",
         "-use_wallclock_as_timestamps", "1", "-i", url, "-t", str(seconds), "-an",
         "-f", "framecrc", "-"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def counted(process):
    out, err = process.communicate(timeout=20)
    frames = sum(1 for line in out.splitlines() if line and not line.startswith("#"))
    return frames, err.strip()


def check_ffmpeg(base):
    readers = {
        "/?action=stream": frames_read(f"http://{USER}:{PASSWORD}@{base}/?action=stream&_=1"),
        "/stream.mjpg": frames_read(f"http://{base}/stream.mjpg?user={USER}&pass={DIGEST}&w=0&h=0"),
    }
    for name, process in readers.items():
        frames, errors = counted(process)
        check(errors == "", f"ffmpeg reads {name} without an error ({errors!r})")
        check(abs(frames - 5 * FPS) <= 0.1 * 5 * FPS,
              f"ffmpeg gets {frames} frames of {name} in 5 s at {FPS} fps")
    probe = run(["ffprobe", "-v", "error", "-f", "mpjpeg", "-select_streams", "v:0",
                 "-show_entries", "stream=codec_name,width,height", "-of", "csv=p=0",
                 f"http://{USER}:{PASSWORD}@{base}/webcam/?action=stream&w=320&h=240"], 15)
    check(probe.stdout.strip() == "mjpeg,320,240", f"ffprobe reads the size ({probe.stdout.strip()})")


def check_requests(base):
    url = f"http://{base}/webcam/?action=snapshot&timestamp=1733700000"
    r = requests.get(url, auth=HTTPBasicAuth(USER, PASSWORD), timeout=5)
    check(r.status_code == 200 and r.headers["Content-Type"] == "image/jpeg"
          and r.content[:2] == b"\xff\xd8", "Basic is accepted")
    check(re.fullmatch(r"\d{10}\.\d{3}", r.headers.get("X-Timestamp", "")) is not None,
          "the snapshot carries X-Timestamp")
    r = requests.get(url, auth=HTTPBasicAuth(USER, "wrong"), timeout=5)
    challenges = r.headers.get("WWW-Authenticate", "")
    check(r.status_code == 401 and REALM in challenges and "Digest" in challenges,
          "a wrong password gets 401 with the Basic and Digest challenges")
    # The Digest client answers the challenge; only the digest of the password is stored, so
    # that is the secret a Digest client is given.
    r = requests.get(url, auth=HTTPDigestAuth(USER, DIGEST), timeout=5)
    check(r.status_code == 200 and r.content[:2] == b"\xff\xd8", "Digest is accepted")
    r = requests.get(url, auth=HTTPDigestAuth(USER, PASSWORD), timeout=5)
    check(r.status_code == 401, "Digest with another secret is refused")


NGINX_CONF = """daemon off;
pid {tmp}/nginx.pid;
error_log {tmp}/nginx-error.log;
events {{ worker_connections 64; }}
http {{
    access_log {tmp}/nginx-access.log;
    client_body_temp_path {tmp}/body; proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fcgi; uwsgi_temp_path {tmp}/uwsgi; scgi_temp_path {tmp}/scgi;
    {site}
}}
"""


def check_hls(base, tmp, root):
    out = os.path.join(tmp, "hls")
    recipe = os.path.join(root, "contrib", "hls", "orbiscope-hls.sh")
    made = run([recipe, f"http://{USER}:{PASSWORD}@{base}/?action=stream&w=320&h=240", out, "5"], 30)
    check(made.returncode == 0, f"the recipe's ffmpeg writes HLS ({made.stderr.strip()!r})")
    with open(os.path.join(root, "contrib", "nginx", "orbiscope-hls.conf")) as f:
        site = f.read()
    port = free_port()
    site = site.replace("listen 8090;", f"listen 127.0.0.1:{port};")
    site = site.replace("/var/lib/orbiscope-hls/", out + "/")
    conf = os.path.join(tmp, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(tmp=tmp, site=site))
    nginx = subprocess.Popen(["nginx", "-c", conf, "-p", tmp], stderr=subprocess.PIPE)
    try:
        playlist = None
        deadline = time.monotonic() + 10
        while playlist is None and time.monotonic() < deadline:
            try:
                r = requests.get(f"http://127.0.0.1:{port}/hls/stream.m3u8", timeout=2)
                playlist = r
            except requests.ConnectionError:
                time.sleep(0.05)
        if playlist is None or playlist.status_code != 200:
            with open(os.path.join(tmp, "nginx-error.log")) as f:
                print(f.read(), flush=True)
        check(playlist is not None and playlist.status_code == 200 and
              playlist.headers["Content-Type"] == "application/vnd.apple.mpegurl",
              "nginx serves the playlist")
        segment = next(l for l in playlist.text.splitlines() if l.endswith(".ts"))
        r = requests.get(f"http://127.0.0.1:{port}/hls/{segment}", timeout=5)
        path = os.path.join(tmp, "segment.ts")
        with open(path, "wb") as f:
            f.write(r.content)
        probe = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                     "stream=codec_name,width,height", "-of", "csv=p=0", path], 10)
        # A transport stream lists its stream once more under its program.
        first = (probe.stdout.split() or [""])[0]
        check(first == "h264,320,240", f"a segment is H.264 at 320x240 ({first})")
    finally:
        nginx.terminate()
        nginx.wait(timeout=10)


PAGE = """<!DOCTYPE html><html><body>
<img id="s" crossorigin="anonymous" src="http://{base}/webcam/?action=stream&cacheBust=123&user={user}&pass={password}">
<canvas id="c" width="64" height="48"></canvas></body></html>"""

# The picture as a canvas reads it: only an image its server allows this origin to read
# can be drawn and read back, so a picture here proves the CORS field as well.
READ_PICTURE = """var i = document.getElementById('s'); if (!i.complete || !i.naturalWidth) return '';
var c = document.getElementById('c').getContext('2d'); c.drawImage(i, 0, 0, 64, 48);
try { return c.canvas.toDataURL(); } catch (e) { return 'tainted'; }"""


class QuietPages(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def check_browser(program, tmp):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from webdriver import Browser
    page_port = free_port()
    origin = f"http://127.0.0.1:{page_port}"
    site = os.path.join(tmp, "site")
    os.makedirs(site, exist_ok=True)
    handler = functools.partial(QuietPages, directory=site)
    pages = http.server.ThreadingHTTPServer(("127.0.0.1", page_port), handler)
    threading.Thread(target=pages.serve_forever, daemon=True).start()
    browser = None
    try:
        with Server(program, tmp, digest=False, cors=origin) as base:
            with open(os.path.join(site, "index.html"), "w") as f:
                f.write(PAGE.format(base=base, user=USER, password=PASSWORD))
            browser = Browser(shutil.which("chromedriver") or "/usr/bin/chromedriver",
                              shutil.which("chromium") or "/usr/bin/chromium", free_port(),
                              os.path.join(tmp, "chromium-profile"),
                              os.path.join(tmp, "chromedriver.log"))
            browser.get(origin + "/index.html")
            first = browser.wait_for(READ_PICTURE, 15, "the stream in the <img>")
            check(first != "tainted", "a page of another origin reads the stream it shows")
            browser.wait_for(f"var now = (function() {{ {READ_PICTURE} }})(); "
                             "return now && now !== arguments[0];", 15,
                             "the picture to change", first)
            check(True, "the picture in the <img> changes")
    finally:
        if browser is not None:
            browser.close()
        pages.shutdown()


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """The test-pattern server at FPS frames a second; the context gives HOST:PORT."""

    def __init__(self, program, tmp, digest, cors=None):
        env = dict(os.environ, BENCH_FPS=str(FPS))
        if cors:
            env["BENCH_CORS"] = cors
        if digest:
            env["BENCH_DIGEST"] = "1"
        self.process = subprocess.Popen([program, "0", USER, PASSWORD, tmp], env=env,
                                        stdout=subprocess.PIPE, text=True,
                                        start_new_session=True)

    def __enter__(self):
        line = self.process.stdout.readline()
        match = re.match(r"listening on (\d+)", line)
        check(match is not None, f"the server listens ({line.strip()!r})")
        return f"127.0.0.1:{match.group(1)}"

    def __exit__(self, *exc):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=10)


def main():
    global DIGEST
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--server", required=True, help="the camera_bench_server program")
    parser.add_argument("--source-dir", required=True)
    args = parser.parse_args()
    for program in ("ffmpeg", "ffprobe", "nginx"):
        if shutil.which(program) is None:
            print(f"{program} is missing (scripts/install-deps.sh installs it)")
            return 1
    DIGEST = md5_upper(PASSWORD)
    tmp = tempfile.mkdtemp(prefix="orbiscope-compat-")
    # nginx's workers run as another user when the test runs as root.
    os.chmod(tmp, 0o755)
    try:
        # Digest is off by default, and a client that prefers it (ffmpeg does) would then
        # need the digest as its password: the recorders are tried on the default.
        with Server(args.server, tmp, digest=True) as base:
            check_requests(base)
        with Server(args.server, tmp, digest=False) as base:
            check_ffmpeg(base)
            check_hls(base, tmp, args.source_dir)
        check_browser(args.server, tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
