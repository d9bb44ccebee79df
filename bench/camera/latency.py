#!/usr/bin/python3
"""Capture-to-client time of one local viewer of the live stream /stream.mjpg.

  latency.py PORT [--seconds 20] [--fps 30] [--width 0] [--height 0] [--user admin]
             [--digest HEX] [--expect-size WxH]
      Reads the stream part by part as it arrives and, for every part, takes the time the
      whole part has arrived less its X-Timestamp (the capture time of the frame, seconds
      since the epoch with three decimals; same machine, so the same clock). Prints the
      count, median, p99 and worst in milliseconds beside the targets (median under one
      frame interval + 15 ms, p99 under three frame intervals) and exits 1 when one is
      missed, when a part has no X-Timestamp, or when a part is not of the expected size.

  latency.py --self-test
      Measures a stand-in stream on loopback whose parts are stamped a known time before
      they are sent, and one whose parts carry no stamp; checks both verdicts.
"""

import argparse
import socket
import statistics
import struct
import sys
import threading
import time

TIMEOUT = 10.0  # a stream that sends nothing for this long has stalled


def jpeg_size(data):
    """Width and height from a JPEG's first frame header, or None."""
    i = 2
    while i + 9 < len(data):
        if data[i] != 0xFF:
            return None
        marker = data[i + 1]
        length = struct.unpack(">H", data[i + 2:i + 4])[0]
        if marker in (0xC0, 0xC1, 0xC2):
            h, w = struct.unpack(">HH", data[i + 5:i + 9])
            return w, h
        i += 2 + length
    return None


class Stream:
    """The parts of a multipart answer, read from a socket as they arrive."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = b""

    def _fill(self):
        chunk = self.sock.recv(1 << 20)
        if not chunk:
            raise EOFError("the stream ended")
        self.buf += chunk

    def line_block(self):
        """Bytes up to and including the next blank line."""
        while b"\r\n\r\n" not in self.buf:
            self._fill()
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        return head.decode("latin-1")

    def take(self, n):
        while len(self.buf) < n:
            self._fill()
        data, self.buf = self.buf[:n], self.buf[n:]
        return data


def fields(block):
    out = {}
    for line in block.split("\r\n")[1:]:
        name, _, value = line.partition(":")
        out[name.strip().lower()] = value.strip()
    return out


def measure(port, path, seconds, expect_size=None):
    """Latencies in seconds of the parts received within `seconds`; raises on a fault."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
    sock.sendall(f"GET {path} HTTP/1.0\r\n\r\n".encode())
    stream = Stream(sock)
    head = stream.line_block()
    if " 200 " not in head.split("\r\n")[0]:
        raise RuntimeError("answer: " + head.split("\r\n")[0])
    latencies = []
    end = time.monotonic() + seconds
    try:
        while time.monotonic() < end:
            part = stream.line_block()
            # The block holds the boundary line (after the previous part's line end) and fields.
            f = fields(part.lstrip("\r\n"))
            body = stream.take(int(f["content-length"]))
            arrived = time.time()
            if "x-timestamp" not in f:
                raise RuntimeError("a part without X-Timestamp")
            latencies.append(arrived - float(f["x-timestamp"]))
            if expect_size is not None and jpeg_size(body) != expect_size:
                raise RuntimeError(f"a part of size {jpeg_size(body)}, not {expect_size}")
    finally:
        sock.close()
    return latencies


def verdict(latencies, fps):
    """Lines to print and whether every target was met."""
    if len(latencies) < 10:
        return [f"only {len(latencies)} parts arrived"], False
    ms = sorted(x * 1000 for x in latencies)
    median = statistics.median(ms)
    p99 = ms[min(len(ms) - 1, int(len(ms) * 0.99))]
    interval = 1000.0 / fps
    median_target, p99_target = interval + 15, 3 * interval
    ok = median < median_target and p99 < p99_target
    return [f"parts {len(ms)}",
            f"median {median:.1f} ms (target < {median_target:.1f}) {'ok' if median < median_target else 'MISSED'}",
            f"p99 {p99:.1f} ms (target < {p99_target:.1f}) {'ok' if p99 < p99_target else 'MISSED'}",
            f"worst {ms[-1]:.1f} ms, best {ms[0]:.1f} ms"], ok


def stand_in(delay, stamped):
    """A loopback stream of small JPEG-looking parts stamped `delay` seconds early."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    body = b"\xff\xd8\xff\xc0\x00\x11\x08\x00\x10\x00\x20" + b"\x00" * 12 + b"\xff\xd9"

    def serve():
        conn, _ = server.accept()
        conn.recv(4096)
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=b\r\n\r\n")
        try:
            while True:
                stamp = f"X-Timestamp: {time.time() - delay:.3f}\r\n" if stamped else ""
                conn.sendall(f"--b\r\nContent-Type: image/jpeg\r\nContent-Length: {len(body)}\r\n{stamp}\r\n".encode()
                             + body + b"\r\n")
                time.sleep(0.01)
        except OSError:
            pass
        finally:
            conn.close()
            server.close()

    threading.Thread(target=serve, daemon=True).start()
    return server.getsockname()[1]


def self_test():
    failures = 0
    lat = measure(stand_in(0.020, True), "/", 1.0, expect_size=(32, 16))
    lines, ok = verdict(lat, 30)
    median = statistics.median(lat)
    if not (0.018 <= median <= 0.030) or not ok:
        print("FAIL: a 20 ms stamp measured", lines)
        failures += 1
    lines, ok = verdict(measure(stand_in(0.200, True), "/", 1.0), 30)
    if ok:
        print("FAIL: 200 ms passed the targets at 30 fps", lines)
        failures += 1
    try:
        measure(stand_in(0.0, False), "/", 1.0)
        print("FAIL: parts without X-Timestamp were accepted")
        failures += 1
    except RuntimeError:
        pass
    print("self-test", "failed" if failures else "passed")
    return 1 if failures else 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    ap = argparse.ArgumentParser()
    ap.add_argument("port", type=int)
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--fps", type=float, default=30)
    ap.add_argument("--width", type=int, default=0)
    ap.add_argument("--height", type=int, default=0)
    ap.add_argument("--user", default="admin")
    ap.add_argument("--digest", default="6EAECEABA6C8C60FB12DE835AEDF52D1")
    ap.add_argument("--expect-size", default=None)
    a = ap.parse_args()
    expect = tuple(int(v) for v in a.expect_size.split("x")) if a.expect_size else None
    path = f"/stream.mjpg?user={a.user}&pass={a.digest}&w={a.width}&h={a.height}"
    try:
        lat = measure(a.port, path, a.seconds, expect)
    except (RuntimeError, EOFError, OSError, KeyError, ValueError) as e:
        print(f"FAILED: {e}")
        return 1
    lines, ok = verdict(lat, a.fps)
    for line in lines:
        print(line)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
