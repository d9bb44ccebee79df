#!/usr/bin/python3
"""Takes the screenshots of docs/screenshots/ from a build: installs it into a temporary
folder, runs the window on a private X display (Xvfb) with the test pattern, and grabs the
splash, the window folded and unfolded, each page, the snapshot preview and the device
controls dialog; then runs it headless on a home made from the starter settings, as a new
user's first start does, and takes the desktop page signed in with headless Chromium. Needs
xvfb, xdotool, x11-apps, netpbm, python3-pil, chromium and chromium-driver (see
scripts/install-deps.sh).

Usage: scripts/screenshots.py [--build-dir build] [--out docs/screenshots]
"""

import argparse
import hashlib
import os
import socket
import subprocess
import sys
import tempfile
import time

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from webdriver import Browser  # noqa: E402
from xdisplay import Display  # noqa: E402

TITLE = "Orbiscope webcam server"
# Points in the window, from its layout (the pages' own controls are the pages' to say).
PANEL = (246, 343)
SERVER_SELECTOR = (367, 67)
VIDEO_SELECTOR = (444, 67)
INFO_SELECTOR = (522, 67)
VIDEO_AREA = (125, 152)
# The video page's button that opens the device's controls (the test pattern has some).
DEVICE_CONTROLS = (595, 128)
TIMEOUT = 20.0


def shown_port():
    """The starter settings' port 8080 when it is free, so the pictures show the address a
    new user sees; else any free port."""
    for port in (8080, 0):
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return s.getsockname()[1]
    raise RuntimeError("no free port")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_settings(folder, port):
    digest = hashlib.md5(b"orbiscope").hexdigest().upper()
    text = ('<?xml version="1.0" encoding="windows-1252"?>\n<ORBISCOPEConfigSettings>'
            f"<SERVER><IP>127.0.0.1</IP><PORT>{port}</PORT><USER>admin</USER>"
            f"<PASS>{digest}</PASS><ENABLEWAP>TRUE</ENABLEWAP></SERVER>"
            "<VIDEO><FPS>15</FPS><OVERLAYTEXT><SHOWTEXT>TRUE</SHOWTEXT><TEXT>Front door</TEXT>"
            "<TIMEDATA>126</TIMEDATA><XPOS>24</XPOS><YPOS>400</YPOS>"
            "<FONT><NAME>DejaVu Sans</NAME><HEIGTH>-40</HEIGTH><COLOR>16777215</COLOR></FONT>"
            "</OVERLAYTEXT></VIDEO></ORBISCOPEConfigSettings>\n")
    with open(os.path.join(folder, "orbiscope.CONFIG.XML"), "wb") as f:
        f.write(text.encode("cp1252"))


def wait(condition, what, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise RuntimeError(f"{what} did not happen within {timeout:.0f} s")
        time.sleep(0.05)


def visible(display):
    code, out = display.run("xdotool", "search", "--onlyvisible", "--name", ".")
    return set(int(w) for w in out.split()) if code == 0 else set()


def keyed(path, picture):
    """Makes the pixels outside a shaped window transparent, as the desktop shows it."""
    shot = Image.open(path).convert("RGBA")
    shape = Image.open(picture).convert("RGB")
    if shape.size != shot.size:
        return
    pixels, source = shot.load(), shape.load()
    for yy in range(shot.size[1]):
        for xx in range(shot.size[0]):
            if source[xx, yy] == (255, 0, 255):
                pixels[xx, yy] = (0, 0, 0, 0)
    shot.save(path)


def take(build_dir, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    folder = tempfile.mkdtemp(prefix="orbiscope-shots-")
    subprocess.run(["cmake", "--install", build_dir, "--prefix", folder], check=True,
                   stdout=subprocess.DEVNULL)
    write_settings(folder, shown_port())
    display = Display(1024, 768)
    program = None
    shots = []

    def grab(name, window):
        path = os.path.join(out_dir, name)
        display.grab(path, window)
        shots.append(path)
        return path

    def page(selector, name):
        """Clicks a selector and grabs the window, the pointer parked on the status bar."""
        display.click(x + selector[0], y + selector[1])
        display.run("xdotool", "mousemove", str(x + 300), str(y + 390))
        time.sleep(0.3)
        grab(name, window)

    try:
        # Texts change every 400 ms; the splash then stays 3 s for its picture.
        env = dict(display.env, XDG_RUNTIME_DIR=folder, ORBISCOPE_SPLASH_TIMING="0,400,3000,0")
        program = subprocess.Popen([os.path.join(folder, "orbiscope")], cwd=folder, env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        splash = display.wait_for_window(TITLE, TIMEOUT, lambda g: g[2:] == (490, 250))
        time.sleep(1.0)  # past the second text
        keyed(grab("splash.png", splash),
              os.path.join(build_dir, "resources", "art", "picture-129.png"))

        window = display.wait_for_window(TITLE, TIMEOUT, lambda g: g[2:] == (256, 400))
        x, y, _, _ = display.geometry(window)
        time.sleep(2.0)  # frames flowing, the status settled
        grab("window-folded.png", window)

        display.click(x + PANEL[0], y + PANEL[1])
        wait(lambda: display.geometry(window)[2] == 636, "the panel's unfolding")
        page(SERVER_SELECTOR, "window-server-page.png")
        page(VIDEO_SELECTOR, "window-video-page.png")

        before = visible(display)
        display.click(x + DEVICE_CONTROLS[0], y + DEVICE_CONTROLS[1])
        dialog = wait(lambda: visible(display) - before, "the device controls dialog").pop()
        time.sleep(0.3)
        grab("device-controls.png", dialog)
        display.run("xdotool", "windowfocus", "--sync", str(dialog), "key", "Escape")
        wait(lambda: dialog not in visible(display), "the dialog's close")

        page(INFO_SELECTOR, "window-info-page.png")

        before = visible(display)
        display.click(x + VIDEO_AREA[0], y + VIDEO_AREA[1])
        preview = wait(lambda: visible(display) - before, "the snapshot preview").pop()
        time.sleep(0.3)
        grab("preview.png", preview)

        program.terminate()  # the preview covers the close button; SIGTERM closes the same way
        program.wait(timeout=15)
    finally:
        if program is not None and program.poll() is None:
            program.kill()
            program.wait()
        display.close()
        subprocess.run(["rm", "-rf", folder])
    for path in shots:
        print(path)


def take_desktop_page(build_dir, out_dir):
    """The desktop page of a first start: the starter's caption and time in the picture."""
    os.makedirs(out_dir, exist_ok=True)
    folder = tempfile.mkdtemp(prefix="orbiscope-page-")
    program = browser = None
    try:
        subprocess.run(["cmake", "--install", build_dir, "--prefix", folder], check=True,
                       stdout=subprocess.DEVNULL)
        port = shown_port()
        starter = os.path.join(folder, "starter.CONFIG.XML")
        with open(starter, "rb") as f:
            text = f.read()
        with open(starter, "wb") as f:
            f.write(text.replace(b"<PORT>8080</PORT>", f"<PORT>{port}</PORT>".encode()))
        env = dict(os.environ, XDG_RUNTIME_DIR=folder)
        program = subprocess.Popen([os.path.join(folder, "orbiscope"), "--headless", "--home",
                                    os.path.join(folder, "home")], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        browser = Browser("/usr/bin/chromedriver", "/usr/bin/chromium", free_port(),
                          os.path.join(folder, "chromium-profile"),
                          os.path.join(folder, "chromedriver.log"))
        base = f"http://127.0.0.1:{port}/"
        wait(lambda: subprocess.run(["curl", "-sf", "-o", "/dev/null", base]).returncode == 0,
             "the server")
        browser.get(base)
        browser.type_into("#user", "admin")
        browser.type_into("#pass", "orbiscope")
        browser.click("#signin")
        browser.execute("var s = document.getElementById('size'); s.value = '640x480';"
                        "s.dispatchEvent(new Event('change'));")
        browser.wait_for("var i = document.getElementById('picture');"
                         "return i.naturalWidth == 640 && Number(i.dataset.pictures || 0) >= 3;",
                         TIMEOUT, "the 640 x 480 picture on the desktop page")
        path = os.path.join(out_dir, "desktop-page.png")
        with open(path, "wb") as f:
            f.write(browser.screenshot("body"))
        print(path)
    finally:
        if browser is not None:
            browser.close()
        if program is not None:
            program.terminate()
            program.wait(timeout=15)
        subprocess.run(["rm", "-rf", folder])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--out", default=os.path.join(HERE, "..", "docs", "screenshots"))
    args = parser.parse_args()
    take(os.path.abspath(args.build_dir), os.path.abspath(args.out))
    take_desktop_page(os.path.abspath(args.build_dir), os.path.abspath(args.out))


if __name__ == "__main__":
    main()
