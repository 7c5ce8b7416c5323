#!/usr/bin/env python3
"""An event stream for bench.py: python3 event_target.py COUNT GAP prints the
port it listens on (127.0.0.1), then answers every request with
`Content-Type: text/event-stream` and COUNT events GAP seconds apart, each
carrying the moment it was sent (time.monotonic(), a clock every process of
the machine shares), and closes."""

import socket
import sys
import threading
import time


def serve(conn, count, gap):
    with conn:
        conn.recv(65536)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                     b"Cache-Control: no-cache\r\nConnection: close\r\n\r\n")
        for _ in range(count):
            time.sleep(gap)
            conn.sendall(b"data: %.6f\n\n" % time.monotonic())


def main():
    count, gap = int(sys.argv[1]), float(sys.argv[2])
    listener = socket.create_server(("127.0.0.1", 0))
    print(listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=serve, args=(conn, count, gap), daemon=True).start()


if __name__ == "__main__":
    main()
