#!/usr/bin/env python3
"""Receiving endpoint for crash reports uploaded by dumpsend.dll.

Serves POST /cgi-bin/crash_upload.cgi with a multipart/form-data body holding the fields "file"
(the report, with its file name) and "app" (the product name). Each report is stored byte for
byte under STORE/<product>/ as <time>-<n>.report, with <time>-<n>.json beside it (product, the
file name the client announced, the client's address, the size). Answers 200 to a stored report,
413 to a body above the size limit, 411 to a body without a length, 400 to a malformed one, 404 to
any other path and 405 to any other method.

    python3 scripts/crash-endpoint.py --port 8080 --store /var/crash-reports

The line "listening on HOST:PORT" is printed once the socket is bound (with --port 0 the system
chooses the port). Standard library only.
"""
import argparse
import datetime
import http.server
import itertools
import json
import os
import re
import sys
import threading

UPLOAD_PATH = "/cgi-bin/crash_upload.cgi"


class BadRequest(Exception):
    pass


def parse_multipart(body, content_type):
    """The fields of a multipart/form-data body: {name: (filename or None, bytes)}."""
    match = re.match(r'multipart/form-data;\s*boundary="?([^";]+)"?\s*$', content_type or "", re.I)
    if not match:
        raise BadRequest("not multipart/form-data with a boundary")
    delimiter = b"--" + match.group(1).encode("latin-1")
    if not body.startswith(delimiter):
        raise BadRequest("body does not start with the boundary")
    closing = body.find(b"\r\n" + delimiter + b"--")
    if closing < 0 or body[closing + len(delimiter) + 4:] not in (b"", b"\r\n"):
        raise BadRequest("no closing boundary")
    fields = {}
    for part in body[len(delimiter):closing].split(b"\r\n" + delimiter):
        if not part.startswith(b"\r\n"):
            raise BadRequest("boundary not followed by CR LF")
        head, sep, data = part[2:].partition(b"\r\n\r\n")
        if not sep:
            raise BadRequest("part without a head")
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
        fields[name.group(1)] = (filename.group(1) if filename else None, data)
    return fields


def safe_name(text):
    cleaned = re.sub(r"[^A-Za-z0-9_-]", "_", text)[:64]
    return cleaned or "unknown"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 30  # seconds a client may stay silent
    counter = itertools.count(1)
    lock = threading.Lock()

    def answer(self, status, text):
        data = (text + "\n").encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)
        self.close_connection = True

    def do_GET(self):
        self.answer(405 if self.path == UPLOAD_PATH else 404, "not here")

    def do_POST(self):
        if self.path != UPLOAD_PATH:
            return self.answer(404, "not here")
        length = self.headers.get("Content-Length")
        if length is None or not length.strip().isdigit():
            return self.answer(411, "length required")
        length = int(length)
        if length > self.server.max_bytes:
            return self.answer(413, "report too large")
        body = self.rfile.read(length)
        if len(body) != length:
            return self.answer(400, "body shorter than its length")
        try:
            fields = parse_multipart(body, self.headers.get("Content-Type"))
            if "file" not in fields or "app" not in fields:
                raise BadRequest("fields file and app are required")
        except BadRequest as error:
            return self.answer(400, "malformed report: %s" % error)
        filename, report = fields["file"]
        app = fields["app"][1].decode("latin-1")
        with self.lock:
            folder = os.path.join(self.server.store, safe_name(app))
            os.makedirs(folder, exist_ok=True)
            stem = "%s-%d" % (datetime.datetime.utcnow().strftime("%Y%m%d-%H%M%S"), next(self.counter))
            with open(os.path.join(folder, stem + ".report"), "wb") as out:
                out.write(report)
            with open(os.path.join(folder, stem + ".json"), "w") as out:
                json.dump({"app": app, "filename": filename, "client": self.client_address[0],
                           "bytes": len(report)}, out)
        self.answer(200, "stored")

    def log_message(self, fmt, *args):
        sys.stderr.write("%s %s\n" % (self.client_address[0], fmt % args))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (127.0.0.1)")
    parser.add_argument("--port", type=int, default=8080, help="port (8080; 0: any free port)")
    parser.add_argument("--store", default="crash-reports", help="folder for the reports")
    parser.add_argument("--max-bytes", type=int, default=8 * 1024 * 1024, help="largest body accepted")
    args = parser.parse_args()
    server = http.server.ThreadingHTTPServer((args.host, args.port), Handler)
    server.store = os.path.abspath(args.store)
    server.max_bytes = args.max_bytes
    print("listening on %s:%d" % server.server_address[:2], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
