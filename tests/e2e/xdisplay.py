"""A private X display for driving the desktop window: Xvfb, finding windows, clicks and
screen grabs, with Debian's xvfb, xdotool, x11-apps (xwd) and netpbm."""

import os
import subprocess
import time


class XError(RuntimeError):
    pass


class Display:
    """An Xvfb server on a free display number, ended on close()."""

    def __init__(self, width=1024, height=768):
        read_fd, write_fd = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{width}x{height}x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        os.close(write_fd)
        number = b""
        with os.fdopen(read_fd, "rb") as pipe:
            number = pipe.readline().strip()
        if not number:
            self.close()
            raise XError("Xvfb did not start")
        self.name = ":" + number.decode()
        self.env = dict(os.environ, DISPLAY=self.name)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env.pop("QT_QPA_PLATFORM", None)

    def run(self, *args, timeout=10):
        result = subprocess.run(list(args), env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=timeout)
        return result.returncode, result.stdout.decode(errors="replace")

    def windows(self, title):
        """Ids of the visible windows whose title is exactly `title`."""
        code, out = self.run("xdotool", "search", "--onlyvisible", "--name", f"^{title}$")
        return [int(w) for w in out.split()] if code == 0 else []

    def geometry(self, window):
        """(x, y, width, height) of a window."""
        code, out = self.run("xdotool", "getwindowgeometry", "--shell", str(window))
        if code != 0:
            raise XError(f"no geometry for window {window}")
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def wait_for_window(self, title, timeout, accept=lambda geometry: True):
        """The first visible window of that title whose geometry `accept`s, within timeout."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for window in self.windows(title):
                try:
                    if accept(self.geometry(window)):
                        return window
                except XError:
                    pass  # it went away between the search and the question
            time.sleep(0.05)
        raise XError(f"no window {title!r} within {timeout:.0f} s")

    def click(self, x, y):
        code, out = self.run("xdotool", "mousemove", "--sync", str(x), str(y), "click", "1")
        if code != 0:
            raise XError(f"xdotool could not click at {x},{y}: {out}")

    def grab(self, path, window=None):
        """Saves the screen (or one window) as PNG."""
        xwd = subprocess.run(["xwd", "-silent"] + (["-id", str(window)] if window else ["-root"]),
                             env=self.env, stdout=subprocess.PIPE, check=True, timeout=20).stdout
        pnm = subprocess.run(["xwdtopnm"], input=xwd, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, check=True).stdout
        with open(path, "wb") as f:
            f.write(subprocess.run(["pnmtopng"], input=pnm, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, check=True).stdout)

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
