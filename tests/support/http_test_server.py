#!/usr/bin/env python3
"""http_test_server.py RECORDS [CERTIFICATE KEY]: the suite's loopback HTTP(S) server. Prints
"PORT <n>" for its port on 127.0.0.1. Request n is recorded in RECORDS before the answer, as
n.headers, n.body (not kept over 8 MiB) and n.body_len; a query member rate=R reads the body at
R bytes a second. The path chooses the answer:

  /respond?status=S&body=B   status S with body B (percent-decoded); no body when B is absent
  /silent                    reads the request, never answers
  /stall                     answers headers and 10 of 100 body bytes, then nothing
  /trickle                   answers headers, then one body byte a second
  /reset                     reads the whole request, then resets the connection
  /huge?len=N&length=0|1     N bytes, with or without a Content-Length
  /malformed                 a reply that is not HTTP
  /redirect?to=URL&code=C    a redirect to URL
"""
import itertools, os, socket, ssl, struct, sys, threading, time, urllib.parse

BIG = 8 << 20
numbers = itertools.count()


def read_request(conn):
    """The request's head and target, its body read (at the query's rate) and recorded."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return None, None
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    head += b"\r\n\r\n"
    length = ([int(line.split(b":", 1)[1]) for line in head.split(b"\r\n")[1:]
               if line.lower().startswith(b"content-length:")] or [0])[-1]
    n = next(numbers)
    url = urllib.parse.urlsplit(head.split(b" ")[1].decode())
    rate = int(urllib.parse.parse_qs(url.query).get("rate", ["0"])[0])
    received, started = len(body), time.monotonic()
    while received < length:
        if rate:
            time.sleep(max(0, received / rate - (time.monotonic() - started)))
        chunk = conn.recv(min(max(rate // 10, 1) if rate else 1 << 20, length - received))
        if not chunk:
            break
        received += len(chunk)
        if length <= BIG:
            body += chunk
    parts = {"headers": head, "body": body[:length]} if length <= BIG else {"headers": head}
    # body_len last: the C++ side counts a request once its record is complete.
    for suffix, data in {**parts, "body_len": str(received).encode()}.items():
        with open(os.path.join(sys.argv[1], f"{n}.{suffix}"), "wb") as f:
            f.write(data)
    return head, url


def answer(conn, status, body=b"", extra=b""):
    length = b"" if status in (204, 304) and not body else b"Content-Length: %d\r\n" % len(body)
    conn.sendall(b"HTTP/1.1 %d X\r\nConnection: close\r\n%s%s\r\n%s" % (status, length, extra, body))


def serve(conn):
    try:
        head, url = read_request(conn)
        if not head:
            return
        path, q = url.path, {k: v[0] for k, v in urllib.parse.parse_qs(url.query, keep_blank_values=True).items()}
        if path == "/respond":
            raw = url.query.split("body=", 1)[1].split("&")[0] if "body" in q else ""
            answer(conn, int(q.get("status", "200")), urllib.parse.unquote_to_bytes(raw))
        elif path in ("/silent", "/stall"):
            if path == "/stall":
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789")
            time.sleep(30)
        elif path == "/trickle":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n")
            for _ in range(1000):
                time.sleep(1)
                conn.sendall(b"x")
        elif path == "/reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        elif path == "/huge":
            n, block = int(q.get("len", "0")), b"a" * (1 << 20)
            length = b"Content-Length: %d\r\n" % n if q.get("length", "1") == "1" else b""
            conn.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\n%s\r\n" % length)
            for sent in range(0, n, len(block)):
                conn.sendall(block[:n - sent])
        elif path == "/malformed":
            conn.sendall(b"this is not HTTP at all\r\n\r\n")
        elif path == "/redirect":
            answer(conn, int(q.get("code", "302")), b"", b"Location: %s\r\n" % q.get("to", "").encode())
        else:
            answer(conn, 404, b"not found")
    except OSError:
        pass
    finally:
        conn.close()


listener = socket.create_server(("127.0.0.1", 0), backlog=64)
print("PORT %d" % listener.getsockname()[1], flush=True)
context = None
if len(sys.argv) > 3:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[2], sys.argv[3])
while True:
    conn, _ = listener.accept()
    try:
        conn = context.wrap_socket(conn, server_side=True) if context else conn
    except (OSError, ssl.SSLError):
        conn.close()
        continue
    threading.Thread(target=serve, args=(conn,), daemon=True).start()
