#!/usr/bin/python3
"""A plain CGI reverse proxy, as a user might write one instead of a gateway:
standard library only, forwards the request to one backend and copies the
reply back. The benchmark's point of comparison (E); not part of the product.
"""
import http.client
import os
import sys

TARGET_HOST = "127.0.0.1"
TARGET_PORT = 8080
HOP_BY_HOP = {"connection", "keep-alive", "transfer-encoding", "te", "trailer",
              "upgrade", "proxy-authorization", "proxy-authenticate"}


def request_headers(environ):
    headers = {}
    for name, value in environ.items():
        if name.startswith("HTTP_") and name not in ("HTTP_HOST", "HTTP_CONNECTION"):
            headers[name[5:].replace("_", "-").title()] = value
    if environ.get("CONTENT_TYPE"):
        headers["Content-Type"] = environ["CONTENT_TYPE"]
    headers["Host"] = "%s:%d" % (TARGET_HOST, TARGET_PORT)
    headers["X-Forwarded-For"] = environ.get("REMOTE_ADDR", "")
    return headers


def main():
    environ = os.environ
    method = environ.get("REQUEST_METHOD", "GET")
    path = environ.get("PATH_INFO", "/") or "/"
    if environ.get("QUERY_STRING"):
        path += "?" + environ["QUERY_STRING"]
    length = int(environ.get("CONTENT_LENGTH") or 0)
    body = sys.stdin.buffer.read(length) if length > 0 else None
    out = sys.stdout.buffer
    try:
        connection = http.client.HTTPConnection(TARGET_HOST, TARGET_PORT, timeout=60)
        connection.request(method, path, body=body, headers=request_headers(environ))
        reply = connection.getresponse()
    except (OSError, http.client.HTTPException) as error:
        out.write(b"Status: 502 Bad Gateway\r\nContent-Type: text/plain\r\n\r\n")
        out.write(("Backend unreachable: %s\n" % error).encode())
        return
    head = ["Status: %d %s" % (reply.status, reply.reason)]
    for name, value in reply.getheaders():
        if name.lower() not in HOP_BY_HOP:
            head.append("%s: %s" % (name, value))
    out.write(("\r\n".join(head) + "\r\n\r\n").encode("latin-1"))
    while True:
        chunk = reply.read(65536)
        if not chunk:
            break
        out.write(chunk)
    out.flush()
    connection.close()


if __name__ == "__main__":
    main()
