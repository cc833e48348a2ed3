#!/usr/bin/env python3
"""Loopback HTTP server of the test suite.

Binds 127.0.0.1 on an ephemeral port, prints "PORT <n>" and serves until killed; with a
certificate and key file after the record folder it serves HTTPS. Every
request is recorded byte for byte in the record folder as <n>.headers and <n>.body (bodies
over 8 MiB as <n>.body_head / <n>.body_tail, 64 KiB each) with <n>.body_len; the files are
written before the answer is sent. A query member rate=R reads the body at R bytes a second.
The path chooses the answer:

  /respond?status=S&body=B   status S with body B (percent-decoded); no body when B is absent
  /long-error?n=N            200 with a GraphQL error whose message is N letters m
  /slow-read                 waits a second before reading the body, then answers 200 "ok"
  /silent                    reads the request, never answers
  /stall                     answers headers and 10 of 100 body bytes, then nothing
  /trickle                   answers headers, then one body byte a second
  /reset                     reads the whole request, then resets the connection
  /huge?len=N&length=0|1     N bytes, with or without a Content-Length
  /malformed                 a reply that is not HTTP
  /redirect?to=URL&code=C    a redirect to URL
"""
import os
import ssl
import socket
import struct
import sys
import threading
import time
import urllib.parse

record_dir = sys.argv[1]
counter_lock = threading.Lock()
counter = [0]
BIG = 8 * 1024 * 1024
EDGE = 64 * 1024


def reset(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def answer(conn, status, body=None, extra=b""):
    head = b"HTTP/1.1 %d X\r\nConnection: close\r\n" % status
    if body is not None:
        head += b"Content-Length: %d\r\n" % len(body)
    elif status not in (204, 304):
        head += b"Content-Length: 0\r\n"
    conn.sendall(head + extra + b"\r\n" + (body or b""))
    conn.close()


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return None, None
        data += chunk
    head, rest = data.split(b"\r\n\r\n", 1)
    head += b"\r\n\r\n"
    length = 0
    for line in head.split(b"\r\n")[1:]:
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":", 1)[1])
    with counter_lock:
        n = counter[0]
        counter[0] += 1
    base = os.path.join(record_dir, str(n))
    received = len(rest)
    target = urllib.parse.urlsplit(head.split(b" ")[1].decode())
    if target.path == "/slow-read":
        time.sleep(1)
    rate = int(urllib.parse.parse_qs(target.query).get("rate", ["0"])[0])
    started = time.monotonic()
    first = rest[:EDGE] if length > BIG else rest
    tail = rest[-EDGE:]
    while received < length:
        if rate:
            ahead = received / rate - (time.monotonic() - started)
            if ahead > 0:
                time.sleep(ahead)
        chunk = conn.recv(min(max(rate // 10, 1) if rate else 1 << 20, length - received))
        if not chunk:
            break
        received += len(chunk)
        if length > BIG:
            if len(first) < EDGE:
                first += chunk[: EDGE - len(first)]
            tail = (tail + chunk)[-EDGE:]
        else:
            first += chunk
    with open(base + ".headers", "wb") as f:
        f.write(head)
    if length > BIG:
        with open(base + ".body_head", "wb") as f:
            f.write(first)
        with open(base + ".body_tail", "wb") as f:
            f.write(tail)
    else:
        with open(base + ".body", "wb") as f:
            f.write(first[:length])
    with open(base + ".body_len", "w") as f:
        f.write(str(received))
    return head, received


def serve(conn):
    try:
        head, _ = read_request(conn)
        if head is None:
            conn.close()
            return
        target = head.split(b" ")[1].decode()
        url = urllib.parse.urlsplit(target)
        q = urllib.parse.parse_qs(url.query, keep_blank_values=True)
        path = url.path
        if path == "/respond":
            body = q.get("body", [None])[0]
            answer(conn, int(q.get("status", ["200"])[0]),
                   None if body is None else urllib.parse.unquote_to_bytes(url.query.split("body=", 1)[1].split("&")[0]))
        elif path == "/long-error":
            n = int(q.get("n", ["0"])[0])
            answer(conn, 200, b'{"errors":[{"message":"' + b"m" * n + b'"}]}')
        elif path == "/slow-read":
            answer(conn, 200, b"ok")
        elif path == "/silent":
            time.sleep(30)
            conn.close()
        elif path == "/stall":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789")
            time.sleep(30)
            conn.close()
        elif path == "/trickle":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n")
            for _ in range(1000):
                time.sleep(1)
                conn.sendall(b"x")
            conn.close()
        elif path == "/reset":
            reset(conn)
        elif path == "/huge":
            n = int(q.get("len", ["0"])[0])
            head = b"HTTP/1.1 200 OK\r\nConnection: close\r\n"
            if q.get("length", ["1"])[0] == "1":
                head += b"Content-Length: %d\r\n" % n
            conn.sendall(head + b"\r\n")
            block = b"a" * (1 << 20)
            sent = 0
            try:
                while sent < n:
                    piece = block[: min(len(block), n - sent)]
                    conn.sendall(piece)
                    sent += len(piece)
            except OSError:
                pass
            conn.close()
        elif path == "/malformed":
            conn.sendall(b"this is not HTTP at all\r\n\r\n")
            conn.close()
        elif path == "/redirect":
            to = q.get("to", [""])[0].encode()
            answer(conn, int(q.get("code", ["302"])[0]), b"", b"Location: " + to + b"\r\n")
        else:
            answer(conn, 404, b"not found")
    except OSError:
        try:
            conn.close()
        except OSError:
            pass


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    context = None
    if len(sys.argv) > 3:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2], sys.argv[3])
    while True:
        conn, _ = listener.accept()
        if context is not None:
            try:
                conn = context.wrap_socket(conn, server_side=True)
            except (OSError, ssl.SSLError):
                conn.close()
                continue
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


main()
