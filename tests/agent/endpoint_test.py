"""The receiving endpoint script: what it stores, and what it refuses."""
import http.client
import json
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "crash-endpoint.py")
BOUNDARY = "-" * 20 + "5f1e2d3c4b5a69788796"


def multipart(fields):
    out = b""
    for name, filename, data in fields:
        out += b"--" + BOUNDARY.encode() + b"\r\n"
        if filename is None:
            out += b'Content-Disposition: form-data; name="%s"\r\n\r\n' % name.encode()
        else:
            out += (b'Content-Disposition: form-data; name="%s"; filename="%s"\r\n'
                    b"Content-Type: application/octet-stream\r\n\r\n" % (name.encode(), filename.encode()))
        out += data + b"\r\n"
    return out + b"--" + BOUNDARY.encode() + b"--\r\n"


class Endpoint(unittest.TestCase):
    def setUp(self):
        self.store = tempfile.TemporaryDirectory()
        self.proc = subprocess.Popen([sys.executable, SCRIPT, "--port", "0", "--store", self.store.name,
                                      "--max-bytes", "4096"], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline()
        self.assertTrue(line.startswith("listening on 127.0.0.1:"), line)
        self.port = int(line.rsplit(":", 1)[1])

    def tearDown(self):
        self.proc.kill()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()
        self.store.cleanup()

    def post(self, body, content_type="multipart/form-data; boundary=" + BOUNDARY,
             path="/cgi-bin/crash_upload.cgi"):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        conn.request("POST", path, body=body, headers={"Content-Type": content_type})
        status = conn.getresponse().status
        conn.close()
        return status

    def stored(self):
        found = []
        for folder, _, files in os.walk(self.store.name):
            for name in sorted(files):
                found.append(os.path.relpath(os.path.join(folder, name), self.store.name))
        return found

    def test_stores_the_report_byte_for_byte_under_its_product(self):
        report = bytes(range(256)) * 3 + b"\r\n--\r\n"
        body = multipart([("file", "C:\\Temp\\V1_crash.txt", report), ("app", None, b"Tollgate")])
        self.assertEqual(self.post(body), 200)
        files = self.stored()
        self.assertEqual(len(files), 2)
        self.assertTrue(all(f.startswith("Tollgate" + os.sep) for f in files))
        path = os.path.join(self.store.name, [f for f in files if f.endswith(".report")][0])
        with open(path, "rb") as f:
            self.assertEqual(f.read(), report)
        with open(path[:-len(".report")] + ".json") as f:
            meta = json.load(f)
        self.assertEqual((meta["app"], meta["filename"], meta["bytes"]),
                         ("Tollgate", "C:\\Temp\\V1_crash.txt", len(report)))

    def test_refuses_oversized_malformed_and_misdirected_requests(self):
        good = multipart([("file", "r.txt", b"x"), ("app", None, b"../../etc")])
        self.assertEqual(self.post(multipart([("file", "r.txt", b"x" * 5000), ("app", None, b"T")])), 413)
        self.assertEqual(self.post(good, content_type="text/plain"), 400)
        self.assertEqual(self.post(good[:-4]), 400)
        self.assertEqual(self.post(multipart([("app", None, b"T")])), 400)
        self.assertEqual(self.post(b"garbage"), 400)
        self.assertEqual(self.post(good, path="/other"), 404)
        self.assertEqual(self.stored(), [])
        self.assertEqual(self.post(good), 200)
        self.assertEqual({f.split(os.sep)[0] for f in self.stored()}, {"______etc"})


if __name__ == "__main__":
    unittest.main()
