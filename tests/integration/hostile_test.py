#!/usr/bin/env python3
"""hostile_test.py: the proxy against clients that misbehave.

Garbage in place of every byte of the SOCKS handshakes, handshakes cut off at every byte by an
orderly close and by a reset, resets during tunnels and associations, 200 clients that stop
half-way through their handshake while good clients are served beside them, oversized names,
and junk datagrams at a UDP relay. Afterwards a normal tunnel must still work, every Connect
line must have found its Disconnect line (so every session left the table), and the proxy must
stop cleanly.

Garbage never sends the proxy off the machine: a model of the negotiation tells, for every
mutated handshake, where the proxy would connect, and a mutation that would lead anywhere but
the local HTTP server is left out. Host names are only ever "localhost" or names the resolver
refuses without asking a server (a label longer than 63 characters).
"""

import random
import re
import select
import socket
import struct
import sys
import threading
import time

from harness import (Environment, HttpServer, Proxy, Settings, UdpEcho, http_get_over,
                     run_main, socks4_request, socks5_auth, socks5_connect, socks5_request,
                     udp_header, udp_recv, wait_until)

CREDS = ('Tester', 'pass-word')
KNOWN_ERRORS = {'-', 'Socks negotiate error', 'Socks negotiate auth. error', 'Method not allowed',
                'Socks version not allowed', 'Addresstype not supported', 'Connection unexpectedly closed',
                'Select error timeout', 'Cannot find server or DNS Error'}


class Handshake:
    """A valid handshake as steps of (bytes the client sends, length of the proxy's answer)."""

    def __init__(self, name, steps, auth=False):
        self.name = name
        self.steps = steps
        self.auth = auth
        self.data = b''.join(s for s, _ in steps)

    def reply_length_after(self, k):
        """How many reply bytes the proxy has sent once it has read the first k bytes."""
        total = sent = 0
        for data, answer in self.steps:
            total += len(data)
            if k >= total:
                sent += answer
        return sent


def handshakes(http_port):
    return [
        Handshake('SOCKS4 CONNECT', [(socks4_request(1, '127.0.0.1', http_port, b'user'), 8)]),
        Handshake('SOCKS5 CONNECT', [(b'\x05\x01\x00', 2), (socks5_request(1, '127.0.0.1', http_port), 10)]),
        Handshake('SOCKS5 CONNECT by name', [(b'\x05\x02\x02\x00', 2),
                                             (socks5_request(1, 'localhost', http_port, atyp=3), 10)]),
        Handshake('SOCKS5 UDP ASSOCIATE', [(b'\x05\x01\x00', 2), (socks5_request(3, '0.0.0.0', 0), 10)]),
        Handshake('SOCKS5 CONNECT with password', [(b'\x05\x01\x02', 2), (socks5_auth(*CREDS), 2),
                                                   (socks5_request(1, '127.0.0.1', http_port), 10)], auth=True),
    ]


class Incomplete(Exception):
    pass


def model_destination(data, auth):
    """Where a proxy that reads these bytes would connect: None (nowhere), 'udp', or
    (kind, address, port) with kind 'ip' or 'name'."""
    pos = [0]

    def take(n):
        if pos[0] + n > len(data):
            raise Incomplete
        b = data[pos[0]:pos[0] + n]
        pos[0] += n
        return b
    try:
        version = take(1)[0]
        if version == 4:
            cmd = take(1)[0]
            port = take(2)
            addr = take(4)
            for _ in range(256):
                if take(1)[0] == 0:
                    break
            else:
                return None
            return ('ip', addr, port) if cmd == 1 else None
        if version != 5:
            return None
        methods = take(take(1)[0])
        want = 2 if auth else 0
        if want not in methods:
            return None
        if want == 2:
            if take(1)[0] != 1:
                return None
            user = take(take(1)[0])
            password = take(take(1)[0])
            if not user or not password or user.lower() != CREDS[0].lower().encode() or password != CREDS[1].encode():
                return None
        ver, cmd, _, atyp = take(4)
        if ver != 5:
            return None
        if atyp == 1:
            dest = ('ip', take(4), take(2))
        elif atyp == 3:
            dest = ('name', take(take(1)[0]), take(2))
        else:
            return None
        if cmd == 1:
            return dest
        return 'udp' if cmd == 3 else None
    except Incomplete:
        return None


def is_safe(data, auth, http_port):
    dest = model_destination(data, auth)
    if dest is None or dest == 'udp':
        return True
    kind, addr, port = dest
    if struct.unpack('!H', port)[0] != http_port:
        return False
    if kind == 'ip':
        return addr[0] == 127
    return addr == b'localhost' or re.fullmatch(rb'127(\.(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)){3}', addr) is not None


def open_batch(proxy, payloads, deadline_s):
    """Opens one client per payload, sends it, reads until the proxy closes or the deadline,
    then closes every client. Returns the clients."""
    clients = []
    for data in payloads:
        c = proxy.client(timeout=10 * proxy.env.slow)
        if data:
            c.send(data)
        clients.append(c)
    open_ = {c.sock: c for c in clients}
    deadline = time.monotonic() + deadline_s
    while open_ and time.monotonic() < deadline:
        r, _, _ = select.select(list(open_), [], [], max(0.0, deadline - time.monotonic()))
        for s in r:
            try:
                chunk = s.recv(65536)
            except OSError:
                chunk = b''
            if not chunk:
                del open_[s]
    for c in clients:
        c.close()
    return clients


def sessions_balanced(proxy, r, what, clients=None, timeout=10, may_vanish=()):
    """Waits until every session has ended: each Connect line has its Disconnect line. With
    clients, every one of them must have had a session, except those in may_vanish (clients
    that reset before the proxy had answered anything: the session may have met the reset before
    it even learned the client's address, and then logs nothing but a Disconnect line from "-").
    Checks that every Disconnect names a known error."""
    state = {}

    def balanced():
        lines = proxy.log()
        ends = [l for l in lines if l.status == 'Disconnect']
        state['ends'] = ends
        if clients is None:
            connects = sum(1 for l in lines if l.status == 'Connect')
            named_ends = sum(1 for l in ends if l.source != '-')
            state['detail'] = '%d Connect lines, %d Disconnect lines from a client' % (connects, named_ends)
            return connects == named_ends
        missing, open_ = [], []
        for c, mine in proxy.lines_by_client(clients, lines).items():
            n_connect = sum(1 for l in mine if l.status == 'Connect')
            n_end = sum(1 for l in mine if l.status == 'Disconnect')
            if n_connect == 0 and c not in may_vanish:
                missing.append(c.endpoint)
            elif n_connect != n_end:
                open_.append(c.endpoint)
        state['detail'] = 'no session: %s; not ended: %s' % (missing[:5], open_[:5])
        return not missing and not open_
    ok = wait_until(balanced, timeout * proxy.env.slow, 0.05)
    r.check(ok, '%s: every session ended' % what, state.get('detail'))
    odd = [l for l in state.get('ends', [])
           if l.error not in KNOWN_ERRORS and not re.fullmatch(r'[A-Za-z ,.]+ \(\d+\)', l.error)]
    r.check(not odd, '%s: every Disconnect names a known error' % what, odd[:5])
    return state.get('ends', [])


def still_serves(proxy, server, r, what):
    try:
        c, _ = socks5_connect(proxy, '127.0.0.1', server.port, timeout=10 * proxy.env.slow)
        body = http_get_over(c, '127.0.0.1', server.port, '/data/300000/9', 20 * proxy.env.slow)
        c.close()
        ok = body == server.blob(300000, 9)
    except (OSError, RuntimeError) as e:
        ok = False
        what += ' (%s)' % e
    r.check(ok, 'a normal tunnel works after %s' % what)
    r.check(proxy.proc.poll() is None, 'the proxy still runs after %s' % what)


def test_garbage(env, r, proxy, server, auth_proxy):
    values = (0x00, 0xFF, 0x7F) if env.reduced else (0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x7F, 0x80, 0xFF)
    for hs in handshakes(server.port):
        target = auth_proxy if hs.auth else proxy
        payloads = []
        skipped = 0
        for i in range(len(hs.data)):
            for v in set(values + (hs.data[i] ^ 0x01,)):
                if v == hs.data[i]:
                    continue
                mutated = hs.data[:i] + bytes([v]) + hs.data[i + 1:]
                if is_safe(mutated, hs.auth, server.port):
                    payloads.append(mutated)
                else:
                    skipped += 1
        clients = []
        for start in range(0, len(payloads), 100):
            clients += open_batch(target, payloads[start:start + 100], 0.5 * env.slow)
        print('    %s: %d mutations sent, %d left out as unsafe' % (hs.name, len(payloads), skipped))
        sessions_balanced(target, r, 'garbage in %s' % hs.name, clients)
    rnd = random.Random(1234)
    blobs = []
    while len(blobs) < (20 if env.reduced else 100):
        blob = bytes([rnd.choice((4, 5))]) + rnd.randbytes(rnd.randrange(1, 40))
        if is_safe(blob, False, server.port):
            blobs.append(blob)
    sessions_balanced(proxy, r, 'random handshakes', open_batch(proxy, blobs, 0.5 * env.slow))
    still_serves(proxy, server, r, 'garbage')


def test_truncation(env, r, proxy, server, auth_proxy, reset):
    how = 'reset' if reset else 'close'
    for hs in handshakes(server.port):
        target = auth_proxy if hs.auth else proxy
        cut = {}
        for k in range(len(hs.data)):
            c = target.client(timeout=5 * env.slow)
            c.send(hs.data[:k])
            # Read what the proxy has answered so far, so that the close finds nothing unread.
            want = hs.reply_length_after(k)
            got = c.recv_exact(want, 5 * env.slow) if want else b''
            r.check(len(got) == want, '%s cut at %d: %d reply bytes' % (hs.name, k, want), len(got))
            if reset:
                c.reset()
            else:
                c.close()
            cut[c] = k
        vanish = [c for c, k in cut.items() if reset and hs.reply_length_after(k) == 0]
        sessions_balanced(target, r, '%s of %s' % (how, hs.name), list(cut), may_vanish=vanish)
        by_client = target.lines_by_client(list(cut))
        for c, k in cut.items():
            mine = by_client[c]
            end = [l for l in mine if l.status == 'Disconnect']
            expected = env.reset_errors if reset else {'Connection unexpectedly closed'}
            ok = len(end) == 1 and end[0].error in expected
            if c in vanish and not mine:
                ok = True
            version = '-' if k == 0 else hs.data[0:1].decode('latin-1').replace('\x04', '4').replace('\x05', '5')
            if ok and end:
                ok = end[0].version == version
            r.check(ok, '%s cut at byte %d by %s' % (hs.name, k, how), mine)
    if reset:
        # A burst of clients that reset at once, most of them before the listener accepts them:
        # none of them may take the listener down.
        burst = [proxy.client() for _ in range(50)]
        for c in burst:
            c.reset()
        sessions_balanced(proxy, r, 'burst of resets', burst, may_vanish=burst)
    still_serves(proxy, server, r, 'cut handshakes (%s)' % how)


def test_resets_in_relays(env, r, proxy, server, echo):
    # Reset in the middle of a download.
    for n in range(3):
        c, _ = socks5_connect(proxy, '127.0.0.1', server.port, timeout=5 * env.slow)
        c.send(('GET /data/%d/3 HTTP/1.1\r\nHost: x\r\n\r\n' % (8 << 20)).encode())
        got = c.recv_exact(100000, 5 * env.slow)
        r.check(len(got) == 100000, 'download started before the reset')
        c.reset()
        line = proxy.wait_status(c, 'Disconnect')
        r.check(line is not None and line.error == '-', 'reset during a download ends the tunnel quietly', line)
    # Reset of a UDP association's control connection while datagrams flow.
    c = proxy.client(timeout=5 * env.slow)
    c.send(b'\x05\x01\x00' + socks5_request(3, '0.0.0.0', 0))
    reply = c.recv_exact(12)
    r.check(reply[:6] == b'\x05\x00\x05\x00\x00\x01', 'association granted', reply)
    relay = (socket.inet_ntoa(reply[6:10]), struct.unpack('!H', reply[10:12])[0])
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.bind(('127.0.0.1', 0))
    for i in range(20):
        u.sendto(udp_header('127.0.0.1', echo.port) + b'x' * i, relay)
    c.reset()
    line = proxy.wait_status(c, 'Disconnect')
    r.check(line is not None and line.fields()[3:] == ('(UDP ASSOCIATE)', 'Disconnect', '-'),
            'reset of an association ends it quietly', line)
    u.close()
    still_serves(proxy, server, r, 'resets in relays')


def test_idle_crowd(env, r, proxy, server):
    partial = [b'', b'\x05', b'\x05\x01', b'\x05\x01\x00', b'\x04\x01\x00\x50\x7f\x00\x00\x01ab',
               b'\x05\x01\x00\x05\x01\x00\x03\x09local']
    idle = []
    for i in range(200):
        c = proxy.client(timeout=10 * env.slow)
        if partial[i % len(partial)]:
            c.send(partial[i % len(partial)])
        idle.append(c)
    connected = []

    def all_connected():
        connected[:] = [c for c, mine in proxy.lines_by_client(idle).items()
                        if any(l.status == 'Connect' for l in mine)]
        return len(connected) == len(idle)
    wait_until(all_connected, 20 * env.slow, 0.05)
    r.equal(len(connected), 200, 'all 200 idle clients were admitted')
    # Good clients beside them, several at once.
    results = []

    def good(i):
        try:
            c, _ = socks5_connect(proxy, '127.0.0.1', server.port, timeout=10 * env.slow)
            body = http_get_over(c, '127.0.0.1', server.port, '/data/%d/%d' % (500000 + i, 20 + i), 20 * env.slow)
            c.close()
            results.append(body == server.blob(500000 + i, 20 + i))
        except (OSError, RuntimeError):
            results.append(False)
    threads = [threading.Thread(target=good, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60 * env.slow)
    r.check(len(results) == 8 and all(results), 'good clients are served while 200 clients idle', results)
    r.check(all(not proxy.lines_of(c) or proxy.lines_of(c)[-1].status == 'Connect'
                for c in idle[:20]), 'idle clients are still waiting')
    for c in idle:
        c.close()
    sessions_balanced(proxy, r, 'idle clients closed', idle, 20)


def test_oversized(env, r, proxy, server, auth_proxy):
    # 255-byte user name and password: refused like any wrong credentials.
    c = auth_proxy.client(timeout=5 * env.slow)
    c.send(b'\x05\x01\x02' + socks5_auth('U' * 255, 'P' * 255))
    data, ended = c.read_to_end(5 * env.slow)
    r.check(data == b'\x05\x02\x01\x01' and ended, '255-byte user name and password are refused', data)
    c.close()
    # 255-byte host name (one label longer than 63 characters: never sent to a name server).
    c = proxy.client(timeout=5 * env.slow)
    c.send(b'\x05\x01\x00' + socks5_request(1, 'h' * 255, server.port, atyp=3))
    data, ended = c.read_to_end(5 * env.slow)
    r.check(data == b'\x05\x00\x05\x04\x00\x01' + bytes(6) and ended, '255-byte host name is answered 04', data)
    c.close()
    # SOCKS4 user id far beyond 256 bytes.
    c = proxy.client(timeout=5 * env.slow)
    c.send(socks4_request(1, '127.0.0.1', server.port)[:-1] + b'L' * 4000)
    data, ended = c.read_to_end(5 * env.slow)
    r.check(data == b'' and ended, 'an endless SOCKS4 user id is cut off without a reply', data)
    c.close()
    line = proxy.wait_status(c, 'Disconnect')
    r.check(line is not None and line.error == 'Socks negotiate error', 'endless user id: Disconnect line', line)
    # A user id that tries to start lines of its own in the log.
    c = proxy.client(timeout=5 * env.slow)
    c.send(socks4_request(2, '127.0.0.1', server.port, b'ev"il\r\n"X"Y'))
    data, ended = c.read_to_end(5 * env.slow)
    r.check(data == b'\x00\x5b' + bytes(6), 'SOCKS4 BIND with a crafted user id is refused', data)
    c.close()
    line = proxy.wait_status(c, 'Disconnect')
    # Its double quotes become single quotes: the line keeps exactly its seven quoted fields.
    r.check(line is not None and b'\r\n"X"' not in proxy.log_bytes() and line.raw.count(b'"') == 14 and
            line.user == "ev'il??'X'Y", 'a user id cannot break the log into lines or fields', line)
    still_serves(proxy, server, r, 'oversized names')


def test_udp_junk(env, r, proxy, server, echo):
    c = proxy.client(timeout=5 * env.slow)
    c.send(b'\x05\x01\x00' + socks5_request(3, '0.0.0.0', 0))
    reply = c.recv_exact(12)
    if not r.check(reply[:6] == b'\x05\x00\x05\x00\x00\x01', 'association granted', reply):
        return
    relay = (socket.inet_ntoa(reply[6:10]), struct.unpack('!H', reply[10:12])[0])
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.bind(('127.0.0.1', 0))
    good = udp_header('127.0.0.1', echo.port)
    junk = [b'', b'\x00', b'\x00' * 7, b'\x00\x00\x00\x01\x7f\x00\x00\x01\x00',
            udp_header('127.0.0.1', echo.port, frag=1) + b'p', udp_header('127.0.0.1', echo.port, frag=0xFF),
            b'\x00\x00\x00\x00' + b'\x7f\x00\x00\x01' + b'\x00\x07p', b'\x00\x00\x00\x02' + b'\x7f\x00\x00\x01\x00\x07',
            udp_header(bytes(16), echo.port, atyp=4) + b'p', b'\x00\x00\x00\xff' + b'z' * 30,
            b'\x00\x00\x00\x03\x00\x00\x07p', b'\x00\x00\x00\x03\xff' + b'a' * 20, b'\x00\x00\x00\x03\x05ab',
            b'\x00\x00\x01\x01' + b'\x00' * 65000]
    rnd = random.Random(99)
    for _ in range(40 if env.reduced else 300):
        blob = bytearray(rnd.randbytes(rnd.randrange(0, 200)))
        if len(blob) > 3:
            blob[2] |= 1  # a fragment: never relayed, wherever it points
        junk.append(bytes(blob))
    for j in junk:
        u.sendto(j, relay)
    # And from another host, a datagram that would be valid from the client.
    other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    other.bind(('127.0.0.2', 0))
    other.sendto(good + b'foreign', relay)
    before = len(echo.payloads)
    # The junk may fill the relay's receive buffer, and UDP drops what does not fit: ask again
    # until the answer comes or the deadline passes.
    answer = []

    def probe():
        u.sendto(good + b'still here', relay)
        data, _ = udp_recv(u, 0.2)
        if data is not None:
            answer.append(data)
        return bool(answer)
    wait_until(probe, 10 * env.slow, 0)
    r.equal(answer[:1], [good + b'still here'], 'the relay still works after junk')
    seen = echo.payloads[before:]
    r.check(seen and all(p == b'still here' for p in seen), 'no junk reached the echo server', seen[:5])
    c.send(b'x')
    r.check(c.read_to_end(5 * env.slow)[1], 'association ends on a byte from the client')
    c.close()
    u.close()
    other.close()
    line = proxy.wait_status(c, 'Disconnect')
    r.check(line is not None and line.error == '-', 'association ended quietly', line)
    still_serves(proxy, server, r, 'UDP junk')


def test_all(env, r):
    server = HttpServer()
    echo = UdpEcho()
    try:
        with Proxy(env, Settings(), 'hostile') as proxy, \
                Proxy(env, Settings(auth=True, user=CREDS[0], password=CREDS[1]), 'hostile-auth') as auth_proxy:
            proxy.start()
            auth_proxy.start()
            # Thousands of wrong passwords: from one address they would be turned away after ten.
            auth_proxy.spread_sources = True
            steps = [('garbage at every byte', test_garbage, (proxy, server, auth_proxy)),
                     ('handshakes cut by close', test_truncation, (proxy, server, auth_proxy, False)),
                     ('handshakes cut by reset', test_truncation, (proxy, server, auth_proxy, True)),
                     ('resets in relays', test_resets_in_relays, (proxy, server, echo)),
                     ('200 idle clients', test_idle_crowd, (proxy, server)),
                     ('oversized names', test_oversized, (proxy, server, auth_proxy)),
                     ('UDP junk', test_udp_junk, (proxy, server, echo))]
            for name, fn, args in steps:
                r.group(name, fn, env, r, *args)
            for p in (proxy, auth_proxy):
                sessions_balanced(p, r, 'end of the run (%s)' % p.name)
                t0 = time.monotonic()
                r.equal(p.stop(), 0, '%s: exit code after stop' % p.name)
                r.check(time.monotonic() - t0 < 10 * env.slow, '%s: stop is prompt' % p.name)
                lines = p.log()
                r.check(bool(lines) and lines[-1].status == 'Server stopped', '%s: Server stopped last' % p.name)
    finally:
        echo.close()
        server.close()


def main():
    env = Environment(description=__doc__)
    if env.microsocks:
        print('hostile: needs the session log of the proxy; nothing to run against microsocks')
        return 0
    return run_main('hostile', env, [('hostile clients', test_all)])


if __name__ == '__main__':
    sys.exit(main())
