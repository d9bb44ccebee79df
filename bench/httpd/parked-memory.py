#!/usr/bin/python3
"""Resident size of a server before and after kept-alive connections each sent one large
POST and were then left open, waiting for their next request.

  parked-memory.py PORT PID [--connections 60] [--bytes 1000000]

Each connection sends its POST with "Connection: Keep-Alive", reads the whole answer and
stays open; once every one has been answered the server's VmRSS is read again. Prints both
figures and their difference in MiB.
"""
import argparse
import socket
import time


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for %d" % pid)


def read_answer(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise RuntimeError("closed before the answer's head")
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            raise RuntimeError("closed inside the answer's body")
        body += chunk
    if b"keep-alive" not in head.lower():
        raise RuntimeError("the answer does not keep the connection: %r" % head[:200])
    return head.split(b"\r\n", 1)[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("pid", type=int)
    parser.add_argument("--connections", type=int, default=60)
    parser.add_argument("--bytes", type=int, default=1000000)
    args = parser.parse_args()

    body = b"p" * args.bytes
    request = (b"POST /upload HTTP/1.0\r\nConnection: Keep-Alive\r\nContent-Length: %d\r\n\r\n"
               % len(body)) + body
    before = rss_kib(args.pid)
    held = []
    for _ in range(args.connections):
        sock = socket.create_connection(("127.0.0.1", args.port), timeout=10)
        sock.sendall(request)
        read_answer(sock)
        held.append(sock)
    time.sleep(0.5)  # let the workers hand every connection back to the loop
    after = rss_kib(args.pid)
    print("%d connections x %d bytes: resident %.1f MiB -> %.1f MiB (+%.1f MiB)"
          % (args.connections, args.bytes, before / 1024, after / 1024, (after - before) / 1024))
    for sock in held:
        sock.close()


if __name__ == "__main__":
    main()
