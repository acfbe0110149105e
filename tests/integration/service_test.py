#!/usr/bin/env python3
"""service_test.py: tollgated as a Linux service: the reload of its settings file on SIGHUP, the
state on SIGUSR1, and the session log on the standard error for the journal.

Each test starts the native tollgated on a free loopback port with a settings file of its own
(--config), drives it with real sockets and signals, and waits for what it expects with a
deadline. Native only: Windows has no such signals.
"""

import os
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

from harness import (Environment, Proxy, Settings, UdpEcho, free_port, run_main, socks4_request,
                     socks5_auth, socks5_request, udp_header, udp_recv, wait_until)

RELOADED = r'Settings reloaded from '
STATE_RE = (r'Statistics: started (\S+ \S+ \S+|-); active connections (\d+); source TCP (\d+) bytes, '
            r'UDP (\d+) bytes; destination TCP (\d+) bytes, UDP (\d+) bytes; snapshot (.+)$')
CREDS = ('alice', 'Open Sesame')


class TcpEcho:
    """Sends back whatever each connection sends, until it closes."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(('127.0.0.1', 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop:
            r, _, _ = select.select([self.sock], [], [], 0.05)
            if r:
                try:
                    conn, _ = self.sock.accept()
                except OSError:
                    continue
                threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    @staticmethod
    def _serve(conn):
        try:
            while True:
                data = conn.recv(65536)
                if not data:
                    break
                conn.sendall(data)
        except OSError:
            pass
        conn.close()

    def close(self):
        self._stop = True
        self._thread.join(5)
        self.sock.close()


def tunnel(proxy, port, source='127.0.0.1', auth=None):
    """A SOCKS5 tunnel to 127.0.0.1:port; raises when it is refused."""
    c = proxy.client(source=source)
    c.send(b'\x05\x01' + (b'\x02' if auth else b'\x00'))
    method = c.recv_exact(2)
    if method != (b'\x05\x02' if auth else b'\x05\x00'):
        c.close()
        raise RuntimeError('method reply %r' % method)
    if auth:
        c.send(socks5_auth(*auth))
        if c.recv_exact(2) != b'\x01\x00':
            c.close()
            raise RuntimeError('authentication refused')
    c.send(socks5_request(1, '127.0.0.1', port))
    reply = c.recv_exact(10)
    if len(reply) != 10 or reply[1] != 0:
        c.close()
        raise RuntimeError('connect reply %r' % reply)
    return c


def echoes(client, size, seed):
    """Sends size bytes through an echo tunnel and reads them back; True when they all came."""
    data = bytes((seed + i * 7) & 0xFF for i in range(size))
    sender = threading.Thread(target=client.send, args=(data,), daemon=True)
    sender.start()
    got = client.recv_exact(size, timeout=10)
    sender.join(10)
    return got == data


def refused(proxy, source='127.0.0.1'):
    """A client that the proxy closes without a word (a Block): its endpoint, or None."""
    c = proxy.client(source=source)
    c.send(b'\x05\x01\x00')
    data, ended = c.read_to_end(5 * proxy.env.slow)
    c.close()
    return c.endpoint if ended and data == b'' else None


def blocked(proxy, endpoint, reason):
    lines = proxy.wait_log(lambda l: l.source == endpoint and l.status == 'Block')
    return bool(lines) and lines[0].error == reason


def reload(proxy, r, what, settings=None, text=None):
    """Writes the settings (or a text) over the file, sends SIGHUP and waits for the answer
    line; returns the match of 'reloaded' or of the refusal."""
    mark = proxy.output_mark()
    if settings is not None:
        proxy.settings = settings
    proxy.write_settings(text)
    proxy.signal(signal.SIGHUP)
    m = proxy.wait_output(r'(Settings reloaded from .*|tollgated: reload: .*)$', mark)
    r.check(m is not None, '%s: the reload answers' % what, proxy.output_text())
    return m


def test_reload_narrower_ranges(env, r):
    """A narrower range list refuses the next client from outside it; a running tunnel from there
    keeps moving bytes, and the server does not restart."""
    echo = TcpEcho()
    try:
        ranges = [('127.0.0.1', '127.0.0.2')]
        with Proxy(env, Settings(ip_filter=True, ip_ranges=ranges), 'narrower') as proxy:
            port = proxy.start()[1]
            running = tunnel(proxy, echo.port, source='127.0.0.2')
            r.check(echoes(running, 1000, 1), 'the tunnel from 127.0.0.2 works before the reload')

            m = reload(proxy, r, 'narrower', Settings(port=port, ip_filter=True,
                                                      ip_ranges=[('127.0.0.1', '127.0.0.1')]))
            r.check(m and m.group(0).startswith('Settings reloaded from ') and 'restarting' not in m.group(0),
                    'the reload applies without a restart', m and m.group(0))
            endpoint = refused(proxy, source='127.0.0.2')
            r.check(endpoint and blocked(proxy, endpoint, 'Connection not allowed by ruleset'),
                    'the next client from 127.0.0.2 is refused by the new list', endpoint)
            r.check(echoes(running, 300000, 2), 'the running tunnel from 127.0.0.2 still moves 300 kB each way')
            inside = tunnel(proxy, echo.port)
            r.check(echoes(inside, 1000, 3), 'a client from 127.0.0.1 is still served')
            inside.close()

            # Switched off again: 127.0.0.2 is served once more.
            reload(proxy, r, 'filter off', Settings(port=port))
            again = tunnel(proxy, echo.port, source='127.0.0.2')
            r.check(echoes(again, 1000, 4), 'with the filter off 127.0.0.2 is served again')
            again.close()
            r.check(echoes(running, 1000, 5), 'the first tunnel still runs after two reloads')
            running.close()
            r.check(not any(l.status == 'Server stopped' for l in proxy.log()), 'the server never restarted')
            r.equal(proxy.stop(), 0, 'stops with 0')
    finally:
        echo.close()


def test_reload_rules(env, r):
    """Authentication, the SOCKS4 switch and the connection limit apply to the next client."""
    echo = TcpEcho()
    try:
        with Proxy(env, Settings(), 'rules') as proxy:
            port = proxy.start()[1]
            c = proxy.client()
            c.send(socks4_request(1, '127.0.0.1', echo.port, b'bob'))
            r.equal(c.recv_exact(8)[:2], b'\x00\x5a', 'SOCKS4 is served before the reload')
            c.close()

            mark = proxy.output_mark()
            reload(proxy, r, 'auth', Settings(port=port, auth=True, user=CREDS[0], password=CREDS[1],
                                              socks4=False, limit=1))
            # Each refused session has left the table before the next client comes: the limit is 1.
            c = proxy.client()
            c.send(b'\x05\x01\x00')
            r.equal(c.read_to_end(5)[0], b'\x05\xff', 'SOCKS5 without a password is refused')
            c.close()
            line = proxy.wait_status(c, 'Disconnect')
            r.check(line is not None and line.error == 'Socks negotiate auth. error', 'and logged so', line)
            d = proxy.client()
            d.send(socks4_request(1, '127.0.0.1', echo.port, b'bob'))
            data, ended = d.read_to_end(5)
            r.check(ended and data == b'', 'SOCKS4 is refused', data)
            d.close()
            line = proxy.wait_status(d, 'Disconnect')
            r.check(line is not None and line.error == 'Socks version not allowed', 'by its switch', line)
            held = tunnel(proxy, echo.port, auth=CREDS)
            r.check(echoes(held, 1000, 6), 'SOCKS5 with the new user name and password is served')
            endpoint = refused(proxy)
            r.check(endpoint and blocked(proxy, endpoint, 'Maximum connection limit reached'),
                    'the new limit of 1 refuses a second client', endpoint)
            held.close()
            r.check(not any(re.search('Warning', l) for l in proxy.output[mark:]),
                    'no warning with SOCKS4 off and a password required', proxy.output[mark:])

            mark = proxy.output_mark()
            reload(proxy, r, 'SOCKS4 on', Settings(port=port, auth=True, user=CREDS[0], password=CREDS[1]))
            r.check(proxy.wait_output(r'^Warning: SOCKS4 is on while SOCKS5 clients must give a password', mark),
                    'a reload that leaves SOCKS4 on beside a password warns', proxy.output[mark:])
            r.equal(proxy.stop(), 0, 'stops with 0')
    finally:
        echo.close()


def test_reload_new_port(env, r):
    """A new service address restarts the server there, and the output says so."""
    echo = TcpEcho()
    try:
        with Proxy(env, Settings(), 'port') as proxy:
            old_port = proxy.start()[1]
            new_port = free_port()
            mark = proxy.output_mark()
            m = reload(proxy, r, 'new port', Settings(port=new_port))
            r.check(m and 'the service address changed from 127.0.0.1:%d to 127.0.0.1:%d, restarting the server'
                    % (old_port, new_port) in m.group(0), 'the output says why the server restarts',
                    m and m.group(0))
            r.check(proxy.wait_output(r'^Tollgate listening on 127\.0\.0\.1:%d$' % new_port, mark),
                    'the new address is announced', proxy.output[mark:])
            proxy.address = ('127.0.0.1', new_port)
            c = tunnel(proxy, echo.port)
            r.check(echoes(c, 1000, 7), 'a client is served at the new port')
            c.close()
            s = socket.socket()
            s.settimeout(2)
            try:
                s.connect(('127.0.0.1', old_port))
                old_open = True
            except OSError:
                old_open = False
            s.close()
            r.check(not old_open, 'nothing listens at the old port')
            logs = sorted(n for n in os.listdir(proxy.log_folder) if n.startswith('ServerLog'))
            r.equal(len(logs), 2, 'the restart began a second session log')
            first = open(os.path.join(proxy.log_folder, logs[0]), 'rb').read()
            r.check(first.rstrip().endswith(b'"Server stopped" "-"'), 'the first log ends with Server stopped')

            # An address that cannot be served: the previous one is served again.
            taken = socket.socket()
            taken.bind(('127.0.0.1', 0))
            taken.listen(1)
            mark = proxy.output_mark()
            reload(proxy, r, 'taken port', Settings(port=taken.getsockname()[1]))
            r.check(proxy.wait_output(r'^tollgated: reload: serving the previous address and log settings again$',
                                      mark), 'a port that is taken: the previous address again', proxy.output[mark:])
            r.check(proxy.wait_output(r'^Tollgate listening on 127\.0\.0\.1:%d$' % new_port, mark),
                    'announced again', proxy.output[mark:])
            r.check(any(l.startswith('Server startup failed') for l in proxy.output[mark:]), 'after saying why')
            c = tunnel(proxy, echo.port)
            r.check(echoes(c, 1000, 11), 'and served there')
            c.close()
            taken.close()
            r.equal(proxy.stop(), 0, 'stops with 0')
    finally:
        echo.close()


def test_reload_unusable_file(env, r):
    """A file that cannot be used is reported and the running settings stay: the filter, the
    port. A FIFO in place of the file does not hang the reload."""
    echo = TcpEcho()
    try:
        settings = Settings(ip_filter=True, ip_ranges=[('127.0.0.1', '127.0.0.1')])
        with Proxy(env, settings, 'unusable') as proxy:
            port = proxy.start()[1]
            good = settings.store_text(proxy.log_folder)
            cases = [('a malformed line', good + 'garbage\n', 'line '),
                     ('a short "Service Address"',
                      re.sub(r'"Service Address"=hex:[0-9a-f,]+', '"Service Address"=hex:02,00,04,38', good),
                      'has 4 bytes, not 16'),
                     ('no "Service Address"', re.sub(r'"Service Address"=hex:[0-9a-f,]+\n', '', good),
                      'has no "Service Address"')]
            for what, text, reason in cases:
                m = reload(proxy, r, what, text=text)
                r.check(m and m.group(0).startswith('tollgated: reload: ') and reason in m.group(0)
                        and m.group(0).endswith('; the running settings stay'),
                        '%s: refused with its reason' % what, m and m.group(0))
            os.remove(proxy.store)
            os.mkfifo(proxy.store)
            mark = proxy.output_mark()
            proxy.signal(signal.SIGHUP)
            m = proxy.wait_output(r'tollgated: reload: .*', mark)
            r.check(m and 'not a plain file' in m.group(0), 'a FIFO: refused at once, not waited for',
                    m and m.group(0))
            endpoint = refused(proxy, source='127.0.0.2')
            r.check(endpoint and blocked(proxy, endpoint, 'Connection not allowed by ruleset'),
                    'the running filter still refuses 127.0.0.2')
            c = tunnel(proxy, echo.port)
            r.check(echoes(c, 1000, 8), 'the running port still serves 127.0.0.1')
            c.close()
            r.equal(proxy.address[1], port, 'the same port')
            r.equal(proxy.stop(), 0, 'stops with 0')
    finally:
        echo.close()


def state_line(proxy, r, what):
    mark = proxy.output_mark()
    proxy.signal(signal.SIGUSR1)
    m = proxy.wait_output(STATE_RE, mark)
    r.check(m is not None, '%s: SIGUSR1 writes the statistics line' % what, proxy.output[mark:])
    return m


def snapshot_rows(path):
    text = open(path, 'rb').read().decode('latin-1')
    rows = re.findall(r'<TR><TD>(?!<b>).*?</TD></TR>', text)
    return text, rows


def test_state(env, r):
    """SIGUSR1: one line with the statistics, a snapshot page with one row per live session in the
    log folder, or in the state folder while no log is written."""
    echo = TcpEcho()
    udp_echo = UdpEcho()
    try:
        with Proxy(env, Settings(), 'state') as proxy:
            proxy.start()
            a = tunnel(proxy, echo.port)
            b = tunnel(proxy, echo.port)
            r.check(echoes(a, 5000, 9) and echoes(b, 3000, 10), 'two tunnels move bytes')
            control = proxy.client()
            control.send(b'\x05\x01\x00')
            control.recv_exact(2)
            control.send(socks5_request(3, '0.0.0.0', 0))
            reply = control.recv_exact(10)
            relay = (socket.inet_ntoa(reply[4:8]), int.from_bytes(reply[8:10], 'big'))
            u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            u.bind(('127.0.0.1', 0))
            u.sendto(udp_header('127.0.0.1', udp_echo.port) + b'x' * 100, relay)
            data, _ = udp_recv(u, 5 * env.slow)
            r.check(data is not None, 'the association relays a datagram')
            r.check(proxy.wait_status(control, 'UDP relay ready') is not None, 'the association is ready')

            m = state_line(proxy, r, 'three sessions')
            if m:
                started, sessions, src_tcp, src_udp, dst_tcp, dst_udp, path = m.groups()
                r.check(re.match(r'^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4}$', started), 'the start time', started)
                r.equal(int(sessions), 3, 'three live sessions')
                r.check(int(src_tcp) >= 2 * 8000 and int(dst_tcp) >= 2 * 8000,
                        'TCP bytes on both sides count both directions', m.group(0))
                r.check(int(src_udp) >= 100 and int(dst_udp) >= 100, 'UDP bytes on both sides', m.group(0))
                r.equal(os.path.dirname(path), proxy.log_folder, 'the snapshot is in the log folder')
                r.equal(os.path.basename(path), 'Snapshot.html', 'its name')
                if r.check(os.path.isfile(path), 'the snapshot page exists', path):
                    text, rows = snapshot_rows(path)
                    r.equal(len(rows), 3, 'one row per live session')
                    for c in (a, b, control):
                        r.check(c.endpoint in text, 'the row of %s' % c.endpoint)
                    r.check('(UDP ASSOCIATE)' in text, 'the association is shown as such')
            a.close()
            b.close()
            control.close()
            u.close()
            r.check(wait_until(lambda: len([l for l in proxy.log() if l.status == 'Disconnect']) >= 3,
                               5 * env.slow), 'the sessions end')
            m = state_line(proxy, r, 'no session')
            if m:
                r.equal(int(m.group(2)), 0, 'no live session once they ended')
                r.equal(os.path.basename(m.group(7)), 'Snapshot[1].html', 'the second page gets the next name')
                if os.path.isfile(m.group(7)):
                    r.equal(len(snapshot_rows(m.group(7))[1]), 0, 'the second page has no row')
            r.equal(proxy.stop(), 0, 'stops with 0')

        with Proxy(env, Settings(log=False), 'state-nolog') as proxy:
            state = os.path.join(proxy.folder, 'state')
            proxy.environ = {'XDG_STATE_HOME': state}
            proxy.start()
            c = tunnel(proxy, echo.port)
            m = state_line(proxy, r, 'no log')
            if m:
                r.equal(m.group(7), os.path.join(state, 'tollgate', 'Snapshot.html'),
                        'without a log the snapshot goes into the state folder')
                if os.path.isfile(m.group(7)):
                    r.equal(len(snapshot_rows(m.group(7))[1]), 1, 'its one row')
            c.close()
            r.equal(proxy.stop(), 0, 'stops with 0')
    finally:
        echo.close()
        udp_echo.close()


def journal_run(env, folder, environ, args=()):
    """tollgated with standard output and error on one pipe of its own; JOURNAL_STREAM may name
    that pipe (environ maps '{pipe}' to its "device:inode"). Returns (proc, reader, lines)."""
    read_fd, write_fd = os.pipe()
    st = os.fstat(write_fd)
    pipe_id = '%d:%d' % (st.st_dev, st.st_ino)
    settings = Settings()
    store = os.path.join(folder, 'settings.reg')
    log_folder = os.path.join(folder, 'log')
    os.makedirs(log_folder, exist_ok=True)
    with open(store, 'w', newline='\n') as f:
        f.write(settings.store_text(log_folder))
    run_env = {k: v for k, v in os.environ.items() if k != 'JOURNAL_STREAM'}
    run_env.update({k: v.replace('{pipe}', pipe_id) for k, v in environ.items()})
    proc = subprocess.Popen([env.proxy, '--config', store] + list(args), stdin=subprocess.DEVNULL,
                            stdout=write_fd, stderr=write_fd, env=run_env)
    os.close(write_fd)
    lines = []
    reader = threading.Thread(target=lambda: [lines.append(l.decode('latin-1').rstrip('\n'))
                                              for l in iter(os.fdopen(read_fd, 'rb').readline, b'')],
                              daemon=True)
    reader.start()
    return proc, reader, lines, log_folder


def journal_case(env, r, what, environ, args, expect_lines):
    echo = TcpEcho()
    folder = env.new_folder('journal')
    proc, reader, lines, log_folder = journal_run(env, folder, environ, args)
    try:
        m = wait_until(lambda: next((re.search(r'Tollgate listening on (\S+):(\d+)', l) for l in lines
                                     if 'listening' in l), None), 10 * env.slow)
        if not r.check(m, '%s: starts' % what, lines):
            return
        address = (m.group(1), int(m.group(2)))
        c = socket.create_connection(address, 5)
        c.sendall(b'\x05\x01\x00')
        c.recv(2)
        c.sendall(socks5_request(1, '127.0.0.1', echo.port))
        c.recv(10)
        c.close()
        log = os.path.join(log_folder, 'ServerLog.txt')
        wait_until(lambda: os.path.exists(log) and b'"Disconnect"' in open(log, 'rb').read(), 5 * env.slow)
        proc.send_signal(signal.SIGTERM)
        proc.wait(20)
        reader.join(5)
        events = [l for l in open(log, 'rb').read().decode('latin-1').split('\r\n') if l.startswith('"')]
        mirrored = [l for l in lines if l.startswith('"')]
        if expect_lines:
            r.check(len(events) >= 4, '%s: the log has its lines' % what, events)
            r.equal(mirrored, events, '%s: every session-log line on the standard error, in order' % what)
        else:
            r.equal(mirrored, [], '%s: no session-log line on the standard error' % what)
        r.equal(proc.returncode, 0, '%s: stops with 0' % what)
    finally:
        if proc.poll() is None:
            proc.kill()
        echo.close()


def test_journal(env, r):
    journal_case(env, r, 'JOURNAL_STREAM names standard error', {'JOURNAL_STREAM': '{pipe}'}, [], True)
    journal_case(env, r, '--log-stderr', {}, ['--log-stderr'], True)
    journal_case(env, r, 'an inherited JOURNAL_STREAM of another stream', {'JOURNAL_STREAM': '1:1'}, [], False)
    journal_case(env, r, 'no JOURNAL_STREAM', {}, [], False)


def main():
    env = Environment(sys.argv[1:], description=__doc__)
    if env.microsocks or env.wine:
        print('service: tests the native tollgated\'s signals; nothing to run here')
        return 0
    return run_main('service', env, [('reload: narrower ranges', test_reload_narrower_ranges),
                                     ('reload: access rules', test_reload_rules),
                                     ('reload: new port', test_reload_new_port),
                                     ('reload: unusable file', test_reload_unusable_file),
                                     ('state', test_state),
                                     ('journal', test_journal)])


if __name__ == '__main__':
    sys.exit(main())
