#!/usr/bin/python3
"""The Debian package: built by CPack from the build folder, its file list and control data,
lintian, the desktop entry, and the packaged program run headless from a throw-away root
with a home made on its first start, serving a picture and the status page. (unit_test.py
verifies the service unit.)

Usage: package_test.py BUILD_DIR SOURCE_DIR
"""
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

from PIL import Image

BUILD, SOURCE = (os.path.abspath(a) for a in sys.argv[1:3])
del sys.argv[1:3]
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
import program  # noqa: E402


def run(*command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)


def expected_files():
    """Every file and link the package must hold, and nothing else."""
    files = {
        "lib/systemd/system/orbiscope.service",
        "usr/bin/orbiscope",
        "usr/lib/orbiscope/orbiscope",
        "usr/lib/orbiscope/Resource.so",
        "usr/share/applications/orbiscope.desktop",
        "usr/share/doc/orbiscope/changelog.gz",
        "usr/share/doc/orbiscope/copyright",
        "usr/share/doc/orbiscope/examples/orbiscope-nginx.conf",
        "usr/share/man/man1/orbiscope.1.gz",
        "usr/share/orbiscope/Log.xsl",
        "usr/share/orbiscope/WebServer.config.xml",
        "usr/share/orbiscope/starter.CONFIG.XML",
    }
    pages = os.path.join(SOURCE, "root")
    for folder, _, names in os.walk(pages):
        for name in names:
            if name != "CMakeLists.txt":
                files.add("usr/share/orbiscope/root/" + os.path.relpath(os.path.join(folder, name), pages))
    if os.path.exists(os.path.join(SOURCE, "resources", "art", "orbiscope.svg")):
        files.add("usr/share/icons/hicolor/scalable/apps/orbiscope.svg")
    return files


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="orbiscope-package-")
        result = run("cpack", "-G", "DEB", "-B", cls.tmp, cwd=BUILD)
        if result.returncode != 0:
            shutil.rmtree(cls.tmp)
            raise AssertionError("cpack failed:\n" + result.stdout)
        [cls.deb] = [os.path.join(cls.tmp, n) for n in os.listdir(cls.tmp) if n.endswith(".deb")]
        cls.root = os.path.join(cls.tmp, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_file_list(self):
        listing = run("dpkg-deb", "-c", self.deb).stdout.splitlines()
        entries = {}
        for line in listing:
            mode, _, _, _, _, path = line.split(None, 5)
            if not mode.startswith("d"):
                entries[path.removeprefix("./").split(" -> ")[0]] = (mode, path)
        self.assertEqual(set(entries), expected_files())
        self.assertTrue(entries["usr/bin/orbiscope"][1].endswith(" -> ../lib/orbiscope/orbiscope"))
        self.assertEqual(entries["usr/lib/orbiscope/orbiscope"][0], "-rwxr-xr-x")

    def test_control_data(self):
        fields = run("dpkg-deb", "-f", self.deb, "Package", "Depends").stdout
        self.assertIn("Package: orbiscope", fields)
        # From dpkg-shlibdeps: the libraries the binaries link, with versions.
        for library in ("libc6 (>=", "libjpeg62-turbo (>=", "libxml2 (>=", "adduser"):
            self.assertIn(library, fields)
        control = os.path.join(self.tmp, "control")
        subprocess.run(["dpkg-deb", "-e", self.deb, control], check=True)
        for script in ("postinst", "prerm", "postrm"):
            path = os.path.join(control, script)
            self.assertTrue(os.access(path, os.X_OK), script)
            self.assertEqual(run("sh", "-n", path).returncode, 0, script)

    def test_lintian_finds_no_errors(self):
        result = run("lintian", "--fail-on", "error", "--tag-display-limit", "0", self.deb)
        print("\n" + result.stdout, file=sys.stderr)
        self.assertEqual(result.returncode, 0, result.stdout)

    def test_desktop_entry_is_valid(self):
        result = run("desktop-file-validate",
                     os.path.join(self.root, "usr/share/applications/orbiscope.desktop"))
        self.assertEqual(result.returncode, 0, result.stdout)

    def test_service_unit_is_the_verified_one(self):
        with open(os.path.join(self.root, "lib/systemd/system/orbiscope.service"), "rb") as packaged, \
                open(os.path.join(SOURCE, "packaging/orbiscope.service"), "rb") as source:
            self.assertEqual(packaged.read(), source.read(), "unit_test.py verifies the source's unit")

    def test_packaged_program_makes_its_home_and_serves(self):
        exe = os.path.join(self.root, "usr/lib/orbiscope/orbiscope")
        self.assertEqual(os.path.realpath(os.path.join(self.root, "usr/bin/orbiscope")), exe)
        # The packaged starter settings, moved to a free port and the test pattern.
        port = program.free_port()
        starter = os.path.join(self.root, "usr/share/orbiscope/starter.CONFIG.XML")
        text = program.starter_on_port(starter, port)
        with open(starter, "wb") as f:
            f.write(text.encode("cp1252"))
        home = os.path.join(self.tmp, "home")
        server = program.Program(exe, ["--home", home], self.tmp)
        try:
            self.assertEqual(server.wait_serving(), f"http://127.0.0.1:{port}/")
            status, headers, body = program.fetch(
                f"http://127.0.0.1:{port}/image%20?user={program.STARTER_USER}%20pass="
                f"{program.STARTER_DIGEST}%20w=320%20h=240")
            self.assertEqual((status, headers.get("Content-Type")), (200, "image/jpeg"))
            self.assertEqual(Image.open(io.BytesIO(body)).size, (320, 240))
            status, headers, body = program.fetch(
                f"http://127.0.0.1:{port}/status.json?user={program.STARTER_USER}&pass="
                f"{program.STARTER_DIGEST}")
            self.assertEqual((status, headers.get("Content-Type")), (200, "application/json"))
            page = json.loads(body)
            self.assertEqual((page["state"], page["device"]), ("running", "Orbiscope test pattern"))
            self.assertGreaterEqual(page["frames"], 1)
            self.assertEqual(server.terminate(), 0)
        finally:
            server.kill()

        for name in ("orbiscope.CONFIG.XML", "orbiscope.LOG.xml", "WebServer.config.xml", "Log.xsl",
                     "root/index.html"):
            self.assertTrue(os.path.isfile(os.path.join(home, name)), name)
        settings = ET.parse(os.path.join(home, "orbiscope.CONFIG.XML")).getroot()
        self.assertEqual(settings.findtext("SERVER/VIRTDIR"), os.path.join(home, "root"))
        self.assertEqual(settings.findtext("VIDEO/DEVICE"), "Orbiscope test pattern")
        with open(os.path.join(home, "orbiscope.LOG.xml"), "rb") as f:
            self.assertIn(b"<Entry>Log File closed</Entry>", f.read())
        self.assertEqual(sorted(os.listdir(os.path.dirname(exe))), ["Resource.so", "orbiscope"],
                         "nothing is written beside the packaged program")


if __name__ == "__main__":
    unittest.main(verbosity=2)
