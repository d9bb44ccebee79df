#!/usr/bin/python3
"""The headless program as a user runs it: one copy only, SIGHUP applies an edited settings
file, SIGTERM closes it the normal way, a busy port leaves it running in the stopped state,
--home keeps its files in a folder made from the defaults on the first start, the status
page follows what the program does.

Usage: headless_test.py BIN_DIR   (the build's bin/ folder: orbiscope, Resource.so, ...)
"""
import hashlib
import json
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
import unittest
import urllib.request
import urllib.error
import xml.dom.minidom
import xml.etree.ElementTree as ET

BIN = sys.argv.pop(1) if len(sys.argv) > 1 else None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def slurp(path):
    with open(path, "rb") as f:
        return f.read()


CAM_DIGEST = hashlib.md5(b"12345678").hexdigest().upper()


def settings(port, extra="", credentials=f"<USER>cam</USER><PASS>{CAM_DIGEST}</PASS>"):
    return ('<?xml version="1.0" encoding="windows-1252"?>\n<ORBISCOPEConfigSettings><SERVER>'
            f"<IP>127.0.0.1</IP><PORT>{port}</PORT>{credentials}</SERVER>{extra}</ORBISCOPEConfigSettings>")


def leaf_paths(element, above):
    """Paths below the root to the elements that hold values."""
    children = list(element)
    if not children and above:
        yield above
    for child in children:
        yield from leaf_paths(child, above + (child.tag,))


WAIT = 20  # seconds any one wait on the program may take before the test fails


class Program:
    """The program with its output read by threads, so that every wait has a time-out."""

    def __init__(self, argv, env, **popen):
        popen.setdefault("stdout", subprocess.PIPE)
        self.process = subprocess.Popen(argv, env=env, stderr=subprocess.PIPE, **popen)
        self.lines = queue.Queue()
        self.err = []
        self.err_changed = threading.Condition()
        self.pumps = [threading.Thread(target=self._pump, args=(self.process.stderr, self._add_err),
                                       daemon=True)]
        if self.process.stdout is not None:
            self.pumps.append(threading.Thread(target=self._pump,
                                               args=(self.process.stdout, self.lines.put), daemon=True))
        for t in self.pumps:
            t.start()

    @staticmethod
    def _pump(stream, sink):
        for raw in stream:
            sink(raw.decode("utf-8", "replace").rstrip("\n"))
        stream.close()

    def _add_err(self, line):
        with self.err_changed:
            self.err.append(line)
            self.err_changed.notify_all()

    def wait_err(self, count, timeout=WAIT):
        """The first `count` lines of standard error, once they have come."""
        with self.err_changed:
            if not self.err_changed.wait_for(lambda: len(self.err) >= count, timeout=timeout):
                raise AssertionError(f"standard error has {self.err}, not {count} lines")
            return list(self.err)

    def read_line(self, timeout=WAIT):
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"no line from the program within {timeout} s "
                                 f"(standard error: {self.err})") from None

    def wait(self, timeout=WAIT):
        code = self.process.wait(timeout=timeout)
        for t in self.pumps:
            t.join(timeout=timeout)
        return code

    def send_signal(self, sig):
        self.process.send_signal(sig)

    def poll(self):
        return self.process.poll()

    def out(self):
        """Standard output not yet read as lines."""
        lines = []
        while not self.lines.empty():
            lines.append(self.lines.get_nowait())
        return lines

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.wait()


class Headless(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orbiscope-headless-")
        for name in ("orbiscope", "Resource.so", "WebServer.config.xml"):
            shutil.copy2(os.path.join(BIN, name), self.dir)
        os.makedirs(os.path.join(self.dir, "root"))
        with open(os.path.join(self.dir, "root", "index.html"), "w") as f:
            f.write("hello")
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.dir)
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.procs = []
        self.exe = os.path.join(self.dir, "orbiscope")
        self.config = self.exe + ".CONFIG.XML"
        self.log = self.exe + ".LOG.xml"

    def tearDown(self):
        for p in self.procs:
            p.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, *args, env=None, **popen):
        p = Program([self.exe, *args], env or self.env, **popen)
        self.procs.append(p)
        return p

    def get(self, port, path="/"):
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=5) as r:
            return r.status, r.read()

    def test_one_copy_reload_and_close(self):
        port = free_port()
        with open(self.config, "w") as f:
            f.write(settings(port))
        first = self.start("--headless")
        self.assertEqual(first.read_line(), f"Orbiscope serves http://127.0.0.1:{port}/")
        self.assertEqual(self.get(port), (200, b"hello"))

        # A second copy leaves at once, says why, and touches nothing.
        # (The first copy may still be logging the request above: its log only grows.)
        config, log = slurp(self.config), os.stat(self.log)
        second = self.start("--headless")
        self.assertEqual((second.wait(), second.out()), (0, []))
        [why] = second.wait_err(1)
        self.assertRegex(why, r"^orbiscope: another copy is already running \(it holds /.*\.lock\)$")
        self.assertEqual(slurp(self.config), config)
        self.assertEqual(os.stat(self.log).st_ino, log.st_ino)
        self.assertGreaterEqual(os.stat(self.log).st_size, log.st_size)
        self.assertFalse(os.path.exists(self.log + ".1"))

        # SIGHUP applies an edited settings file.
        port2 = free_port()
        with open(self.config, "w") as f:
            f.write(settings(port2))
        first.send_signal(signal.SIGHUP)
        self.assertEqual(first.read_line(), f"Orbiscope serves http://127.0.0.1:{port2}/")
        self.assertEqual(self.get(port2), (200, b"hello"))
        with self.assertRaises(OSError):
            self.get(port)

        # A hand edit without SIGHUP survives the close, and a close that changed nothing
        # leaves the file byte for byte as it was.
        edited = settings(port2, credentials=f"<USER>other</USER><PASS>{CAM_DIGEST}</PASS>")
        with open(self.config, "w") as f:
            f.write(edited)
        first.send_signal(signal.SIGTERM)
        self.assertEqual(first.wait(), 0)
        log = slurp(self.log)
        self.assertTrue(log.rstrip().endswith(b"<Entry>Log File closed</Entry>\n  </LogItem>\n</LogFile>"))
        xml.dom.minidom.parseString(log)
        self.assertEqual(slurp(self.config), edited.encode())
        self.assertEqual(first.err, [])

    def get_picture(self, port, path, timeout=10):
        """The picture once the first frame has reached the server."""
        deadline = time.time() + timeout
        while True:
            try:
                return self.get(port, path)
            except urllib.error.HTTPError as e:
                if e.code != 400 or time.time() > deadline:
                    raise

    def start_new_home(self):
        """The program on a home made from the defaults beside it, the starter's port moved
        to a free one: the port, the starter's text and the home."""
        port = free_port()
        starter = slurp(os.path.join(BIN, "starter.CONFIG.XML"))
        self.assertEqual(starter.count(b"<PORT>8080</PORT>"), 1)
        with open(os.path.join(self.dir, "starter.CONFIG.XML"), "wb") as f:
            f.write(starter.replace(b"<PORT>8080</PORT>", f"<PORT>{port}</PORT>".encode()))
        shutil.copy2(os.path.join(BIN, "Log.xsl"), self.dir)
        home = os.path.join(self.dir, "new", "home")
        p = self.start("--headless", "--home", home)
        self.assertEqual(p.read_line(), f"Orbiscope serves http://127.0.0.1:{port}/")
        return p, port, starter, home

    def test_home_made_from_the_starter_settings(self):
        p, port, starter, home = self.start_new_home()
        self.assertEqual(self.get(port), (200, b"hello"))
        # The camera password the starter's comment names is the one its digest holds.
        digest = hashlib.md5(b"orbiscope").hexdigest().upper()
        status, body = self.get_picture(port, f"/image.png?user=admin&pass={digest}&w=160&h=120")
        self.assertEqual((status, body[:8]), (200, b"\x89PNG\r\n\x1a\n"))
        # A reload is no edit: the stored digest is not hashed again by the close after it.
        made = slurp(os.path.join(home, "orbiscope.CONFIG.XML"))
        p.send_signal(signal.SIGHUP)
        self.assertEqual(p.read_line(), f"Orbiscope serves http://127.0.0.1:{port}/")
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(timeout=20), 0)
        self.assertIn("change it", "\n".join(p.err))
        self.assertEqual(slurp(os.path.join(home, "orbiscope.CONFIG.XML")), made)
        self.assertEqual(ET.fromstring(made).findtext("SERVER/PASS"), digest)

        self.assertEqual(sorted(os.listdir(home)), ["Log.xsl", "WebServer.config.xml", "orbiscope.CONFIG.XML",
                                                    "orbiscope.LOG.xml", "root"])
        self.assertFalse(os.path.exists(self.config) or os.path.exists(self.log),
                         "nothing is written beside the program")
        # Closing saves every key the program keeps: each must be one the starter explains,
        # and the explanations must survive the save.
        saved = slurp(os.path.join(home, "orbiscope.CONFIG.XML"))

        def keys(text):
            root = ET.fromstring(text)
            return sorted("/".join(p) for p in leaf_paths(root, ()))
        self.assertEqual(keys(saved), keys(starter))
        self.assertEqual(saved.count(b"<!--"), starter.count(b"<!--"))
        self.assertEqual(ET.fromstring(saved).findtext("SERVER/VIRTDIR"), os.path.join(home, "root"))

        # A later start named by the variable finds the home as it was left.
        with open(os.path.join(home, "root", "index.html"), "w") as f:
            f.write("edited")
        p = self.start("--headless", env=dict(self.env, ORBISCOPE_HOME=home))
        self.assertEqual(p.read_line(), f"Orbiscope serves http://127.0.0.1:{port}/")
        self.assertEqual(self.get(port), (200, b"edited"))
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(timeout=20), 0)
        self.assertEqual(p.err, [], "nothing to make the second time")

    def test_a_new_home_stamps_caption_and_time_into_the_picture(self):
        from PIL import Image
        import io
        p, port, _, home = self.start_new_home()
        digest = hashlib.md5(b"orbiscope").hexdigest().upper()
        path = f"/image%20?user=admin%20pass={digest}%20w=640%20h=480"

        def picture():
            # Before the first frame the route answers 200 with an empty body.
            deadline = time.time() + WAIT
            while True:
                status, body = self.get_picture(port, path)
                if body or time.time() > deadline:
                    break
            self.assertEqual((status, body[:2]), (200, b"\xff\xd8"))
            return Image.open(io.BytesIO(body)).convert("RGB")
        stamped = picture()
        # The same frame without caption and time: the test pattern's corners do not move.
        config = os.path.join(home, "orbiscope.CONFIG.XML")
        text = slurp(config).decode("cp1252")
        self.assertIn("<TIMEDATA>129</TIMEDATA>", text)
        self.assertIn(f"<TEXT>{socket.gethostname()}</TEXT>", text)
        text = text.replace("<TIMEDATA>129</TIMEDATA>", "<TIMEDATA>126</TIMEDATA>")
        text = text.replace(f"<TEXT>{socket.gethostname()}</TEXT>", "<TEXT/>")
        with open(config, "wb") as f:
            f.write(text.encode("cp1252"))
        p.send_signal(signal.SIGHUP)
        self.assertEqual(p.read_line(), f"Orbiscope serves http://127.0.0.1:{port}/")
        bare = picture()

        def changed(box):
            """Pixels of box that the marks turned white and turned black."""
            a, b = stamped.crop(box).getdata(), bare.crop(box).getdata()
            white = sum(1 for x, y in zip(a, b) if min(x) > 200 and min(y) <= 200)
            black = sum(1 for x, y in zip(a, b) if max(x) < 60 and max(y) >= 60)
            return white, black
        # The time, white rimmed in black, top-left: its rim shows on the white bar and its
        # letters on the darker ones.
        time_white, time_black = changed((0, 0, 240, 20))
        self.assertGreater(time_white, 100)
        self.assertGreater(time_black, 100)
        # The caption (the machine's name) along the bottom edge, on the counter band.
        caption_white, _ = changed((0, 465, 320, 480))
        self.assertGreater(caption_white, 20)
        # Nothing else of the picture's top changed.
        self.assertEqual(changed((400, 0, 640, 300)), (0, 0))
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(timeout=20), 0)

    def test_busy_port_leaves_the_program_running_stopped(self):
        with socket.socket() as busy:
            busy.bind(("127.0.0.1", 0))
            busy.listen()
            port = busy.getsockname()[1]
            with open(self.config, "w") as f:
                f.write(settings(port))
            p = self.start("--headless")
            self.assertEqual(p.read_line(), "Orbiscope is stopped: the web server is not running.")
            self.assertIsNone(p.poll())
            p.send_signal(signal.SIGINT)
            self.assertEqual(p.wait(), 0)
            self.assertIn("ERROR: ", "\n".join(p.err))
            self.assertIn(b"No se ha iniciado servidor WEB", slurp(self.log))

    def test_broken_settings_stay_stopped_until_mended(self):
        port = free_port()
        good = settings(port)
        broken = good[:good.index("</SERVER>")]  # a save cut short
        with open(self.config, "w") as f:
            f.write(broken)
        p = self.start("--headless")
        self.assertEqual(p.read_line(), "Orbiscope is stopped: the web server is not running.")
        [err] = p.wait_err(1)
        self.assertTrue(err.startswith("LoadXML Malformed XML Error: "), err)
        self.assertIn(self.config + ", line 2: ", err)
        with self.assertRaises(OSError):
            self.get(port)

        with open(self.config, "w") as f:
            f.write(good)
        p.send_signal(signal.SIGHUP)
        self.assertEqual(p.read_line(), f"Orbiscope serves http://127.0.0.1:{port}/")
        self.assertEqual(self.get(port), (200, b"hello"))
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(), 0)
        self.assertEqual(len(p.err), 1, p.err)
        self.assertIn(b"Fichero de configuracion mal formado", slurp(self.log))

        # Broken from start to end: the file is left byte for byte as it was.
        with open(self.config, "w") as f:
            f.write(broken)
        p = self.start("--headless")
        self.assertEqual(p.read_line(), "Orbiscope is stopped: the web server is not running.")
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(), 0)
        self.assertEqual(slurp(self.config), broken.encode())

    def test_without_a_camera_password_no_camera_route_answers(self):
        port = free_port()
        for credentials in ("", "<USER>cam</USER><PASS></PASS>", f"<USER></USER><PASS>{CAM_DIGEST}</PASS>"):
            text = settings(port, credentials=credentials)
            with open(self.config, "w") as f:
                f.write(text)
            p = self.start("--headless")
            self.assertEqual(p.read_line(), f"Orbiscope serves http://127.0.0.1:{port}/")
            [err] = p.wait_err(1)
            self.assertTrue(err.startswith("Orbiscope webcam server: No camera user name and password are set"), err)
            self.assertIn(self.config, err)
            self.assertEqual(self.get(port), (200, b"hello"), "the content pages still serve")
            for path in ("/image.png?user=&pass=&w=1&h=1", "/image.png?user=cam&pass=&w=1&h=1",
                         f"/status.json?user=&pass={CAM_DIGEST}", "/image.xhtml?user=cam&pass=&n=1"):
                with self.assertRaises(urllib.error.HTTPError) as refused:
                    self.get(port, path)
                self.assertEqual(refused.exception.code, 401, path)
            p.send_signal(signal.SIGHUP)  # said once, at start-up
            self.assertEqual(p.read_line(), f"Orbiscope serves http://127.0.0.1:{port}/")
            p.send_signal(signal.SIGTERM)
            self.assertEqual(p.wait(), 0)
            self.assertEqual(p.err, [err])
            self.assertEqual(slurp(self.config), text.encode())

    def test_a_start_keeps_the_previous_log(self):
        with open(self.config, "w") as f:
            f.write(settings(free_port()))
        for run in range(2):
            p = self.start("--headless")
            p.read_line()
            p.send_signal(signal.SIGTERM)
            self.assertEqual(p.wait(), 0)
            if run == 0:
                first = slurp(self.log)
        self.assertEqual(slurp(self.log + ".1"), first)
        self.assertNotEqual(slurp(self.log), first)
        xml.dom.minidom.parseString(slurp(self.log))

    def test_a_closed_standard_output_does_not_end_the_program(self):
        port = free_port()
        with open(self.config, "w") as f:
            f.write(settings(port))
        read_end, write_end = os.pipe()
        os.close(read_end)  # the first line the program prints meets a closed pipe
        try:
            p = self.start("--headless", stdout=write_end)
        finally:
            os.close(write_end)
        deadline = time.monotonic() + WAIT
        while True:
            self.assertIsNone(p.poll(), "the program ended when its output was closed")
            try:
                self.assertEqual(self.get(port), (200, b"hello"))
                break
            except OSError:
                self.assertLess(time.monotonic(), deadline, "the program never served")
                time.sleep(0.05)  # nothing to wait on: the program cannot say it is ready
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(), 0)

    def test_status_page_follows_the_program(self):
        port = free_port()
        digest = hashlib.md5(b"pw").hexdigest()
        with open(self.config, "w") as f:
            f.write(settings(port, "<VIDEO><DEVICE>Orbiscope test pattern</DEVICE></VIDEO>").replace(
                "</PORT>", f"</PORT><USER>cam</USER><PASS>{digest.upper()}</PASS>"))
        p = self.start("--headless")
        self.assertEqual(p.read_line(), f"Orbiscope serves http://127.0.0.1:{port}/")

        def status():
            path = f"/status.json?user=cam&pass={digest}"
            with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=5) as r:
                self.assertEqual((r.headers["Content-Type"], r.headers["Cache-Control"]),
                                 ("application/json", "no-cache"))
                return json.loads(r.read())

        def wait_for(done):
            deadline = time.monotonic() + WAIT
            while True:
                s = status()
                if done(s):
                    return s
                self.assertLess(time.monotonic(), deadline, s)
                time.sleep(0.05)  # a frame is due within a frame time

        first = wait_for(lambda s: s["frames"] >= 2)
        self.assertEqual((first["state"], first["device"], first["streams"]),
                         ("running", "Orbiscope test pattern", 0))
        # The size the pictures have at their full size.
        _, png = self.get_picture(port, f"/image.png?user=cam&pass={digest}&w=0&h=0")
        self.assertEqual((first["width"], first["height"]),
                         (int.from_bytes(png[16:20], "big"), int.from_bytes(png[20:24], "big")))
        second = wait_for(lambda s: s["frames"] > first["frames"] and s["fps"] > 0)
        self.assertGreater(second["requests"], first["requests"])
        self.assertGreaterEqual(second["uptime"], first["uptime"])

        # (Connections, HEAD and refusals: tests/httpd/camera/StatusPageTest.cpp.)
        # SIGHUP restarts server and capture: running again, the program's uptime goes on.
        p.send_signal(signal.SIGHUP)
        self.assertEqual(p.read_line(), f"Orbiscope serves http://127.0.0.1:{port}/")
        after = wait_for(lambda s: s["frames"] >= 1)
        self.assertEqual(after["state"], "running")
        self.assertGreaterEqual(after["uptime"], second["uptime"])
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(), 0)

    def test_a_turned_picture_swaps_its_size_everywhere(self):
        port = free_port()
        digest = hashlib.md5(b"pw").hexdigest()
        with open(self.config, "w") as f:
            f.write(settings(port, "<VIDEO><DEVICE>Orbiscope test pattern</DEVICE><ROTATE>90</ROTATE>"
                                   "<FLIP>HORIZONTAL</FLIP></VIDEO>").replace(
                "</PORT>", f"</PORT><USER>cam</USER><PASS>{digest.upper()}</PASS>"))
        p = self.start("--headless")
        self.assertEqual(p.read_line(), f"Orbiscope serves http://127.0.0.1:{port}/")
        q = f"user=cam&pass={digest}"

        def jpeg_size(data):
            """Width and height from a JPEG's frame header."""
            at = data.index(b"\xff\xc0")
            return int.from_bytes(data[at + 7:at + 9], "big"), int.from_bytes(data[at + 5:at + 7], "big")

        _, png = self.get_picture(port, f"/image.png?{q}&w=0&h=0")
        self.assertEqual((int.from_bytes(png[16:20], "big"), int.from_bytes(png[20:24], "big")), (480, 640))
        _, jpeg = self.get_picture(port, f"/image%20?user=cam%20pass={digest}%20w=0%20h=0")
        self.assertEqual(jpeg_size(jpeg), (480, 640))
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/stream.mjpg?{q}&w=0&h=0", timeout=5) as r:
            part = b""
            while b"\xff\xd9" not in part:
                part += r.read1(65536)
        self.assertEqual(jpeg_size(part[part.index(b"\xff\xd8"):]), (480, 640))
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/status.json?{q}", timeout=5) as r:
            status = json.loads(r.read())
        self.assertEqual((status["width"], status["height"]), (480, 640))
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(), 0)
        saved = ET.parse(self.config).getroot().find("VIDEO")
        self.assertEqual((saved.findtext("ROTATE"), saved.findtext("FLIP")), ("90", "HORIZONTAL"))
        # A close writes only what was changed in the program: nothing, not a turned size.
        self.assertIsNone(saved.find("SIZE"))

    def test_without_a_display_it_says_how_to_run_headless(self):
        p = self.start()
        self.assertEqual(p.wait(), 2)
        self.assertIn("--headless", "\n".join(p.err))
        self.assertFalse(os.path.exists(self.log))


if __name__ == "__main__":
    unittest.main(verbosity=2)
