#!/usr/bin/env python3
"""endpoint_test.py: the receiving endpoint (scripts/crash-endpoint.py) against clients that
would wear it down: silent and trickling uploads, more uploads at once than it takes, a store
that fills up, a Content-Length that is no ASCII number, and every method but POST. Each check
starts the script on a free loopback port with a store folder of its own.

    python3 tests/agent/endpoint_test.py
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(ROOT, 'scripts', 'crash-endpoint.py')
PATH = '/cgi-bin/crash_upload.cgi'
BOUNDARY = 'XyZ0123'


class Endpoint:
    def __init__(self, *args):
        self.folder = tempfile.mkdtemp(prefix='tg-endpoint-')
        self.store = os.path.join(self.folder, 'reports')
        self.proc = subprocess.Popen([sys.executable, SCRIPT, '--port', '0', '--store', self.store] + list(args),
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith('listening on 127.0.0.1:'):
            raise RuntimeError('the endpoint did not start: %r' % line)
        self.port = int(line.strip().rsplit(':', 1)[1])

    def close(self):
        self.proc.kill()
        self.proc.wait(10)
        shutil.rmtree(self.folder, ignore_errors=True)

    def connect(self):
        s = socket.create_connection(('127.0.0.1', self.port), timeout=10)
        return s

    def rss_kib(self):
        with open('/proc/%d/status' % self.proc.pid) as f:
            for line in f:
                if line.startswith('VmRSS:'):
                    return int(line.split()[1])
        return 0

    def reports(self):
        found = []
        for root, _, names in os.walk(self.store):
            found += [os.path.join(root, n) for n in names if n.endswith('.report')]
        return found


def form(report, app='Tollgate'):
    return (('--%s\r\nContent-Disposition: form-data; name="file"; filename="crash.txt"\r\n'
             'Content-Type: text/plain\r\n\r\n' % BOUNDARY).encode() + report +
            ('\r\n--%s\r\nContent-Disposition: form-data; name="app"\r\n\r\n%s\r\n--%s--\r\n'
             % (BOUNDARY, app, BOUNDARY)).encode())


def head(method='POST', length=None, path=PATH, extra=''):
    text = '%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\n' % (method, path)
    text += 'Content-Type: multipart/form-data; boundary=%s\r\n' % BOUNDARY
    if length is not None:
        text += 'Content-Length: %s\r\n' % length
    return (text + extra + '\r\n').encode('utf-8')


def status_of(s, timeout=10):
    """The status of the answer on the socket, or None when the connection ends without one."""
    s.settimeout(timeout)
    data = b''
    try:
        while b'\r\n' not in data:
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
    except (socket.timeout, ConnectionResetError):
        return None
    if not data.startswith(b'HTTP/1.'):
        return None
    return int(data.split(b' ')[1])


def request(endpoint, data):
    s = endpoint.connect()
    try:
        s.sendall(data)
        return status_of(s)
    finally:
        s.close()


failures = []


def check(ok, what):
    print('    %s: %s' % ('ok' if ok else 'FAILED', what))
    if not ok:
        failures.append(what)


def test_upload_is_stored_byte_for_byte():
    e = Endpoint()
    try:
        report = bytes(range(256)) * 300 + b'\r\n--not the boundary--\r\n'
        body = form(report)
        check(request(e, head(length=len(body)) + body) == 200, 'an upload is answered 200')
        stored = e.reports()
        check(len(stored) == 1 and open(stored[0], 'rb').read() == report, 'the report is stored byte for byte')
        incoming = os.path.join(e.store, '.incoming')
        check(not os.path.isdir(incoming) or os.listdir(incoming) == [], 'no body is left behind')
    finally:
        e.close()


def test_stalled_uploads_cost_no_memory_and_too_many_get_503():
    # Each announces 8 MiB, sends 7 and stalls: the endpoint must keep none of it in memory.
    e = Endpoint('--max-uploads', '8', '--request-seconds', '60')
    clients = []
    try:
        before = e.rss_kib()
        for _ in range(8):
            s = e.connect()
            s.sendall(head(length=8 * 1024 * 1024) + b'--' + b'r' * (7 * 1024 * 1024))
            clients.append(s)
        time.sleep(1.0)  # let every handler take what was sent
        grown = e.rss_kib() - before
        check(grown < 24 * 1024, '8 stalled uploads of 7 MiB grow the endpoint by %d KiB, under 24 MiB' % grown)
        extra = e.connect()
        extra.sendall(head(length=100) + b'x' * 100)
        check(status_of(extra) == 503, 'an upload beyond the most at once is answered 503')
        extra.close()
    finally:
        for s in clients:
            s.close()
        e.close()


def test_a_trickling_client_is_cut_off_at_its_deadline():
    e = Endpoint('--request-seconds', '2')
    try:
        for what, first in (('body', head(length=1000)), ('head', b'POST ' + PATH.encode())):
            s = e.connect()
            s.sendall(first)
            start = time.monotonic()
            ended = False
            while time.monotonic() - start < 10:
                try:
                    s.sendall(b'x')
                    s.settimeout(0.3)
                    data = s.recv(4096)
                    if data == b'' or data.startswith(b'HTTP/1.1 4'):
                        ended = True
                        break
                except socket.timeout:
                    continue
                except OSError:
                    ended = True
                    break
            took = time.monotonic() - start
            check(ended and took < 5, 'a client trickling its %s is cut off after %.1f s (deadline 2 s)' % (what, took))
            s.close()
        body = form(b'after')
        check(request(e, head(length=len(body)) + body) == 200, 'the next upload is served')
    finally:
        e.close()


def test_a_full_store_answers_507():
    e = Endpoint('--max-reports', '2')
    try:
        body = form(b'report')
        statuses = [request(e, head(length=len(body)) + body) for _ in range(3)]
        check(statuses == [200, 200, 507], 'two reports stored, the third answered 507: %s' % statuses)
        check(len(e.reports()) == 2, 'the store keeps two reports')
    finally:
        e.close()
    e = Endpoint('--max-store-bytes', '1000')
    try:
        small, large = form(b's' * 400), form(b'l' * 700)
        statuses = [request(e, head(length=len(small)) + small), request(e, head(length=len(large)) + large)]
        check(statuses == [200, 507], 'a report past the store\'s bytes answered 507: %s' % statuses)
    finally:
        e.close()


def test_lengths_and_methods():
    e = Endpoint()
    try:
        for length in ('\u00b2', '\u0661\u0662', '12x', '-5', ' '):
            check(request(e, head(length=length) + b'x' * 12) == 400, 'Content-Length %r answered 400' % length)
        check(request(e, head(length=None)) == 411, 'no Content-Length answered 411')
        for method in ('GET', 'PUT', 'DELETE', 'PATCH', 'OPTIONS', 'HEAD', 'BREW'):
            check(request(e, head(method=method, length=0)) == 405, '%s answered 405' % method)
        body = form(b'x')
        check(request(e, head(length=len(body), path='/other') + body) == 404, 'POST to another path answered 404')
        check(e.proc.poll() is None, 'the endpoint still runs')
    finally:
        e.close()


def main():
    for test in (test_upload_is_stored_byte_for_byte, test_stalled_uploads_cost_no_memory_and_too_many_get_503,
                 test_a_trickling_client_is_cut_off_at_its_deadline, test_a_full_store_answers_507,
                 test_lengths_and_methods):
        print('--- ' + test.__name__)
        try:
            test()
        except Exception as error:  # a broken endpoint fails its check, not the whole run
            check(False, '%s raised %r' % (test.__name__, error))
    print('endpoint: %d failed' % len(failures))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
