#!/usr/bin/python3
"""The nginx recipe contrib/nginx/orbiscope.conf as shipped, with Debian's nginx and a
throw-away self-signed certificate in front of the built program on loopback: the desktop
page and a JPEG picture over HTTPS, the picture micro-cache, refusals never cached, the
plain-HTTP redirect, the live stream passed through part by part to a hundred viewers at
once, and nginx's logs without a password or digest.

Usage: nginx_tls_test.py BUILD_DIR SOURCE_DIR
"""
import http.client
import io
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from PIL import Image

BUILD, SOURCE = (os.path.abspath(a) for a in sys.argv[1:3])
del sys.argv[1:3]
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
import program  # noqa: E402

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"


def site_on_loopback(tmp, orbiscope, https, http):
    """The shipped site with its ports, certificate and cache moved into the test's reach."""
    with open(os.path.join(SOURCE, "contrib", "nginx", "orbiscope.conf")) as f:
        site = f.read()
    for old, new in (("server 127.0.0.1:8080;", f"server 127.0.0.1:{orbiscope};"),
                     ("listen 443 ssl http2;", f"listen 127.0.0.1:{https} ssl http2;"),
                     ("listen 80;", f"listen 127.0.0.1:{http};"),
                     ("    listen [::]:443 ssl http2;\n", ""),
                     ("    listen [::]:80;\n", ""),
                     ("/etc/ssl/certs/orbiscope.crt", os.path.join(tmp, "orbiscope.crt")),
                     ("/etc/ssl/private/orbiscope.key", os.path.join(tmp, "orbiscope.key")),
                     ("/var/cache/nginx/orbiscope", os.path.join(tmp, "cache"))):
        site = program.replace_once(site, old, new)
    if "/var/log/nginx/" not in site:
        raise AssertionError("the site names no log of its own")
    return site.replace("/var/log/nginx/", tmp + "/")


def read_part(response, boundary):
    """The next JPEG part of a stream."""
    line = response.readline()
    if line != f"--{boundary}\r\n".encode():
        raise AssertionError(f"no part boundary but {line!r}")
    fields = {}
    for line in iter(response.readline, b"\r\n"):
        name, _, value = line.decode().partition(":")
        fields[name.lower()] = value.strip()
    if fields.get("content-type") != "image/jpeg":
        raise AssertionError(f"a part of {fields}")
    part = response.read(int(fields["content-length"]))
    if response.read(2) != b"\r\n":
        raise AssertionError("a part without its line end")
    return part


def open_stream(port, context, query):
    """A stream asked for through nginx: the connection, its response and its boundary."""
    connection = http.client.HTTPSConnection("127.0.0.1", port, context=context, timeout=10)
    connection.request("GET", "/stream.mjpg?" + query)
    response = connection.getresponse()
    if response.status != 200:
        connection.close()
        raise AssertionError(f"the stream answered {response.status}")
    kind, _, boundary = response.getheader("Content-Type").partition("; boundary=")
    if kind != "multipart/x-mixed-replace":
        connection.close()
        raise AssertionError(f"a stream of {kind}")
    return connection, response, boundary


def wait_for_file(path, done, timeout=10):
    """The text of `path` once `done` holds for it, or as it is at `timeout`."""
    deadline = time.monotonic() + timeout
    while True:
        text = ""
        if os.path.exists(path):
            with open(path, errors="replace") as f:
                text = f.read()
        if done(text) or time.monotonic() > deadline:
            return text
        time.sleep(0.05)


def wait_for_port(port, process, timeout=10):
    deadline = time.monotonic() + timeout
    while process.poll() is None and time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


class NginxInFront(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="orbiscope-nginx-")
        os.chmod(cls.tmp, 0o755)  # nginx's workers drop root and still need their folders
        cls.server = cls.nginx = None
        try:
            cls.start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def start(cls):
        tmp = cls.tmp
        crt, key = os.path.join(tmp, "orbiscope.crt"), os.path.join(tmp, "orbiscope.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-days", "1", "-subj", "/CN=localhost", "-keyout", key, "-out", crt,
                        "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.tls = ssl.create_default_context(cafile=crt)

        # The program with a home whose settings are the starter's on a free port.
        port = program.free_port()
        home = os.path.join(tmp, "home")
        os.makedirs(home)
        settings = program.starter_on_port(os.path.join(BUILD, "bin", "starter.CONFIG.XML"), port)
        settings = program.replace_once(settings, "<VIRTDIR/>", f"<VIRTDIR>{home}/root</VIRTDIR>")
        with open(os.path.join(home, "orbiscope.CONFIG.XML"), "wb") as f:
            f.write(settings.encode("cp1252"))
        # As the recipe says: nginx's address is trusted past the per-client limit.
        with open(os.path.join(BUILD, "bin", "WebServer.config.xml"), "rb") as f:
            web = f.read().decode("cp1252")
        web = program.replace_once(web, "<TrustedProxies></TrustedProxies>",
                                   "<TrustedProxies>127.0.0.1</TrustedProxies>")
        with open(os.path.join(home, "WebServer.config.xml"), "wb") as f:
            f.write(web.encode("cp1252"))
        cls.server = program.Program(os.path.join(BUILD, "bin", "orbiscope"), ["--home", home], tmp)
        cls.server.wait_serving()
        with open(os.path.join(home, "root", "index.html"), "rb") as f:
            cls.desktop_page = f.read()

        cls.https, cls.http = program.free_port(), program.free_port()
        with open(os.path.join(tmp, "orbiscope-site.conf"), "w") as f:
            f.write(site_on_loopback(tmp, port, cls.https, cls.http))
        conf = os.path.join(tmp, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"""daemon off;
worker_processes 1;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log;
events {{ worker_connections 768; }}
http {{
    access_log {tmp}/access.log;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    include {tmp}/orbiscope-site.conf;
}}
""")
        cls.nginx = subprocess.Popen([NGINX, "-p", tmp, "-c", conf, "-e", os.path.join(tmp, "error.log")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not (wait_for_port(cls.https, cls.nginx) and wait_for_port(cls.http, cls.nginx)):
            with open(os.path.join(tmp, "error.log")) as f:
                raise AssertionError("nginx did not start:\n" + f.read())

    @classmethod
    def tearDownClass(cls):
        if cls.nginx is not None and cls.nginx.poll() is None:
            cls.nginx.terminate()
            cls.nginx.wait(timeout=10)
        if cls.server is not None:
            cls.server.kill()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def picture_path(self, n, digest=program.STARTER_DIGEST):
        """The JPEG route's URL as the desktop page builds it, counter last."""
        return f"/image%20?user={program.STARTER_USER}%20pass={digest}%20w=320%20h=240%20n={n}"

    def test_desktop_page_and_picture_over_https(self):
        base = f"https://127.0.0.1:{self.https}"
        status, headers, body = program.fetch(base + "/", context=self.tls)
        self.assertEqual((status, body), (200, self.desktop_page))
        self.assertEqual(headers.get("Strict-Transport-Security"), "max-age=31536000")
        status, headers, body = program.fetch(base + self.picture_path(1), context=self.tls)
        self.assertEqual((status, headers.get("Content-Type")), (200, "image/jpeg"))
        self.assertEqual(headers.get("Strict-Transport-Security"), "max-age=31536000")
        self.assertEqual(Image.open(io.BytesIO(body)).size, (320, 240))

    def test_viewers_share_a_picture_for_a_fraction_of_a_second(self):
        program.fetch(f"https://127.0.0.1:{self.https}" + self.picture_path(0), context=self.tls)
        # Rounds of viewers asking at the same moment, each with its own counter like the
        # page: within a round some answers must come from the cache (the counter is not
        # part of its key), and the cache must move on from round to round. Asking at once
        # rather than one after another keeps this true however slowly Orbiscope answers.
        viewers = 4
        connections = [http.client.HTTPSConnection("127.0.0.1", self.https, context=self.tls,
                                                   timeout=10) for _ in range(viewers)]
        barrier = threading.Barrier(viewers, timeout=10)
        seen = {"HIT": 0, "MISS": 0}
        seen_lock = threading.Lock()
        statuses = []

        def ask(connection, n):
            barrier.wait()
            connection.request("GET", self.picture_path(n))
            response = connection.getresponse()
            response.read()
            with seen_lock:
                statuses.append(response.status)
                cache = response.getheader("X-Cache-Status")
                seen[cache] = seen.get(cache, 0) + 1

        start = time.monotonic()
        n = 0
        rounds = 0
        next_round = start + 0.1  # not in the first picture's slice
        while time.monotonic() - start < 10 and not (seen["HIT"] and time.monotonic() - start >= 2):
            # Rounds a tenth of a second apart fall into different slices of the cache.
            time.sleep(max(0.0, next_round - time.monotonic()))
            next_round = time.monotonic() + 0.1
            rounds += 1
            threads = []
            for connection in connections:
                n += 1
                threads.append(threading.Thread(target=ask, args=(connection, n)))
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(timeout=15)
                self.assertFalse(thread.is_alive(), "a viewer got no answer")
        for connection in connections:
            connection.close()
        self.assertEqual(set(statuses), {200})
        self.assertGreater(seen["HIT"], 0, seen)
        # A round never reuses the picture of an earlier one: each asks Orbiscope again.
        self.assertGreaterEqual(seen["MISS"], rounds, f"{seen} in {rounds} rounds")
        self.assertGreaterEqual(rounds, 3)

    STREAM_QUERY = f"user={program.STARTER_USER}&pass={program.STARTER_DIGEST}&w=160&h=120"

    def test_live_stream_passes_part_by_part(self):
        connection, response, boundary = open_stream(self.https, self.tls, self.STREAM_QUERY)
        # The second part comes only if nginx does not hold parts back.
        parts = [read_part(response, boundary) for _ in range(2)]
        connection.close()
        self.assertNotEqual(parts[0], parts[1])
        for part in parts:
            self.assertEqual(Image.open(io.BytesIO(part)).size, (160, 120))

    def test_a_hundred_viewers_stream_at_once(self):
        # Orbiscope sees every one of them come from nginx's address: beyond its per-client
        # limit (64) only the trusted proxy is let through.
        viewers = 100
        barrier = threading.Barrier(viewers, timeout=30)
        failures = []
        lock = threading.Lock()

        def watch():
            connection = None
            try:
                connection, response, boundary = open_stream(self.https, self.tls, self.STREAM_QUERY)
                read_part(response, boundary)
                barrier.wait()  # all of them open at this moment
                read_part(response, boundary)
            except Exception as e:  # noqa: BLE001 - every viewer's failure is reported
                barrier.abort()
                with lock:
                    failures.append(repr(e))
            finally:
                if connection is not None:
                    connection.close()

        threads = [threading.Thread(target=watch) for _ in range(viewers)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=40)
            self.assertFalse(thread.is_alive(), "a viewer got stuck")
        self.assertEqual(failures, [])

    def test_logs_hold_no_password_or_digest(self):
        user, digest, password = program.STARTER_USER, program.STARTER_DIGEST, "orbiscope"
        # What is asked for, and how the access log writes it.
        cases = [
            (f"/image%20?user={user}%20pass={digest}%20w=160%20h=120%20n=1", "/image%20?*"),
            (f"/image.png?user={user}&pass={digest.lower()}&w=16&h=16", "/image.png?*"),
            (f"/image.png?user={user}&{digest}&w=16&h=16", "/image.png?*"),  # by place, no name
            (f"/image.wml?user={user}&pass={password}", "/image.wml?*"),
            (f"/image.xhtml?user={user}&pass={password}&s=1", "/image.xhtml?*"),
            (f"/image.chtml?u={user}&p={password}&s=1", "/image.chtml?*"),
            (f"/status.json?user={user}&pass={digest}", "/status.json?*"),
            (f"/index.html?action=snapshot&user={user}&PassWord={password}", "/index.html?*"),
            (f"/index.html?x={digest}", "/index.html?*"),
            (f"/index.html?p%61ss={password}", "/index.html?*"),
            # User information and an encoded "?", both of which Orbiscope decodes first.
            (f"/{user}:{password}@/index.html", f"/{user}*"),
            (f"/x@/image.wml?a={user}&b={password}", "/x*"),
            (f"/image.png%3Fuser={user}&pass={digest}&w=16&h=16", "/image.png*"),
            (f"/{user}%3A{password}%40/index.html", f"/{user}*"),
            # Ordinary queries stay.
            ("/index.html?sn=1&lang=en", "/index.html?sn=1&lang=en"),
            ("/style.css", "/style.css"),
        ]
        connection = http.client.HTTPSConnection("127.0.0.1", self.https, context=self.tls, timeout=10)
        for target, _ in cases:
            connection.request("GET", target)
            response = connection.getresponse()
            response.read()
            if response.getheader("Connection", "").lower() == "close":
                connection.close()
        # A phone form puts the password into the page's own address, which comes back as
        # the Referer of what the page asks for next.
        for referer in (f"https://127.0.0.1/image.xhtml?user={user}&pass={password}&s=1",
                        f"https://127.0.0.1/{user}:{password}@/index.html"):
            connection.request("GET", "/favicon.ico", headers={"Referer": referer})
            connection.getresponse().read()
        connection.close()
        # Errors nginx reports below its "crit" level name the request line: bodies that are
        # too large, on a camera route and in the content folder.
        for target in (f"/image.png?user={user}&pass={digest}&w=16&h=16",
                       f"/upload?user={user}&pass={password}"):
            with socket.create_connection(("127.0.0.1", self.https), timeout=10) as raw:
                with self.tls.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
                    tls.sendall(f"POST {target} HTTP/1.1\r\nHost: x\r\n"
                                f"Content-Length: {64 << 20}\r\n\r\n".encode())
                    self.assertTrue(tls.recv(4096).startswith(b"HTTP/1.1 413 "))
        stream, response, boundary = open_stream(self.https, self.tls, self.STREAM_QUERY)
        read_part(response, boundary)
        stream.close()  # its line is written when nginx sees the viewer go

        access = wait_for_file(os.path.join(self.tmp, "orbiscope.access.log"),
                               lambda text: "/favicon.ico" in text and "POST /upload?*" in text
                               and "GET /stream.mjpg?* " in text.split("POST /upload?*", 1)[-1])
        for target, logged in cases:
            self.assertTrue(f'"GET {logged} HTTP/1.1"' in access, f"{target} not written as {logged}")
        self.assertTrue('"https://127.0.0.1/image.xhtml?*"' in access, "the Referer is not masked")
        # The site's error log, and the logs of the http and main levels it stands in for.
        others = [(name, wait_for_file(os.path.join(self.tmp, name), lambda text: False, timeout=0))
                  for name in ("orbiscope.error.log", "access.log", "error.log")]
        for name, text in [("orbiscope.access.log", access)] + others:
            leaks = [line for line in text.splitlines()
                     if digest.lower() in line.lower() or password in line.lower()]
            self.assertEqual(leaks, [], f"{name} holds a password or digest")

    def test_refusals_are_not_cached(self):
        connection = http.client.HTTPSConnection("127.0.0.1", self.https, context=self.tls, timeout=10)
        for _ in range(2):
            connection.request("GET", self.picture_path(1, digest="0" * 32))
            response = connection.getresponse()
            response.read()
            self.assertEqual(response.status, 401)
            self.assertNotEqual(response.getheader("X-Cache-Status"), "HIT")
            if response.getheader("Connection", "").lower() == "close":
                connection.close()
        connection.close()

    def test_plain_http_is_sent_to_https(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.http, timeout=10)
        connection.request("GET", "/index.html", headers={"Host": "camera.test"})
        response = connection.getresponse()
        self.assertEqual((response.status, response.getheader("Location")),
                         (301, "https://camera.test/index.html"))
        connection.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
