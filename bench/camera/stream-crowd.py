#!/usr/bin/python3
"""A crowd of viewers of the live stream /stream.mjpg, each on its own loopback address
(127.0.1.1, 127.0.1.2, ...), as viewers come from many machines.

  stream-crowd.py PORT PID [--viewers 200] [--seconds 30] [--width 640] [--height 480]
                  [--user admin] [--digest HEX] [--fps 15] [--per-viewer]
      Every viewer reads its stream as it arrives, part by part, with the boundary the
      answer's header names, and checks each part: a JPEG of the requested size, never a
      frame it already had. Over the measured window (after every viewer has connected)
      it counts the distinct frames each viewer received against the frames the server
      published in that window (every frame any viewer received first within it), and
      samples the server's CPU time (/proc/PID/stat) and resident size (/proc/PID/status).
      Exits 1 when the worst viewer got less than 95 % of the frames, a viewer failed or
      met a malformed or repeated part, the server used more than half of one core, or
      its resident size went above 128 MiB.

  stream-crowd.py --self-test
      Runs the crowd against stand-in stream servers on loopback, one good and one per
      fault the crowd must catch, and checks its verdicts. Exits 1 when one is wrong.
"""

import argparse
import asyncio
import email.message
import gc
import multiprocessing
import os
import resource
import statistics
import struct
import sys
import time
import zlib
from dataclasses import dataclass, field

TIMEOUT = 10.0  # a stream that sends nothing for this long has stalled
MIN_SHARE = 0.95
MAX_CPU = 0.5  # of one core
MAX_RSS_MIB = 128


def source(i):
    """The i-th viewer's address: 127.0.1.1, 127.0.1.2, ... (never 127.0.0.1)."""
    return "127.0.%d.%d" % (1 + i // 250, 1 + i % 250)


def proc_cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def jpeg_size(data):
    """(width, height) from a JPEG's frame header, or None when it is not a whole JPEG."""
    if not (data.startswith(b"\xff\xd8") and data.endswith(b"\xff\xd9")):
        return None
    at = 2
    while at + 4 <= len(data) and data[at] == 0xFF:
        marker, length = data[at + 1], struct.unpack_from(">H", data, at + 2)[0]
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            if at + 9 > len(data):
                return None
            height, width = struct.unpack_from(">HH", data, at + 5)
            return width, height
        at += 2 + length
    return None


class StreamError(Exception):
    pass


class MultipartReader:
    """Parts of a multipart/x-mixed-replace body, read from the stream as they arrive.
    A part with a Content-Length is read by its length (its bytes may hold anything, the
    boundary too), and must then be followed by the next delimiter; one without is read
    up to the next delimiter."""

    def __init__(self, reader, boundary):
        self.reader = reader
        self.delimiter = b"--" + boundary
        self.at_delimiter = False  # the delimiter line before the next part is consumed
        self.closed = False  # the closing delimiter has been read
        self.first = True

    async def line(self):
        line = await self.reader.readline()
        if not line.endswith(b"\n"):
            raise StreamError("the stream ended inside a part" if line else "the server closed the stream")
        return line.rstrip(b"\r\n")

    async def next_part(self):
        """(headers, body) of the next part, or None after the closing delimiter."""
        if self.closed:
            return None
        if not self.at_delimiter:
            line = await self.line()
            # The body's closing CRLF, and before the first part a preamble, may come first.
            while line != self.delimiter and line != self.delimiter + b"--" and (line == b"" or self.first):
                line = await self.line()
            if line == self.delimiter + b"--":
                return None
            if line != self.delimiter:
                raise StreamError("expected the boundary, got %r" % line[:60])
        self.first = False
        self.at_delimiter = False
        headers = {}
        while True:
            line = await self.line()
            if not line:
                break
            name, _, value = line.decode("latin-1").partition(":")
            headers[name.strip().lower()] = value.strip()
        if "content-length" in headers:
            body = await self.reader.readexactly(int(headers["content-length"]))
            if await self.reader.readexactly(2) != b"\r\n":
                raise StreamError("a part is longer than its Content-Length")
        else:
            body = (await self.reader.readuntil(b"\r\n" + self.delimiter))[:-len(self.delimiter) - 2]
            end = await self.reader.readexactly(2)
            if end not in (b"--", b"\r\n"):
                raise StreamError("expected a line end after the boundary")
            self.closed = end == b"--"
            self.at_delimiter = True
        return headers, body


async def open_stream(port, path, i):
    """(reader, writer, boundary) of a viewer's stream."""
    # A part without Content-Length is read up to the next boundary: room for a large frame.
    reader, writer = await asyncio.open_connection("127.0.0.1", port, local_addr=(source(i), 0), limit=1 << 24)
    writer.write(("GET %s HTTP/1.0\r\n\r\n" % path).encode())
    head = await reader.readuntil(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = lines[0].split()
    if len(status) < 2 or status[1] != "200":
        writer.close()
        raise StreamError("answered %s" % " ".join(status[1:]))
    message = email.message.Message()
    for line in lines[1:]:
        if ":" in line:
            name, value = line.split(":", 1)
            message[name.strip()] = value.strip()
    if message.get_content_type() != "multipart/x-mixed-replace" or not message.get_param("boundary"):
        writer.close()
        raise StreamError("not a multipart stream: %r" % message.get("Content-Type"))
    return reader, writer, message.get_param("boundary").encode("latin-1")


@dataclass
class Viewer:
    frames: set = field(default_factory=set)
    repeats: int = 0
    malformed: int = 0
    error: str = ""


@dataclass
class Result:
    viewers: list
    published: int
    window: float
    cpu: float  # of one core
    rss_peak_mib: float
    client_cpu: float

    def shares(self):
        return [len(v.frames) / self.published if self.published else 0.0 for v in self.viewers]


async def watch(viewer, i, port, path, size, first_seen):
    try:
        reader, writer, boundary = await asyncio.wait_for(open_stream(port, path, i), TIMEOUT)
    except Exception as e:  # whatever it was, this viewer got nothing, and says why
        viewer.error = str(e) or type(e).__name__
        return
    parts = MultipartReader(reader, boundary)
    try:
        async with asyncio.timeout(TIMEOUT) as deadline:
            while (part := await parts.next_part()) is not None:
                deadline.reschedule(asyncio.get_running_loop().time() + TIMEOUT)
                headers, body = part
                if headers.get("content-type") != "image/jpeg" or (size and jpeg_size(body) != size):
                    viewer.malformed += 1
                    continue
                key = (len(body), zlib.crc32(body))
                if key in viewer.frames:
                    viewer.repeats += 1
                    continue
                viewer.frames.add(key)
                first_seen.setdefault(key, time.monotonic())
            viewer.error = "the server ended the stream"
    except Exception as e:
        viewer.error = "stalled" if isinstance(e, TimeoutError) else (str(e) or type(e).__name__)
    finally:
        writer.close()


async def crowd(port, path, pid, viewers, seconds, size, stagger=1.0, settle=1.0, grace=1.0):
    """The crowd's Result: viewers connect over `stagger` seconds, the window opens
    `settle` seconds later and lasts `seconds`; viewers then read on for `grace` seconds,
    so that a frame published late in the window still reaches a viewer that lags."""
    first_seen = {}
    watchers = [Viewer() for _ in range(viewers)]

    async def start(i):
        await asyncio.sleep(stagger * i / viewers)
        await watch(watchers[i], i, port, path, size, first_seen)

    tasks = [asyncio.create_task(start(i)) for i in range(viewers)]
    await asyncio.sleep(stagger + settle)
    begin, cpu_begin, own_begin = time.monotonic(), proc_cpu_seconds(pid), time.process_time()
    rss_peak = proc_rss_kib(pid)
    while time.monotonic() < begin + seconds:
        await asyncio.sleep(min(0.25, max(begin + seconds - time.monotonic(), 0)))
        rss_peak = max(rss_peak, proc_rss_kib(pid))
    end, cpu_end, own_end = time.monotonic(), proc_cpu_seconds(pid), time.process_time()
    await asyncio.sleep(grace)
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)

    window = {key for key, at in first_seen.items() if begin <= at <= end}
    for viewer in watchers:
        viewer.frames &= window
    return Result(watchers, len(window), end - begin, (cpu_end - cpu_begin) / (end - begin),
                  rss_peak / 1024, (own_end - own_begin) / (end - begin))


def verdict(result, per_viewer=False, fps=None):
    """(report lines, passed)."""
    shares = result.shares()
    worst, median = min(shares), statistics.median(shares)
    failed = [(i, v.error) for i, v in enumerate(result.viewers) if v.error]
    repeats = sum(v.repeats for v in result.viewers)
    malformed = sum(v.malformed for v in result.viewers)
    rate = result.published / result.window
    checks = {
        "share": result.published > 0 and worst >= MIN_SHARE,
        "viewers": not failed and not repeats and not malformed,
        "cpu": result.cpu <= MAX_CPU,
        "rss": result.rss_peak_mib <= MAX_RSS_MIB,
    }
    ok = lambda name: "ok" if checks[name] else "MISSED"  # noqa: E731
    lines = [
        "%d viewers for %.1f s: the server published %d frames (%.1f a second%s)" % (
            len(shares), result.window, result.published, rate,
            ", nominal %g" % fps if fps else ""),
        "frames received per viewer: worst %.1f %%, median %.1f %% (target at least %.0f %%: %s)" % (
            worst * 100, median * 100, MIN_SHARE * 100, ok("share")),
        "viewers failed %d, repeated frames %d, malformed parts %d (target none: %s)" % (
            len(failed), repeats, malformed, ok("viewers")),
        "server CPU %.2f of one core (target at most %.1f: %s); resident size peak %.1f MiB "
        "(target at most %d: %s)" % (result.cpu, MAX_CPU, ok("cpu"), result.rss_peak_mib, MAX_RSS_MIB, ok("rss")),
        "this client's CPU %.2f of one core%s" % (
            result.client_cpu, " (near one core: the client may be what drops frames)" if result.client_cpu > 0.8 else ""),
    ]
    order = sorted(range(len(shares)), key=lambda i: shares[i])
    for i in (order if per_viewer else order[:5]):
        v = result.viewers[i]
        lines.append("  viewer %d (%s): %d of %d%s" % (i, source(i), len(v.frames), result.published,
                                                      ", " + v.error if v.error else ""))
    for error in sorted({e for _, e in failed}):
        lines.append("  %d viewers: %s" % (sum(1 for _, e in failed if e == error), error))
    return lines, all(checks.values())


# --- The self-test: stand-in stream servers, each good or with one fault -----------------

STAND_IN_USER, STAND_IN_DIGEST = "bench", "0123456789abcdef0123456789abcdef"
# Quoted in the header, and written into every frame, so the reader must go by the lengths.
STAND_IN_BOUNDARY = "stand-in:frame=boundary"


def fake_jpeg(number, width, height):
    """Enough of a JPEG for the crowd's checks: markers, a frame header, a body that varies."""
    sof = b"\xff\xc0" + struct.pack(">HBHHB", 17, 8, height, width, 3) + bytes(9)
    body = b"frame %d\r\n--%s\r\n" % (number, STAND_IN_BOUNDARY.encode()) + bytes(number % 50)
    return b"\xff\xd8" + sof + b"\xff\xda" + body + b"\xff\xd9"


def part(frame, length=None):
    return b"--%s\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n%s\r\n" % (
        STAND_IN_BOUNDARY.encode(), len(frame) if length is None else length, frame)


async def stand_in(fault, fps, ready):
    """A stream server publishing `fps` frames a second. Its fault, for the first viewer
    (127.0.1.1) only: "drop" every fifth frame, "repeat" every seventh, "length" one
    Content-Length short; "" none. A viewer with a frame still queued skips the next."""
    streams = set()

    async def answer(reader, writer):
        head = await reader.readuntil(b"\r\n\r\n")
        target = head.split(b" ")[1].decode()
        route, _, query = target.partition("?")
        values = dict(item.partition("=")[::2] for item in query.split("&"))
        if (route != "/stream.mjpg" or values.get("user") != STAND_IN_USER or
                values.get("pass", "").lower() != STAND_IN_DIGEST):
            writer.write(b"HTTP/1.0 401 Unauthorized\r\nContent-Length: 0\r\n\r\n")
            writer.close()
            return
        writer.write(b"HTTP/1.0 200 OK\r\nCache-Control: no-cache\r\n"
                     b"Content-Type: multipart/x-mixed-replace; boundary=\"%s\"\r\n\r\n" % STAND_IN_BOUNDARY.encode())
        size = (int(values.get("w", 0)) or 640, int(values.get("h", 0)) or 480)
        first = writer.get_extra_info("peername")[0] == source(0)
        stream = (writer, size, fault if first else "")
        streams.add(stream)
        try:
            await reader.read()  # until the viewer goes
        except ConnectionError:
            pass  # a viewer that leaves with frames unread resets the connection
        finally:
            streams.discard(stream)
            writer.close()

    server = await asyncio.start_server(answer, "127.0.0.1", 0)
    ready.send(server.sockets[0].getsockname()[1])
    number, start = 0, time.monotonic()
    while True:
        number += 1
        await asyncio.sleep(max(start + number / fps - time.monotonic(), 0))
        for writer, (w, h), fault in list(streams):
            frame = fake_jpeg(number, w, h)
            if writer.transport.get_write_buffer_size() > len(frame):
                continue
            if fault == "drop" and number % 5 == 0:
                continue
            writer.write(part(frame, len(frame) - 1 if fault == "length" and number == 10 else None))
            if fault == "repeat" and number % 7 == 0:
                writer.write(part(frame))


def run_stand_in(fault, fps, ready):
    asyncio.run(stand_in(fault, fps, ready))


def self_test():
    fps, seconds, viewers = 40, 1.5, 12
    path = "/stream.mjpg?user=%s&pass=%s&w=320&h=240" % (STAND_IN_USER, STAND_IN_DIGEST.upper())
    wrong = path.replace(STAND_IN_DIGEST.upper(), "0" * 32)
    # (fault of the stand-in, path, what the verdict must say)
    cases = [
        ("", path, "passes, every viewer with every frame"),
        ("drop", path, "fails on the share: one viewer got four frames in five"),
        ("repeat", path, "fails on the repeated frames"),
        ("length", path, "fails on the viewer whose stream broke"),
        ("", wrong, "fails: every viewer refused"),
    ]
    servers = []
    try:
        for fault, _, _ in cases:
            mine, theirs = multiprocessing.Pipe()
            process = multiprocessing.Process(target=run_stand_in, args=(fault, fps, theirs), daemon=True)
            process.start()
            if not mine.poll(10):
                raise SystemExit("a stand-in server did not start")
            servers.append((process, mine.recv()))

        async def all_cases():
            return await asyncio.gather(*(
                crowd(port, p, process.pid, viewers, seconds, (320, 240), stagger=0.2, settle=0.3, grace=0.3)
                for (process, port), (_, p, _) in zip(servers, cases)))

        results = asyncio.run(all_cases())
    finally:
        for process, _ in servers:
            process.terminate()
            process.join(5)

    wrong_outcomes = []

    def expect(name, condition, result):
        if not condition:
            wrong_outcomes.append("%s:\n    %s" % (name, "\n    ".join(verdict(result)[0])))

    for (fault, p, says), result in zip(cases, results):
        lines, passed = verdict(result)
        shares = result.shares()
        print("stand-in %-8s %-45s -> %s" % (fault or ("good" if p == path else "refuses"), says, lines[1]))
        if fault == "" and p == path:
            # The stand-in's clock may fall behind on a busy machine, never ahead.
            expect(says, passed and fps * seconds / 2 <= result.published <= fps * seconds + 2
                   and result.rss_peak_mib > 0 and result.cpu >= 0, result)
        elif fault == "drop":
            expect(says, not passed and 0.7 <= min(shares) <= 0.9 and statistics.median(shares) == 1.0, result)
        elif fault == "repeat":
            expect(says, not passed and result.viewers[0].repeats > 0 and
                   sum(v.repeats for v in result.viewers[1:]) == 0, result)
        elif fault == "length":
            expect(says, not passed and "longer than its Content-Length" in result.viewers[0].error and
                   not any(v.error for v in result.viewers[1:]), result)
        else:
            expect(says, not passed and result.published == 0 and
                   all(v.error == "answered 401 Unauthorized" for v in result.viewers), result)

    # The resource limits, on figures made up to straddle them.
    good = results[0]
    for cpu, rss, passes in ((MAX_CPU, MAX_RSS_MIB, True), (MAX_CPU + 0.01, 1, False), (0, MAX_RSS_MIB + 1, False)):
        made_up = Result(good.viewers, good.published, good.window, cpu, rss, 0)
        expect("cpu %.2f, rss %d MiB %s" % (cpu, rss, "passes" if passes else "fails"),
               verdict(made_up)[1] == passes, made_up)

    # A part without Content-Length is read up to the next delimiter.
    async def without_length():
        reader = asyncio.StreamReader()
        reader.feed_data(b"\r\n--b\r\nContent-Type: image/jpeg\r\n\r\nab\r\n-c\r\n--b\r\n\r\nxyz\r\n--b--\r\n")
        reader.feed_eof()
        parts = MultipartReader(reader, b"b")
        return [p[1] async for p in iterate(parts)]

    async def iterate(parts):
        while (p := await parts.next_part()) is not None:
            yield p

    bodies = asyncio.run(without_length())
    if bodies != [b"ab\r\n-c", b"xyz"]:
        wrong_outcomes.append("parts without Content-Length read as %r" % bodies)

    for wrong_outcome in wrong_outcomes:
        print("WRONG: " + wrong_outcome)
    return 1 if wrong_outcomes else 0


def main():
    parser = argparse.ArgumentParser(description="Viewers of /stream.mjpg on loopback.")
    parser.add_argument("port", type=int, nargs="?")
    parser.add_argument("pid", type=int, nargs="?")
    parser.add_argument("--viewers", type=int, default=200)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--width", type=int, default=640)
    parser.add_argument("--height", type=int, default=480)
    parser.add_argument("--user", default="admin")
    parser.add_argument("--digest", default="6EAECEABA6C8C60FB12DE835AEDF52D1",
                        help="the camera password's MD5 digest (default: the starter settings')")
    parser.add_argument("--fps", type=float, help="the server's nominal frame rate, for the report")
    parser.add_argument("--per-viewer", action="store_true", help="a line for every viewer")
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    if args.self_test:
        return self_test()
    if args.port is None or args.pid is None:
        parser.error("PORT and PID are needed")
    # The client's own pauses must not pass for the server's skipped frames.
    gc.disable()
    # One descriptor per viewer, more than the usual soft limit.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    path = "/stream.mjpg?user=%s&pass=%s&w=%d&h=%d" % (args.user, args.digest, args.width, args.height)
    size = (args.width, args.height) if args.width and args.height else None
    result = asyncio.run(crowd(args.port, path, args.pid, args.viewers, args.seconds, size))
    lines, passed = verdict(result, args.per_viewer, args.fps)
    print("\n".join(lines))
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
