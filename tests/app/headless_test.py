#!/usr/bin/python3
"""The headless program as a user runs it: one copy only, SIGHUP applies an edited settings
file, SIGTERM closes it the normal way, a busy port leaves it running in the stopped state.

Usage: headless_test.py BIN_DIR   (the build's bin/ folder: orbiscope, Resource.so, ...)
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request
import xml.dom.minidom

BIN = sys.argv.pop(1) if len(sys.argv) > 1 else None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def slurp(path):
    with open(path, "rb") as f:
        return f.read()


def settings(port, extra=""):
    return ('<?xml version="1.0" encoding="windows-1252"?>\n<ORBISCOPEConfigSettings><SERVER>'
            f"<IP>127.0.0.1</IP><PORT>{port}</PORT></SERVER>{extra}</ORBISCOPEConfigSettings>")


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
            if p.poll() is None:
                p.kill()
                p.wait()
            for stream in (p.stdout, p.stderr):
                stream.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, *args):
        p = subprocess.Popen([self.exe, *args], env=self.env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        self.procs.append(p)
        return p

    def read_line(self, p, timeout=20):
        deadline = time.time() + timeout
        while time.time() < deadline:
            line = p.stdout.readline()
            if line:
                return line.strip()
            if p.poll() is not None:
                break
        self.fail("no line from the program")

    def get(self, port, path="/"):
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=5) as r:
            return r.status, r.read()

    def test_one_copy_reload_and_close(self):
        port = free_port()
        with open(self.config, "w") as f:
            f.write(settings(port))
        first = self.start("--headless")
        self.assertEqual(self.read_line(first), f"Orbiscope serves http://127.0.0.1:{port}/")
        self.assertEqual(self.get(port), (200, b"hello"))

        # A second copy leaves at once and touches nothing.
        before = (slurp(self.config), os.stat(self.log).st_size)
        second = self.start("--headless")
        out, err = second.communicate(timeout=10)
        self.assertEqual((second.returncode, out, err), (0, "", ""))
        self.assertEqual(before, (slurp(self.config), os.stat(self.log).st_size))

        # SIGHUP applies an edited settings file.
        port2 = free_port()
        with open(self.config, "w") as f:
            f.write(settings(port2))
        first.send_signal(signal.SIGHUP)
        self.assertEqual(self.read_line(first), f"Orbiscope serves http://127.0.0.1:{port2}/")
        self.assertEqual(self.get(port2), (200, b"hello"))
        with self.assertRaises(OSError):
            self.get(port)

        first.send_signal(signal.SIGTERM)
        self.assertEqual(first.wait(timeout=20), 0)
        log = slurp(self.log)
        self.assertTrue(log.rstrip().endswith(b"<Entry>Log File closed</Entry>\n  </LogItem>\n</LogFile>"))
        xml.dom.minidom.parseString(log)
        saved = xml.dom.minidom.parse(self.config)
        for tag in ("MAINWNDPOSX", "MAINWNDPOSY", "PORT", "VIRTDIR", "DEVICE", "TIMEDATA"):
            self.assertEqual(len(saved.getElementsByTagName(tag)), 1, tag)
        self.assertEqual(saved.getElementsByTagName("PORT")[0].firstChild.data, str(port2))

    def test_busy_port_leaves_the_program_running_stopped(self):
        with socket.socket() as busy:
            busy.bind(("127.0.0.1", 0))
            busy.listen()
            port = busy.getsockname()[1]
            with open(self.config, "w") as f:
                f.write(settings(port))
            p = self.start("--headless")
            self.assertEqual(self.read_line(p), "Orbiscope is stopped: the web server is not running.")
            self.assertIsNone(p.poll())
            p.send_signal(signal.SIGINT)
            self.assertEqual(p.wait(timeout=20), 0)
            err = p.stderr.read()
            self.assertIn("ERROR: ", err)
            self.assertIn(b"No se ha iniciado servidor WEB", slurp(self.log))

    def test_without_a_display_it_says_how_to_run_headless(self):
        p = self.start()
        out, err = p.communicate(timeout=10)
        self.assertEqual(p.returncode, 2)
        self.assertIn("--headless", err)
        self.assertFalse(os.path.exists(self.log))


if __name__ == "__main__":
    unittest.main(verbosity=2)
