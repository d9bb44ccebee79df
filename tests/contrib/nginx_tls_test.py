#!/usr/bin/python3
"""The nginx recipe contrib/nginx/orbiscope.conf as shipped, with Debian's nginx and a
throw-away self-signed certificate in front of the built program on loopback: the desktop
page and a JPEG picture over HTTPS, the picture micro-cache, refusals never cached, and the
plain-HTTP redirect, and the live stream passed through part by part.

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
    return site


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
events {{ worker_connections 256; }}
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
        status, _, body = program.fetch(base + "/", context=self.tls)
        self.assertEqual((status, body), (200, self.desktop_page))
        status, headers, body = program.fetch(base + self.picture_path(1), context=self.tls)
        self.assertEqual((status, headers.get("Content-Type")), (200, "image/jpeg"))
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

    def test_live_stream_passes_part_by_part(self):
        connection = http.client.HTTPSConnection("127.0.0.1", self.https, context=self.tls, timeout=10)
        connection.request("GET", f"/stream.mjpg?user={program.STARTER_USER}"
                                  f"&pass={program.STARTER_DIGEST}&w=160&h=120")
        response = connection.getresponse()
        self.assertEqual(response.status, 200)
        kind, _, boundary = response.getheader("Content-Type").partition("; boundary=")
        self.assertEqual(kind, "multipart/x-mixed-replace")
        parts = []
        while len(parts) < 2:  # the second comes only if nginx does not hold parts back
            self.assertEqual(response.readline(), f"--{boundary}\r\n".encode())
            fields = {}
            for line in iter(response.readline, b"\r\n"):
                name, _, value = line.decode().partition(":")
                fields[name.lower()] = value.strip()
            self.assertEqual(fields["content-type"], "image/jpeg")
            parts.append(response.read(int(fields["content-length"])))
            self.assertEqual(response.read(2), b"\r\n")
        connection.close()
        self.assertNotEqual(parts[0], parts[1])
        for part in parts:
            self.assertEqual(Image.open(io.BytesIO(part)).size, (160, 120))

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
