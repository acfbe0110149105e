#!/usr/bin/env python3
"""clients_test.py: real clients through the proxy.

curl downloads and uploads a few megabytes through SOCKS4, SOCKS5, SOCKS5 with the host name
resolved by the proxy, and SOCKS5 with user name and password, from and to a loopback HTTP
server, and compares every byte by its hash; a SOCKS5 UDP client talks to a loopback echo server
through the relay.
"""

import hashlib
import os
import socket
import subprocess
import sys
import threading

from harness import (Environment, HttpServer, Proxy, Settings, UdpEcho, curl, run_main,
                     socks5_request, udp_header, udp_recv)

MB = 1024 * 1024


def download(r, env, server, proxy_args, what, size, seed, host='127.0.0.1'):
    out = os.path.join(env.tmp, 'download-%d' % seed)
    p = curl(proxy_args + ['-o', out, 'http://%s:%d/data/%d/%d' % (host, server.port, size, seed)],
             30 * env.slow)
    if r.check(p.returncode == 0, '%s: curl exit code' % what, '%d %s' % (p.returncode, p.stderr.decode(errors='replace'))):
        with open(out, 'rb') as f:
            got = f.read()
        r.equal(len(got), size, '%s: downloaded length' % what)
        r.check(hashlib.sha256(got).digest() == hashlib.sha256(server.blob(size, seed)).digest(),
                '%s: downloaded bytes' % what)
    if os.path.exists(out):
        os.remove(out)


def upload(r, env, server, proxy_args, what, size, seed):
    src = os.path.join(env.tmp, 'upload-%d' % seed)
    data = server.blob(size, seed)
    with open(src, 'wb') as f:
        f.write(data)
    p = curl(proxy_args + ['-H', 'Expect:', '-T', src, 'http://127.0.0.1:%d/upload' % server.port], 30 * env.slow)
    if r.check(p.returncode == 0, '%s: curl exit code' % what, '%d %s' % (p.returncode, p.stderr.decode(errors='replace'))):
        r.equal(p.stdout.decode().strip(), '%d %s' % (size, hashlib.sha256(data).hexdigest()),
                '%s: length and hash seen by the server' % what)
    os.remove(src)


def proxy_url(proxy):
    return '%s:%d' % proxy.address


def test_socks4_and_socks5(env, r):
    server = HttpServer()
    try:
        with Proxy(env, Settings(), 'open') as proxy:
            proxy.start()
            where = proxy_url(proxy)
            if not env.microsocks:
                download(r, env, server, ['--socks4', where], 'socks4 download', 3 * MB, 1)
                upload(r, env, server, ['--socks4', where], 'socks4 upload', 2 * MB + 17, 2)
            download(r, env, server, ['--socks5', where], 'socks5 download', 4 * MB + 3, 3)
            upload(r, env, server, ['--socks5', where], 'socks5 upload', 3 * MB, 4)
            download(r, env, server, ['--socks5-hostname', where], 'socks5-hostname download', 2 * MB, 5,
                     host='localhost')
            upload(r, env, server, ['--socks5-hostname', where], 'socks5-hostname upload', MB, 6)
            # Small transfers: a body shorter than one relay block, and an empty one.
            download(r, env, server, ['--socks5', where], 'socks5 small download', 1, 7)
            download(r, env, server, ['--socks5', where], 'socks5 empty download', 0, 8)

            # Several tunnels at once, each with its own data.
            threads = []
            n = 3 if env.reduced else 6
            for i in range(n):
                kind = '--socks4' if (i % 2 and not env.microsocks) else '--socks5'
                t = threading.Thread(target=download,
                                     args=(r, env, server, [kind, where], 'parallel %d' % i, MB + i, 100 + i))
                threads.append(t)
                t.start()
            for t in threads:
                t.join(60 * env.slow)
                r.check(not t.is_alive(), 'parallel download ended')

            if env.has_log:
                tunnels = proxy.wait_log(lambda l: l.status == 'TCP tunnel ready', 8 + n)
                r.check(len(tunnels) == 8 + n, 'one TCP tunnel ready line per transfer', len(tunnels))
                r.check(any(l.version == '4' for l in tunnels), 'a SOCKS4 tunnel line shows Version 4')
                r.check(all(l.dest == '127.0.0.1:%d' % server.port for l in tunnels),
                        'every tunnel line names the HTTP server as destination',
                        [l.dest for l in tunnels if l.dest != '127.0.0.1:%d' % server.port])
            code = proxy.stop()
            if not env.microsocks:
                r.equal(code, 0, 'exit code after stop')
    finally:
        server.close()


def test_authentication(env, r):
    server = HttpServer()
    try:
        settings = Settings(auth=True, user='Proxy.User', password='pa$$ word:32-chars-long-xxxxxxxx')
        with Proxy(env, settings, 'auth') as proxy:
            proxy.start()
            where = proxy_url(proxy)
            download(r, env, server, ['--socks5', where, '--proxy-user', 'Proxy.User:pa$$ word:32-chars-long-xxxxxxxx'],
                     'socks5 download with user and password', 2 * MB, 11)
            upload(r, env, server, ['--socks5-hostname', where, '--proxy-user',
                                    'Proxy.User:pa$$ word:32-chars-long-xxxxxxxx'],
                   'socks5-hostname upload with user and password', MB, 12)
            p = curl(['--socks5', where, '--proxy-user', 'Proxy.User:wrong', '-o', os.devnull,
                      'http://127.0.0.1:%d/data/10/1' % server.port], 20 * env.slow)
            r.check(p.returncode != 0, 'a wrong password makes curl fail')
            p = curl(['--socks5', where, '-o', os.devnull, 'http://127.0.0.1:%d/data/10/1' % server.port],
                     20 * env.slow)
            r.check(p.returncode != 0, 'no credentials make curl fail')
            if env.has_log:
                tunnels = proxy.wait_log(lambda l: l.status == 'TCP tunnel ready', 2)
                r.check(len(tunnels) == 2 and all(l.user == 'Proxy.User' for l in tunnels),
                        'tunnel lines carry the user name', tunnels)
                refused = proxy.wait_log(lambda l: l.status == 'Disconnect' and l.error == 'Socks negotiate auth. error', 2)
                r.equal(len(refused), 2, 'refused clients logged with the auth error')
            code = proxy.stop()
            if not env.microsocks:
                r.equal(code, 0, 'exit code after stop')
    finally:
        server.close()


def udp_associate(proxy):
    """Opens a UDP association; returns (control connection, relay address)."""
    c = proxy.client()
    c.send(b'\x05\x01\x00')
    if c.recv_exact(2) != b'\x05\x00':
        raise RuntimeError('method refused')
    c.send(socks5_request(3, '0.0.0.0', 0))
    reply = c.recv_exact(10)
    if len(reply) != 10 or reply[:4] != b'\x05\x00\x00\x01':
        raise RuntimeError('UDP ASSOCIATE reply %r' % reply)
    return c, (socket.inet_ntoa(reply[4:8]), int.from_bytes(reply[8:10], 'big'))


def test_udp(env, r):
    echo = UdpEcho()
    try:
        with Proxy(env, Settings(), 'udp') as proxy:
            proxy.start()
            control, relay = udp_associate(proxy)
            r.equal(relay[0], '127.0.0.1', 'relay address is the interface the client connected to')
            r.check(relay[1] not in (0, proxy.address[1]), 'relay has a port of its own', relay)
            u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            u.bind(('127.0.0.1', 0))
            wait = 5 * env.slow
            expected_header = udp_header('127.0.0.1', echo.port)
            for size in (1, 512, 1472, 9000, 65000):
                payload = bytes((size * 7 + i) & 0xFF for i in range(size))
                u.sendto(udp_header('127.0.0.1', echo.port) + payload, relay)
                data, sender = udp_recv(u, wait)
                if r.check(data is not None, 'echo of %d bytes arrives' % size):
                    r.equal(sender, relay, 'reply comes from the relay')
                    r.equal(data[:10], expected_header, 'reply header names the echo server (%d bytes)' % size)
                    r.check(data[10:] == payload, 'payload of %d bytes comes back unchanged' % size)
            # The destination by name, resolved by the proxy.
            u.sendto(udp_header('localhost', echo.port, atyp=3) + b'by name', relay)
            data, _ = udp_recv(u, wait)
            r.equal(data, expected_header + b'by name', 'datagram to "localhost" is relayed')
            # Another port of the client's address is another program: once the client's port is
            # known, nothing from another port is relayed, and no reply goes there.
            u2 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            u2.bind(('127.0.0.1', 0))
            u2.sendto(udp_header('127.0.0.1', echo.port) + b'moved', relay)
            if not env.microsocks:
                r.check(udp_recv(u2, 0.3)[0] is None, 'another port of the client host gets nothing')
            # Dropped: fragment 1, address type 4, from another host.
            u.sendto(udp_header('127.0.0.1', echo.port, frag=1) + b'fragment', relay)
            u.sendto(udp_header(bytes(16), echo.port, atyp=4) + b'ipv6', relay)
            other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            other.bind(('127.0.0.2', 0))
            other.sendto(udp_header('127.0.0.1', echo.port) + b'foreign', relay)
            u.sendto(udp_header('127.0.0.1', echo.port) + b'after', relay)
            data, _ = udp_recv(u, wait)
            if env.microsocks and data == expected_header + b'moved':
                data, _ = udp_recv(u, wait)
            r.equal(data, expected_header + b'after', 'dropped datagrams are not relayed')
            r.check(udp_recv(other, 0.2)[0] is None, 'nothing reaches the foreign host')
            if env.has_log:
                ready = proxy.wait_status(control, 'UDP relay ready')
                r.check(ready is not None and ready.fields() == ('5', '-', control.endpoint, '(UDP ASSOCIATE)',
                                                                 'UDP relay ready', '-'),
                        'UDP relay ready line', ready)
            # One byte on the control connection ends the association.
            control.send(b'x')
            data, ended = control.read_to_end(5 * env.slow)
            r.check(ended and data == b'', 'the proxy closes the association after a byte on the control connection')
            if env.has_log:
                line = proxy.wait_status(control, 'Disconnect')
                r.check(line is not None and line.fields() == ('5', '-', control.endpoint, '(UDP ASSOCIATE)',
                                                               'Disconnect', '-'),
                        'Disconnect line of the association', line)
            u.sendto(udp_header('127.0.0.1', echo.port) + b'late', relay)
            r.check(udp_recv(u, 0.3)[0] is None, 'the relay is gone after the association ended')
            for s in (u, u2, other):
                s.close()
            control.close()
            r.equal(proxy.stop(), 0, 'exit code after stop')
    finally:
        echo.close()


def main():
    env = Environment(description=__doc__)
    groups = [('SOCKS4 and SOCKS5 transfers', test_socks4_and_socks5),
              ('SOCKS5 user name and password', test_authentication)]
    if not env.microsocks:
        groups.append(('SOCKS5 UDP relay', test_udp))
    return run_main('clients', env, groups)


if __name__ == '__main__':
    sys.exit(main())
