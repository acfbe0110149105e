#!/usr/bin/env python3
"""Receiving endpoint for crash reports uploaded by dumpsend.dll.

Serves POST /cgi-bin/crash_upload.cgi with a multipart/form-data body holding the fields "file"
(the report, with its file name) and "app" (the product name). Each report is stored byte for
byte under STORE/<product>/ as <time>-<n>.report, with <time>-<n>.json beside it (product, the
file name the client announced, the client's address, the size). Answers 200 to a stored report,
413 to a body above the size limit, 411 to a body without a length, 400 to a malformed one (a
Content-Length of anything but ASCII digits included), 404 to any other path, 405 to any method
other than POST, 503 while the most uploads it takes at once are running, and 507 once the store
holds the most reports or bytes it may keep.

Every client is bounded: a request (head and body) has --request-seconds in all, after which its
connection is closed whatever it is doing, and the body goes to a file in STORE/.incoming as it
arrives instead of into memory.

    python3 scripts/crash-endpoint.py --port 8080 --store /var/crash-reports

The line "listening on HOST:PORT" is printed once the socket is bound (with --port 0 the system
chooses the port). Standard library only.
"""
import argparse
import datetime
import http.server
import itertools
import json
import mmap
import os
import re
import socket
import sys
import threading
import time

UPLOAD_PATH = "/cgi-bin/crash_upload.cgi"
BLOCK = 64 * 1024


class BadRequest(Exception):
    pass


def parse_multipart(body, content_type):
    """The fields of a multipart/form-data body (bytes, or a memory map of the body file):
    {name: (filename or None, start, end)}, the data of each field being body[start:end]."""
    match = re.match(r'multipart/form-data;\s*boundary="?([^";]+)"?\s*$', content_type or "", re.I)
    if not match:
        raise BadRequest("not multipart/form-data with a boundary")
    delimiter = b"--" + match.group(1).encode("latin-1")
    if body[:len(delimiter)] != delimiter:
        raise BadRequest("body does not start with the boundary")
    closing = body.rfind(b"\r\n" + delimiter + b"--")
    if closing < 0 or body[closing + len(delimiter) + 4:] not in (b"", b"\r\n"):
        raise BadRequest("no closing boundary")
    fields = {}
    separator = b"\r\n" + delimiter
    position = len(delimiter)
    while position < closing:
        following = body.find(separator, position)
        end = following if 0 <= following < closing else closing
        if body[position:position + 2] != b"\r\n":
            raise BadRequest("boundary not followed by CR LF")
        head_end = body.find(b"\r\n\r\n", position + 2, end)
        if head_end < 0:
            raise BadRequest("part without a head")
        head = body[position + 2:head_end]
        disposition = None
        for line in head.split(b"\r\n"):
            name, _, value = line.decode("latin-1").partition(":")
            if name.strip().lower() == "content-disposition":
                disposition = value
        if disposition is None:
            raise BadRequest("part without Content-Disposition")
        name = re.search(r'\bname="([^"]*)"', disposition)
        filename = re.search(r'\bfilename="([^"]*)"', disposition)
        if not name:
            raise BadRequest("part without a name")
        fields[name.group(1)] = (filename.group(1) if filename else None, head_end + 4, end)
        position = end + len(separator)
    return fields


def safe_name(text):
    cleaned = re.sub(r"[^A-Za-z0-9_-]", "_", text)[:64]
    return cleaned or "unknown"


class Store:
    """The reports kept so far, counted at start and as they are added, under one lock."""

    def __init__(self, folder, max_reports, max_bytes):
        self.folder = folder
        self.max_reports = max_reports
        self.max_bytes = max_bytes
        self.lock = threading.Lock()
        self.counter = itertools.count(1)
        self.reports = 0
        self.bytes = 0
        self.reserved = 0
        self.incoming = os.path.join(folder, ".incoming")
        if os.path.isdir(self.incoming):
            # Bodies of an earlier run that ended half-way through an upload.
            for n in os.listdir(self.incoming):
                try:
                    os.remove(os.path.join(self.incoming, n))
                except OSError:
                    pass
        if os.path.isdir(folder):
            for root, _, names in os.walk(folder):
                if os.path.abspath(root) == os.path.abspath(self.incoming):
                    continue
                for n in names:
                    if n.endswith(".report"):
                        self.reports += 1
                        self.bytes += os.path.getsize(os.path.join(root, n))

    def reserve(self, length):
        """Room for a body of this length, or False when the store is full."""
        with self.lock:
            if self.reports + 1 > self.max_reports or self.bytes + self.reserved + length > self.max_bytes:
                return False
            self.reserved += length
            return True

    def release(self, length):
        with self.lock:
            self.reserved -= length

    def incoming_file(self):
        os.makedirs(self.incoming, exist_ok=True)
        with self.lock:
            n = next(self.counter)
        return os.path.join(self.incoming, "%d-%d.body" % (os.getpid(), n))

    def add(self, app, filename, client, body, start, end):
        with self.lock:
            folder = os.path.join(self.folder, safe_name(app))
            os.makedirs(folder, exist_ok=True)
            stem = "%s-%d" % (datetime.datetime.utcnow().strftime("%Y%m%d-%H%M%S"), next(self.counter))
            with open(os.path.join(folder, stem + ".report"), "wb") as out:
                for offset in range(start, end, BLOCK):
                    out.write(body[offset:min(offset + BLOCK, end)])
            with open(os.path.join(folder, stem + ".json"), "w") as out:
                json.dump({"app": app, "filename": filename, "client": client, "bytes": end - start}, out)
            self.reports += 1
            self.bytes += end - start


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 30  # seconds a client may stay silent

    def setup(self):
        super().setup()
        # The whole request, head and body, has a deadline: a client that trickles a byte now
        # and then never reaches a receive's time-out, so the connection is shut at the deadline.
        self.deadline = time.monotonic() + self.server.request_seconds
        self.watchdog = threading.Timer(self.server.request_seconds, self.cut_off)
        self.watchdog.daemon = True
        self.watchdog.start()

    def finish(self):
        self.watchdog.cancel()
        try:
            super().finish()
        except OSError:
            pass

    def cut_off(self):
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def answer(self, status, text):
        data = (text + "\n").encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        if status == 405:
            self.send_header("Allow", "POST")
        if status == 503:
            self.send_header("Retry-After", "60")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)
        self.close_connection = True

    def not_allowed(self):
        self.answer(405, "only POST is served")

    def __getattr__(self, name):
        # Every method but POST, however it is spelled, is answered 405 (not the default 501).
        if name.startswith("do_") and name != "do_POST":
            return self.not_allowed
        raise AttributeError(name)

    def do_POST(self):
        if self.path != UPLOAD_PATH:
            return self.answer(404, "not here")
        length = self.headers.get("Content-Length")
        if length is None:
            return self.answer(411, "length required")
        if not re.fullmatch(r"[0-9]+", length.strip(), re.ASCII):
            return self.answer(400, "Content-Length is not a number")
        length = int(length.strip())
        if length > self.server.max_bytes:
            return self.answer(413, "report too large")
        if not self.server.uploads.acquire(blocking=False):
            return self.answer(503, "too many uploads at once")
        try:
            if not self.server.store.reserve(length):
                return self.answer(507, "the store is full")
            try:
                self.receive_and_store(length)
            finally:
                self.server.store.release(length)
        finally:
            self.server.uploads.release()

    def receive_and_store(self, length):
        path = self.server.store.incoming_file()
        try:
            with open(path, "w+b") as out:
                remaining = length
                while remaining > 0:
                    left = self.deadline - time.monotonic()
                    if left <= 0:
                        return self.answer(408, "request took too long")
                    self.connection.settimeout(min(self.timeout, left))
                    try:
                        block = self.rfile.read1(min(BLOCK, remaining))
                    except (socket.timeout, OSError):
                        block = b""
                    if not block:
                        return self.answer(400, "body shorter than its length")
                    out.write(block)
                    remaining -= len(block)
                out.flush()
                if length == 0:
                    return self.answer(400, "malformed report: empty body")
                with mmap.mmap(out.fileno(), length, access=mmap.ACCESS_READ) as body:
                    try:
                        fields = parse_multipart(body, self.headers.get("Content-Type"))
                        if "file" not in fields or "app" not in fields:
                            raise BadRequest("fields file and app are required")
                    except BadRequest as error:
                        return self.answer(400, "malformed report: %s" % error)
                    filename, start, end = fields["file"]
                    _, app_start, app_end = fields["app"]
                    app = body[app_start:app_end].decode("latin-1")
                    self.server.store.add(app, filename, self.client_address[0], body, start, end)
        finally:
            try:
                os.remove(path)
            except OSError:
                pass
        self.answer(200, "stored")

    def log_message(self, fmt, *args):
        sys.stderr.write("%s %s\n" % (self.client_address[0], fmt % args))


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client cut off at its deadline or gone half-way is no reason for a traceback.
        if isinstance(sys.exc_info()[1], OSError):
            return
        super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (127.0.0.1)")
    parser.add_argument("--port", type=int, default=8080, help="port (8080; 0: any free port)")
    parser.add_argument("--store", default="crash-reports", help="folder for the reports")
    parser.add_argument("--max-bytes", type=int, default=8 * 1024 * 1024, help="largest body accepted (8 MiB)")
    parser.add_argument("--max-uploads", type=int, default=4, help="uploads received at once (4)")
    parser.add_argument("--request-seconds", type=float, default=60, help="time a request may take (60)")
    parser.add_argument("--max-reports", type=int, default=10000, help="reports the store keeps (10000)")
    parser.add_argument("--max-store-bytes", type=int, default=1024 * 1024 * 1024,
                        help="bytes of reports the store keeps (1 GiB)")
    args = parser.parse_args()
    server = Server((args.host, args.port), Handler)
    server.max_bytes = args.max_bytes
    server.request_seconds = args.request_seconds
    server.uploads = threading.BoundedSemaphore(args.max_uploads)
    server.store = Store(os.path.abspath(args.store), args.max_reports, args.max_store_bytes)
    print("listening on %s:%d" % server.server_address[:2], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
