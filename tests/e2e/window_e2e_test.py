#!/usr/bin/python3
"""End to end through the desktop window: install the program, open its window on a private
X display with the test pattern, fetch the JPEG route in headless Chromium while the window
is up, press Stop and Play with the pointer, close the window with its close button, and
read the log and settings it leaves, which must be those of a headless run.

Usage: window_e2e_test.py --build-dir BUILD
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_test  # noqa: E402
from e2e_test import (CAMERA_PASSWORD, CAMERA_USER, Failure, check, check_leftovers,  # noqa: E402
                      free_port, md5_upper, step, write_settings)
from webdriver import Browser  # noqa: E402
from xdisplay import Display  # noqa: E402

TITLE = "Orbiscope webcam server"  # string 163, the window's title
FOLDED = (256, 400)
# Centres of the controls in the window, from its layout.
STOP = (164, 244)
PLAY = (126, 248)
CLOSE_FROM_RIGHT = (21, 22)
TIMEOUT = 20.0


def jpeg_url(base):
    return (f"{base}image%20?user={CAMERA_USER}%20pass={md5_upper(CAMERA_PASSWORD)}"
            "%20w=320%20h=240")


def answers(url):
    """The status of a GET, or None when nothing listens."""
    try:
        with urllib.request.urlopen(url, timeout=5) as r:
            r.read()
            return r.status
    except urllib.error.HTTPError as e:
        return e.code
    except (urllib.error.URLError, ConnectionError):
        return None


def wait_until(condition, what, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise Failure(f"{what} did not happen within {timeout:.0f} s")
        time.sleep(0.05)


def run(build_dir, keep):
    folder = tempfile.mkdtemp(prefix="orbiscope-window-e2e-")
    display = program = browser = None
    output = os.path.join(folder, "program-output.txt")
    try:
        step(f"installing into {folder}")
        result = subprocess.run(["cmake", "--install", build_dir, "--prefix", folder],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        check(result.returncode == 0, "cmake --install failed:\n" + result.stdout.decode())
        port = free_port()
        write_settings(folder, port)
        base = f"http://127.0.0.1:{port}/"

        display = Display()

        def start(splash_timing):
            env = dict(display.env, XDG_RUNTIME_DIR=folder, ORBISCOPE_SPLASH_TIMING=splash_timing)
            with open(output, "wb") as out:
                return subprocess.Popen([os.path.join(folder, "orbiscope")], cwd=folder,
                                        env=env, stdout=out, stderr=subprocess.STDOUT,
                                        start_new_session=True)

        step("SIGTERM during the splash waits for the start-up, then closes cleanly")
        program = start("0,400,400,0")
        display.wait_for_window(TITLE, TIMEOUT, lambda g: g[2:] == (490, 250))
        program.terminate()
        code = program.wait(timeout=30)
        check(code == 0, f"the program ended with {code}")
        with open(os.path.join(folder, "orbiscope.LOG.xml"), "rb") as f:
            log = f.read()
        check(log.count(b"Iniciado Servidor Web") == 1 and b"No se ha iniciado" not in log
              and log.index(b"Creados dialogos de opciones") < log.index(b"Finalizado Servidor Web"),
              "the close did not wait for the start-up to finish")

        step(f"opening the window on {display.name}, splash shortened")
        program = start("0,20,20,0")
        window = display.wait_for_window(TITLE, TIMEOUT, lambda g: g[2:] == FOLDED)
        x, y, width, _ = display.geometry(window)

        step("a browser fetches the JPEG route while the window is up")
        wait_until(lambda: answers(jpeg_url(base)) == 200, "a JPEG answer")
        browser = Browser(shutil.which("chromedriver") or "/usr/bin/chromedriver",
                          shutil.which("chromium") or "/usr/bin/chromium", free_port(),
                          os.path.join(folder, "chromium-profile"),
                          os.path.join(folder, "chromedriver.log"))
        browser.get(jpeg_url(base))
        size = browser.wait_for("var i = document.images[0];"
                                "return i && i.complete && i.naturalWidth > 0 &&"
                                " [i.naturalWidth, i.naturalHeight];", 10, "the picture")
        check(size == [320, 240], f"the JPEG picture is {size}, expected 320x240")
        browser.close()
        browser = None
        wml = (f"{base}image.wml?user={CAMERA_USER}&pass={CAMERA_PASSWORD}")
        check(answers(wml) == 200, "the WBMP route did not answer")

        step("Stop in the window stops the server")
        display.click(x + STOP[0], y + STOP[1])
        wait_until(lambda: answers(base) is None, "the server's stop")

        step("Play in the window starts it again")
        display.click(x + PLAY[0], y + PLAY[1])
        wait_until(lambda: answers(jpeg_url(base)) == 200, "a JPEG answer after Play")

        step("the close button ends the program cleanly")
        display.click(x + width - CLOSE_FROM_RIGHT[0], y + CLOSE_FROM_RIGHT[1])
        try:
            code = program.wait(timeout=15)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end within 15 s of its close button") from None
        check(code == 0, f"the program ended with {code}")
        check_leftovers(folder, port)
        with open(os.path.join(folder, "orbiscope.LOG.xml"), "rb") as f:
            log = f.read()
        check(log.count(b"<Entry>Iniciado Servidor Web</Entry>") == 2,
              "the log does not show two server starts")
        check(b"<Entry>Parada captura Web</Entry>" in log, "the log does not show the Stop")
        print("PASSED", flush=True)
        return 0
    except Failure as e:
        print(f"FAILED: {e}", flush=True)
        if os.path.exists(output):
            with open(output, errors="replace") as f:
                print("program's output:\n" + f.read()[-4000:], flush=True)
        return 1
    finally:
        if browser is not None:
            browser.close()
        if program is not None and program.poll() is None:
            program.kill()
            program.wait()
        if display is not None:
            display.close()
        if keep:
            print(f"kept {folder}")
        else:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(e2e_test.main(run, __doc__))
