"""harness.py: what the integration tests share.

The tests run on the host and drive one proxy process at a time: the native tollgated, or the
Windows console host tollgated.exe under Wine (its settings then come from the registry of the
test prefix, so the same REGEDIT4 file is imported with regedit before each start). microsocks
can stand in for the proxy where a test is protocol-generic, which keeps the harness itself
checkable without the proxy.

Everything here stays on loopback: the local HTTP and UDP echo servers bind 127.0.0.1, and the
clients only ever name 127.0.0.1, 127.0.0.2 or "localhost" as destinations. Every wait has a
deadline; a test that cannot see what it waits for fails instead of hanging.

By hand (ctest runs the same commands):
    python3 clients_test.py --proxy build/native/tollgated
    python3 failures_test.py --proxy build/win32/tollgated.exe --wine build/win32/wine-run.sh
    python3 clients_test.py --proxy /usr/bin/microsocks --microsocks
"""

import argparse
import hashlib
import http.server
import os
import random
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback

LEGEND = (b'#\r\n# Legend: "Date" "Version" "User" "Source" "Destination" "Status" "Error"\r\n'
          b'#\r\n\r\n')
DATE_RE = re.compile(r'^\d{2}/(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/\d{4}:\d{2}:\d{2}:\d{2}$')
ADDRESS_RE = re.compile(r'(\d+\.\d+\.\d+\.\d+):(\d+)')


# ----------------------------------------------------------------------------------------------
# Results

class Results:
    """Counts checks, names every failure as it happens and prints the summary line."""

    def __init__(self, title):
        self.title = title
        self.passed = 0
        self.failed = 0
        self.lock = threading.Lock()

    def check(self, ok, what, detail=''):
        with self.lock:
            if ok:
                self.passed += 1
            else:
                self.failed += 1
                print('FAIL: %s%s' % (what, (': ' + str(detail)) if detail != '' else ''), flush=True)
        return bool(ok)

    def equal(self, actual, expected, what):
        return self.check(actual == expected, what, 'got %r, expected %r' % (actual, expected))

    def group(self, name, fn, *args):
        """Runs one group of checks; an exception inside it counts as one failure and the next
        group still runs."""
        print('--- %s' % name, flush=True)
        t0 = time.monotonic()
        try:
            fn(*args)
        except Exception:
            self.check(False, '%s raised' % name, traceback.format_exc())
        print('    %s: %.1f s' % (name, time.monotonic() - t0), flush=True)

    def finish(self):
        print('%s: %d passed, %d failed' % (self.title, self.passed, self.failed), flush=True)
        return 0 if self.failed == 0 and self.passed > 0 else 1


def curl(args, timeout):
    """Runs curl with the arguments; proxy settings of the environment never apply."""
    cmd = ['curl', '--silent', '--show-error', '--noproxy', '', '--max-time', str(int(timeout))] + args
    env = {k: v for k, v in os.environ.items() if 'proxy' not in k.lower()}
    return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout + 10, env=env)


def wait_until(predicate, timeout, interval=0.02):
    """Polls predicate until it returns a true value or the deadline passes; returns its last
    value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


# ----------------------------------------------------------------------------------------------
# Settings: the REGEDIT4 store of the native proxy, imported into the registry under Wine

def _rc5_key_table(key):
    def rotl(x, n):
        n &= 31
        return ((x << n) | (x >> (32 - n))) & 0xFFFFFFFF
    words = list(struct.unpack('<2I', key))
    s = [0xB7E15163]
    for _ in range(33):
        s.append((s[-1] + 0x9E3779B9) & 0xFFFFFFFF)
    a = b = i = j = 0
    for _ in range(102):
        a = s[i] = rotl((s[i] + a + b) & 0xFFFFFFFF, 3)
        b = words[j] = rotl((words[j] + a + b) & 0xFFFFFFFF, a + b)
        i = (i + 1) % 34
        j = (j + 1) % 2
    return s, rotl


def rc5_encipher(block, key=b'pemvarox'):
    """RC5-32/16/8 in ECB over whole 8-byte blocks: how the store keeps the SOCKS5 password."""
    s, rotl = _rc5_key_table(key)
    out = bytearray()
    for off in range(0, len(block) - len(block) % 8, 8):
        a, b = struct.unpack('<2I', block[off:off + 8])
        a = (a + s[0]) & 0xFFFFFFFF
        b = (b + s[1]) & 0xFFFFFFFF
        for k in range(1, 17):
            a = (rotl(a ^ b, b) + s[2 * k]) & 0xFFFFFFFF
            b = (rotl(b ^ a, a) + s[2 * k + 1]) & 0xFFFFFFFF
        out += struct.pack('<2I', a, b)
    return bytes(out) + bytes(block[len(out):])


def _hex(data):
    return 'hex:' + ','.join('%02x' % c for c in data)


def _u32(value):
    return _hex(struct.pack('<I', value & 0xFFFFFFFF))


def _reg_text(text):
    return '"' + text.replace('\\', '\\\\').replace('"', '\\"') + '"'


def _ip_value(dotted):
    return struct.unpack('!I', socket.inet_aton(dotted))[0]


class Settings:
    """The proxy's settings as the tests vary them. port 0 asks for a free port."""

    def __init__(self, **kw):
        self.address = '127.0.0.1'
        self.port = 0
        self.socks4 = True
        self.socks5 = True
        self.log = True
        self.ip_filter = False
        self.ip_ranges = []          # [(first dotted, last dotted)]
        self.auth = False
        self.user = ''
        self.password = ''
        self.limit = 9999
        self.raw_ranges = None       # bytes stored as "IP Ranges" as they are (a malformed value)
        self.raw_password = None     # bytes stored as "Socks5 Password" as they are
        for k, v in kw.items():
            if not hasattr(self, k):
                raise AttributeError(k)
            setattr(self, k, v)

    def store_text(self, log_folder, key='Software\\Kestrel Co\\Tollgate'):
        service = struct.pack('<H', 2) + struct.pack('!H', self.port) + socket.inet_aton(self.address) + bytes(8)
        ranges = b''.join(struct.pack('<II', _ip_value(a), _ip_value(b)) for a, b in self.ip_ranges)
        if self.password:
            block = self.password.encode('latin-1') + b'\0'
            block += bytes(33 - len(block))
            password = rc5_encipher(block[:32]) + block[32:]
        else:
            password = b''
        if self.raw_ranges is not None:
            ranges = self.raw_ranges
        if self.raw_password is not None:
            password = self.raw_password
        lines = [
            'REGEDIT4',
            '',
            '[HKEY_CURRENT_USER\\%s]' % key,
            '"Auto Start"=' + _u32(0),
            '"Service Address"=' + _hex(service),
            '"Socks5"=' + _u32(self.socks5),
            '"Socks4"=' + _u32(self.socks4),
            '"Log Folder"=' + _reg_text(log_folder),
            '"Log"=' + _u32(self.log),
            '"IP Ranges"=' + _hex(ranges),
            '"IP Filter"=' + _u32(self.ip_filter),
            '"Socks5 Userid"=' + _reg_text(self.user),
            '"Socks5 Password"=' + _hex(password),
            '"Socks5 Auth"=' + _u32(self.auth),
            '"Connection Limit"=' + _u32(self.limit),
            '',
        ]
        return '\n'.join(lines)


# ----------------------------------------------------------------------------------------------
# The environment a test script runs in

class Environment:
    """Where the proxy is and how to run it, from the command line of a test script."""

    def __init__(self, argv=None, description=''):
        p = argparse.ArgumentParser(description=description)
        p.add_argument('--proxy', required=True, help='tollgated, tollgated.exe or microsocks')
        p.add_argument('--wine', help="the Wine runner of the proxy's build tree (BUILD/wine-run.sh)")
        p.add_argument('--microsocks', action='store_true', help='the proxy is microsocks (SOCKS5 only, no log)')
        p.add_argument('--work', help='folder for temporary files (default: the system temp folder)')
        p.add_argument('--reduced', action='store_true', help='run the reduced set')
        p.add_argument('--sanitized', action='store_true',
                       help='the proxy is built with a sanitizer (whose own checks need descriptors)')
        a = p.parse_args(argv)
        self.sanitized = a.sanitized
        self.proxy = os.path.abspath(a.proxy) if os.path.exists(a.proxy) else a.proxy
        self.wine = a.wine
        self.microsocks = a.microsocks
        self.reduced = a.reduced or bool(a.wine)
        if a.work:
            os.makedirs(a.work, exist_ok=True)
        self.tmp = tempfile.mkdtemp(prefix='tgint-', dir=a.work)
        # Wine is slower in every step; the deadlines grow with it rather than the checks.
        self.slow = 3.0 if self.wine else 1.0
        self.has_log = not self.microsocks
        # What a session logs when its client resets: Wine hands a reset from the host's side to
        # the program as an orderly end.
        self.reset_errors = {'Connection reset by peer (10054)'}
        if self.wine:
            self.reset_errors.add('Connection unexpectedly closed')
        self._count = 0

    @property
    def kind(self):
        return 'wine' if self.wine else ('microsocks' if self.microsocks else 'native')

    def new_folder(self, name):
        self._count += 1
        path = os.path.join(self.tmp, '%02d-%s' % (self._count, name))
        os.makedirs(path)
        return path

    def cleanup(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def host_path(self, path):
        """A path as the proxy sees it: Wine maps the host's root to drive Z:."""
        if self.wine:
            return 'Z:' + path.replace('/', '\\')
        return path

    def wine_env(self):
        env = dict(os.environ)
        env.setdefault('WINEDEBUG', '-all')
        return env


# ----------------------------------------------------------------------------------------------
# The proxy process

class LogLine:
    __slots__ = ('date', 'version', 'user', 'source', 'dest', 'status', 'error', 'raw', 'offset')

    def __init__(self, raw, offset=0):
        self.raw = raw
        self.offset = offset   # where the line starts in the file
        text = raw.decode('latin-1')
        if len(text) < 2 or text[0] != '"' or text[-1] != '"':
            raise ValueError('not a log line: %r' % raw)
        parts = text[1:-1].split('" "')
        if len(parts) != 7:
            raise ValueError('not seven fields: %r' % raw)
        (self.date, self.version, self.user, self.source, self.dest, self.status, self.error) = parts

    def fields(self):
        return (self.version, self.user, self.source, self.dest, self.status, self.error)

    def __repr__(self):
        return repr(self.raw)


def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Proxy:
    """One run of the proxy with its own settings and log folder."""

    def __init__(self, env, settings, name):
        self.env = env
        self.settings = settings
        self.name = name
        self.folder = env.new_folder(name)
        self.log_folder = os.path.join(self.folder, 'log')
        os.makedirs(self.log_folder)
        self.proc = None
        self.nofile = None  # a descriptor limit (soft and hard) for the native proxy process
        self.args = []      # more options for the native proxy
        self.environ = {}   # more environment variables for the native proxy
        self.key = None
        self.address = None
        self.output = []
        self.exit_code = None
        self._reader = None
        self._address_seen = threading.Event()
        # When set, every client comes from an address of its own in 127.0.0.0/8: a proxy that
        # turns away an address after its tenth failed password check then never meets one
        # address often enough (for tests that send wrong passwords by the thousand).
        self.spread_sources = False
        self._next_source = 0

    # -- start and stop

    def start(self, expect_failure=False):
        """Starts the proxy; returns the (host, port) it listens on, or None when it ended
        instead (the exit code is then in exit_code)."""
        env = self.env
        if env.microsocks:
            port = self.settings.port or free_port()
            cmd = [env.proxy, '-i', self.settings.address, '-p', str(port)]
            if self.settings.auth:
                cmd += ['-u', self.settings.user, '-P', self.settings.password]
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
            self.address = (self.settings.address, port)
            if not wait_until(lambda: _can_connect(self.address), 5):
                raise RuntimeError('microsocks does not listen on %s:%d' % self.address)
            return self.address

        store = os.path.join(self.folder, 'settings.reg')
        if env.wine:
            # A key of its own for every run, so that runs in one prefix never share settings.
            self.key = 'Software\\Kestrel Co\\TollgateTest-%d-%s' % (os.getpid(), os.path.basename(self.folder))
            with open(store, 'w', newline='\n') as f:
                f.write(self.settings.store_text(env.host_path(self.log_folder), self.key))
            r = subprocess.run([env.wine, 'regedit', '/S', env.host_path(store)], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60,
                               env=env.wine_env())
            if r.returncode != 0:
                raise RuntimeError('regedit failed with %d' % r.returncode)
            cmd = [env.wine, env.proxy, '--stdin-stop', '--config', self.key]
            stdin = subprocess.PIPE
        else:
            self.write_settings()
            cmd = [env.proxy, '--config', store] + self.args
            stdin = subprocess.DEVNULL
        limit = None
        if self.nofile is not None and not env.wine:
            import resource
            n = self.nofile
            limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (n, n))
        run_env = env.wine_env() if env.wine else (dict(os.environ, **self.environ) if self.environ else None)
        self.proc = subprocess.Popen(cmd, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     env=run_env, cwd=self.folder, preexec_fn=limit)
        self._reader = threading.Thread(target=self._read_output, daemon=True)
        self._reader.start()
        deadline = time.monotonic() + 20 * env.slow
        while time.monotonic() < deadline:
            if self._address_seen.wait(0.02):
                return self.address
            if self.proc.poll() is not None:
                self.exit_code = self.proc.returncode
                self._reader.join(2)
                if self._address_seen.is_set():
                    return self.address
                if not expect_failure:
                    raise RuntimeError('%s ended with %d before it listened: %s'
                                       % (self.name, self.exit_code, self.output_text()))
                return None
        self.kill()
        raise RuntimeError('%s did not report its address in time: %s' % (self.name, self.output_text()))

    def _read_output(self):
        # Read line by line without waiting for the end of the pipe: under Wine a helper process
        # may hold it open after the proxy itself has ended.
        for raw in iter(self.proc.stdout.readline, b''):
            line = raw.decode('latin-1').rstrip('\r\n')
            self.output.append(line)
            if not self._address_seen.is_set():
                m = ADDRESS_RE.search(line)
                if m:
                    self.address = (m.group(1), int(m.group(2)))
                    self._address_seen.set()

    def output_text(self):
        return ' | '.join(self.output[-20:])

    # -- the native proxy as a service: its settings file, its signals, its output

    @property
    def store(self):
        return os.path.join(self.folder, 'settings.reg')

    def write_settings(self, text=None):
        """Writes the settings file of the native proxy: self.settings, or the text given. The file
        is replaced whole, as an editor saving it would."""
        if text is None:
            text = self.settings.store_text(self.env.host_path(self.log_folder))
        with open(self.store + '.tmp', 'w', newline='\n') as f:
            f.write(text)
        os.replace(self.store + '.tmp', self.store)

    def signal(self, signum):
        self.proc.send_signal(signum)

    def output_mark(self):
        """Where the output stands now, for wait_output."""
        return len(self.output)

    def wait_output(self, pattern, mark=0, timeout=5):
        """The first match of the regular expression in an output line from mark on, or None
        after the deadline."""
        regex = re.compile(pattern)
        found = []

        def seen():
            for line in self.output[mark:]:
                m = regex.search(line)
                if m:
                    found.append(m)
                    return True
            return False
        wait_until(seen, timeout * self.env.slow)
        return found[0] if found else None

    def stop(self, timeout=None):
        """Stops the proxy the way its user would and returns its exit code (None when it had to
        be killed)."""
        if self.proc is None:
            return self.exit_code
        if self.proc.poll() is None:
            if self.env.wine:
                try:
                    self.proc.stdin.close()
                except OSError:
                    pass
            else:
                self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout or 30 * self.env.slow)
            except subprocess.TimeoutExpired:
                self.kill()
                return None
        self.exit_code = self.proc.returncode
        if self._reader is not None:
            self._reader.join(2)
        return self.exit_code

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                pass

    # -- the session log

    def log_file(self):
        names = sorted(n for n in os.listdir(self.log_folder) if n.startswith('ServerLog'))
        return os.path.join(self.log_folder, names[0]) if names else None

    def log_bytes(self):
        path = self.log_file()
        if path is None:
            return b''
        with open(path, 'rb') as f:
            return f.read()

    def log_size(self):
        path = self.log_file()
        try:
            return os.path.getsize(path) if path else 0
        except OSError:
            return 0

    def log(self):
        """The complete event lines written so far (a line still being written is left out)."""
        data = self.log_bytes()
        if not data.startswith(LEGEND):
            return []
        lines = []
        pos = len(LEGEND)
        while True:
            end = data.find(b'\r\n', pos)
            if end < 0:
                return lines
            lines.append(LogLine(data[pos:end], pos))
            pos = end + 2

    def wait_log(self, predicate, count=1, timeout=5):
        """Waits until count lines match predicate; returns the matching lines seen at the end."""
        found = []

        def enough():
            found[:] = [l for l in self.log() if predicate(l)]
            return len(found) >= count
        wait_until(enough, timeout * self.env.slow)
        return list(found)

    def client(self, source='127.0.0.1', timeout=None):
        """A raw client that knows where its lines start in the log: the system may give a new
        connection the port of an earlier one, so lines are matched by endpoint and position."""
        if self.spread_sources and source == '127.0.0.1':
            self._next_source += 1
            n = self._next_source
            source = '127.%d.%d.%d' % (1 + (n // 65024) % 254, (n // 254) % 256, 1 + n % 254)
        mark = self.log_size()
        c = Client(self.address, source, timeout or 5 * self.env.slow)
        c.mark = mark
        return c

    def lines_of(self, client, lines=None):
        """The lines of a client (a Client, or an endpoint text for lines anywhere)."""
        ep, mark = (client, 0) if isinstance(client, str) else (client.endpoint, client.mark)
        return [l for l in (self.log() if lines is None else lines) if l.source == ep and l.offset >= mark]

    def lines_by_client(self, clients, lines=None):
        """The lines of each client, for clients that may share endpoints: a client's lines are
        those of its endpoint from its mark up to the mark of the next client on that endpoint."""
        lines = self.log() if lines is None else lines
        by_ep = {}
        for c in sorted(clients, key=lambda c: c.mark):
            by_ep.setdefault(c.endpoint, []).append(c)
        result = {c: [] for c in clients}
        for l in lines:
            group = by_ep.get(l.source)
            if not group:
                continue
            owner = None
            for c in group:
                if l.offset >= c.mark:
                    owner = c
            if owner is not None:
                result[owner].append(l)
        return result

    def wait_status(self, client, status, timeout=5):
        found = []

        def seen():
            found[:] = [l for l in self.lines_of(client) if l.status == status]
            return bool(found)
        wait_until(seen, timeout * self.env.slow)
        return found[0] if found else None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self.kill()
        if self.key is not None:
            subprocess.run([self.env.wine, 'reg', 'delete', 'HKCU\\' + self.key, '/f'], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60,
                           env=self.env.wine_env())
            self.key = None


def _can_connect(address):
    try:
        s = socket.create_connection(address, 1)
    except OSError:
        return False
    s.close()
    return True


# ----------------------------------------------------------------------------------------------
# Loopback servers: HTTP with downloads and uploads, UDP echo

def make_blob(size, seed):
    return random.Random(seed).randbytes(size)


class _HttpHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, *args):
        pass

    def do_GET(self):
        # /data/<size>/<seed>: size bytes of seeded pseudo-random data
        m = re.match(r'^/data/(\d+)/(\d+)$', self.path)
        if not m:
            self.send_error(404)
            return
        body = self.server.blob(int(m.group(1)), int(m.group(2)))
        self.send_response(200)
        self.send_header('Content-Type', 'application/octet-stream')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def _upload(self):
        length = int(self.headers.get('Content-Length', '0'))
        digest = hashlib.sha256()
        left = length
        while left > 0:
            chunk = self.rfile.read(min(left, 65536))
            if not chunk:
                break
            digest.update(chunk)
            left -= len(chunk)
        body = ('%d %s\n' % (length - left, digest.hexdigest())).encode()
        self.send_response(200)
        self.send_header('Content-Type', 'text/plain')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    do_PUT = _upload
    do_POST = _upload


class HttpServer(http.server.ThreadingHTTPServer):
    """GET /data/<size>/<seed> downloads, PUT or POST anything answers '<length> <sha256>'."""
    daemon_threads = True

    def __init__(self):
        super().__init__(('127.0.0.1', 0), _HttpHandler)
        self._blobs = {}
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self.serve_forever, kwargs={'poll_interval': 0.05}, daemon=True)
        self._thread.start()

    @property
    def port(self):
        return self.server_address[1]

    def handle_error(self, request, client_address):
        pass   # clients that reset in the middle of a transfer are part of the tests

    def blob(self, size, seed):
        with self._lock:
            key = (size, seed)
            if key not in self._blobs:
                self._blobs[key] = make_blob(size, seed)
            return self._blobs[key]

    def close(self):
        self.shutdown()
        self.server_close()
        self._thread.join(5)


class UdpEcho:
    """Answers every datagram with the same bytes, to the sender."""

    def __init__(self, address='127.0.0.1'):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((address, 0))
        self.port = self.sock.getsockname()[1]
        self.received = 0
        self.payloads = []
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop:
            r, _, _ = select.select([self.sock], [], [], 0.05)
            if not r:
                continue
            try:
                data, peer = self.sock.recvfrom(65535)
                self.received += 1
                self.payloads.append(data)
                self.sock.sendto(data, peer)
            except OSError:
                pass

    def close(self):
        self._stop = True
        self._thread.join(5)
        self.sock.close()


def closed_port():
    """A loopback port that nothing listens on (taken from the system and released)."""
    return free_port()


# ----------------------------------------------------------------------------------------------
# Raw SOCKS clients

class Client:
    """A raw TCP client of the proxy that sends exact bytes and reads exact replies."""

    def __init__(self, proxy_address, source='127.0.0.1', timeout=5.0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # Only bind when another source address is wanted: the system then picks the ports of
        # successive connections in sequence, so that two sessions of one test rarely share an
        # endpoint in the log.
        if source != '127.0.0.1':
            self.sock.bind((source, 0))
        self.sock.settimeout(timeout)
        self.sock.connect(proxy_address)
        self.timeout = timeout
        self.mark = 0
        host, port = self.sock.getsockname()
        self.endpoint = '%s:%d' % (host, port)

    def send(self, data):
        self.sock.sendall(data)

    def recv_exact(self, n, timeout=None):
        """Up to n bytes: fewer only when the proxy closed first or the deadline passed."""
        deadline = time.monotonic() + (timeout or self.timeout)
        data = b''
        while len(data) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            r, _, _ = select.select([self.sock], [], [], left)
            if not r:
                break
            try:
                chunk = self.sock.recv(n - len(data))
            except ConnectionResetError:
                break
            if not chunk:
                break
            data += chunk
        return data

    def read_to_end(self, timeout=None):
        """Everything up to the proxy's close: (data, True), or (data, False) at the deadline."""
        deadline = time.monotonic() + (timeout or self.timeout)
        data = b''
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return data, False
            r, _, _ = select.select([self.sock], [], [], left)
            if not r:
                return data, False
            try:
                chunk = self.sock.recv(65536)
            except (ConnectionResetError, ConnectionAbortedError):
                return data, True
            if not chunk:
                return data, True
            data += chunk

    def nothing_within(self, seconds):
        """True when no byte (and no close) arrives within the given time."""
        r, _, _ = select.select([self.sock], [], [], seconds)
        return not r

    def close(self):
        self.sock.close()

    def reset(self):
        """Closes with SO_LINGER {1, 0}: the proxy sees a reset instead of an orderly end."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
        self.sock.close()


def socks4_request(cmd, host, port, user=b''):
    return bytes([4, cmd]) + struct.pack('!H', port) + socket.inet_aton(host) + user + b'\0'


def socks5_request(cmd, host, port, atyp=1):
    if atyp == 1:
        addr = socket.inet_aton(host)
    elif atyp == 3:
        name = host.encode() if isinstance(host, str) else host
        addr = bytes([len(name)]) + name
    else:
        addr = host
    return bytes([5, cmd, 0, atyp]) + addr + struct.pack('!H', port)


def socks5_auth(user, password):
    u = user.encode('latin-1') if isinstance(user, str) else user
    p = password.encode('latin-1') if isinstance(password, str) else password
    return bytes([1, len(u)]) + u + bytes([len(p)]) + p


def socks5_connect(proxy, host, port, auth=None, timeout=5.0):
    """A SOCKS5 tunnel to host:port through a Proxy (or an address); returns (client, reply)."""
    c = proxy.client(timeout=timeout) if hasattr(proxy, 'client') else Client(proxy, timeout=timeout)
    c.send(b'\x05\x01' + (b'\x02' if auth else b'\x00'))
    method = c.recv_exact(2)
    if method != (b'\x05\x02' if auth else b'\x05\x00'):
        c.close()
        raise RuntimeError('method reply %r' % method)
    if auth:
        c.send(socks5_auth(*auth))
        status = c.recv_exact(2)
        if status != b'\x01\x00':
            c.close()
            raise RuntimeError('auth reply %r' % status)
    c.send(socks5_request(1, host, port))
    reply = c.recv_exact(10)
    if len(reply) != 10 or reply[1] != 0:
        c.close()
        raise RuntimeError('connect reply %r' % reply)
    return c, reply


def http_get_over(client, host, port, path, timeout=10.0):
    """A GET over an open tunnel; returns the body (the server closes after it)."""
    client.send(('GET %s HTTP/1.1\r\nHost: %s:%d\r\nConnection: close\r\n\r\n' % (path, host, port)).encode())
    data, ended = client.read_to_end(timeout)
    head, _, body = data.partition(b'\r\n\r\n')
    if not head.startswith(b'HTTP/1.1 200') or not ended:
        raise RuntimeError('GET %s: %r' % (path, data[:200]))
    return body


def udp_header(host, port, atyp=1, frag=0):
    if atyp == 1:
        addr = socket.inet_aton(host)
    elif atyp == 3:
        name = host.encode() if isinstance(host, str) else host
        addr = bytes([len(name)]) + name
    else:
        addr = host
    return bytes([0, 0, frag, atyp]) + addr + struct.pack('!H', port)


def udp_recv(sock, timeout):
    r, _, _ = select.select([sock], [], [], timeout)
    if not r:
        return None, None
    return sock.recvfrom(65535)


def run_main(title, env, groups):
    """Runs the groups of a test script in order and returns its exit code."""
    results = Results(title)
    print('%s against %s (%s)' % (title, env.proxy, env.kind), flush=True)
    t0 = time.monotonic()
    try:
        for name, fn in groups:
            results.group(name, fn, env, results)
    finally:
        env.cleanup()
    print('total %.1f s' % (time.monotonic() - t0), flush=True)
    return results.finish()
