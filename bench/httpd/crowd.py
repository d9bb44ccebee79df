#!/usr/bin/python3
"""Crowds against a running server on loopback, each spread over many 127/8 source
addresses as real viewers come from many machines (so the per-client limit applies as in
the field).

  crowd.py idle    PORT PID [--idle 1000] [--slow 200] [--fresh 20] [--url PATH]
      Opens the idle kept-alive connections (each has made one request) and the slowloris
      connections (a head that never ends, a byte now and then, reopened when the server
      drops it), then times fresh clients, one after another, each on a new connection.
      Prints the fresh clients' median and worst time, the server's resident size, its
      resident size per idle connection, and its thread count.

  crowd.py viewers PORT PID [--viewers 100] [--rate 10] [--seconds 30] [--url PATH]
      Every viewer polls the URL over one kept-alive connection at the rate, never more
      than one request in flight (a late answer delays the next request, as a browser's
      picture loop does); the viewers' starts are spread over one period. Prints each viewer's share of the pictures it asked for, and the
      median and 99th percentile of the answer times.

PID is the server's process, whose resident size and threads are read from /proc.
"""

import argparse
import asyncio
import gc
import resource
import statistics
import sys
import time


def source(i):
    """The i-th client address: 127.0.1.1, 127.0.1.2, ... (never 127.0.0.1)."""
    return "127.0.%d.%d" % (1 + i // 250, 1 + i % 250)


def proc_status(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return line.split()[1]
    return "0"


def rss_kib(pid):
    return int(proc_status(pid, "VmRSS"))


async def read_response(reader, timeout=10):
    head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), timeout)
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":", 1)[1])
    body = await asyncio.wait_for(reader.readexactly(length), timeout)
    return head, body


def request(path, keep_alive=True):
    return ("GET %s HTTP/1.0\r\n%s\r\n" % (path, "Connection: Keep-Alive\r\n" if keep_alive else "")).encode()


async def connect(port, i):
    return await asyncio.open_connection("127.0.0.1", port, local_addr=(source(i), 0))


async def idle(args):
    port = args.port
    before = rss_kib(args.pid)
    held = []
    # Kept-alive connections that made one request and now say nothing.
    for i in range(args.idle):
        reader, writer = await connect(port, i)
        writer.write(request(args.url))
        head, _ = await read_response(reader)
        if not head.startswith(b"HTTP/1.0 200"):
            sys.exit("idle connection %d refused: %r" % (i, head[:40]))
        held.append(writer)
    after_idle = rss_kib(args.pid)

    # Slowloris: a head that never ends, one more byte every few seconds.
    stop = asyncio.Event()
    reopened = [0]

    async def slowloris(i):
        while not stop.is_set():
            try:
                reader, writer = await connect(port, args.idle + i)
                writer.write(b"GET / HTTP/1.0\r\nX-Slow: ")
                while not stop.is_set():
                    await asyncio.sleep(5)  # the attacker's pace
                    writer.write(b"a")
                    await writer.drain()
                    if reader.at_eof():
                        break
            except (ConnectionError, OSError):
                pass
            reopened[0] += 1

    slow = [asyncio.create_task(slowloris(i)) for i in range(args.slow)]
    await asyncio.sleep(1)  # let them all open

    times = []
    for i in range(args.fresh):
        begin = time.perf_counter()
        reader, writer = await connect(port, args.idle + args.slow + i)
        writer.write(request(args.url, keep_alive=False))
        head, _ = await read_response(reader)
        times.append((time.perf_counter() - begin) * 1000)
        if not head.startswith(b"HTTP/1.0 200"):
            sys.exit("fresh client %d refused: %r" % (i, head[:40]))
        writer.close()
    peak = rss_kib(args.pid)
    threads = proc_status(args.pid, "Threads")
    stop.set()
    for task in slow:
        task.cancel()
    for writer in held:
        writer.close()

    median = statistics.median(times)
    print("fresh clients beside %d idle and %d slowloris connections: median %.2f ms, worst %.2f ms "
          "(target median under 100 ms: %s)" % (args.idle, args.slow, median, max(times),
                                                "ok" if median < 100 else "MISSED"))
    print("server resident size %.1f MiB (target under 64 MiB: %s); %.1f KiB per idle connection; "
          "%s threads" % (peak / 1024, "ok" if peak < 64 * 1024 else "MISSED",
                          (after_idle - before) / max(args.idle, 1), threads))


async def viewers(args):
    port = args.port
    period = 1.0 / args.rate
    wanted = int(args.seconds * args.rate)
    latencies = []
    counts = []

    begin_all = time.perf_counter() + 1.0

    async def viewer(i):
        got = 0
        try:
            reader, writer = await connect(port, i)
            # Viewers are not in step: each starts at its own point of the period.
            start = begin_all + period * i / args.viewers
            for n in range(wanted):
                due = start + n * period
                delay = due - time.perf_counter()
                if delay > 0:
                    await asyncio.sleep(delay)
                elif -delay >= period:
                    continue  # this picture's time has passed: it is missed, not queued
                begin = time.perf_counter()
                writer.write(request(args.url + "%%20n=%d" % n))
                head, body = await read_response(reader)
                latencies.append((time.perf_counter() - begin) * 1000)
                if head.startswith(b"HTTP/1.0 200") and body:
                    got += 1
            writer.close()
        except (asyncio.TimeoutError, asyncio.IncompleteReadError, OSError):
            pass  # a viewer the server left without an answer gets no more pictures
        counts.append(got)

    await asyncio.gather(*(viewer(i) for i in range(args.viewers)))
    latencies.sort()
    p99 = latencies[max(int(len(latencies) * 0.99) - 1, 0)] if latencies else float("nan")
    worst_share = min(counts) / wanted
    print("%d viewers at %d pictures/s for %d s: the worst viewer got %.1f %% of its pictures "
          "(target at least 90 %%: %s); median %.2f ms, p99 %.2f ms (target under 100 ms: %s)"
          % (args.viewers, args.rate, args.seconds, worst_share * 100,
             "ok" if worst_share >= 0.9 else "MISSED", statistics.median(latencies) if latencies else float("nan"), p99,
             "ok" if p99 < 100 else "MISSED"))
    print("server resident size %.1f MiB, %s threads" % (rss_kib(args.pid) / 1024,
                                                        proc_status(args.pid, "Threads")))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["idle", "viewers"])
    parser.add_argument("port", type=int)
    parser.add_argument("pid", type=int)
    parser.add_argument("--idle", type=int, default=1000)
    parser.add_argument("--slow", type=int, default=200)
    parser.add_argument("--fresh", type=int, default=20)
    parser.add_argument("--viewers", type=int, default=100)
    parser.add_argument("--rate", type=int, default=10)
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--url", default="/")
    args = parser.parse_args()
    # The client's own pauses must not pass for the server's answer times.
    gc.disable()
    # One descriptor per connection, more than the usual soft limit.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    asyncio.run(idle(args) if args.mode == "idle" else viewers(args))


if __name__ == "__main__":
    main()
