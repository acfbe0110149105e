"""headless_test.py: tollgated as a Linux user sets it up: the first start's commented settings
file, the command-line settings with --save, bad values, --version, and the systemd unit.

With --wine (the Windows console host) it checks that a settings file saved by the native
tollgated (--native PATH) loads with Wine's regedit and gives the Windows build the same user
name and password.
"""

import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import threading
import time

from harness import Environment, HttpServer, curl, free_port, run_main, wait_until

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LISTEN_RE = re.compile(r'Tollgate listening on (\d+\.\d+\.\d+\.\d+):(\d+)')
NATIVE = None


class Run:
    """One tollgated process with a configuration folder of its own."""

    def __init__(self, exe, config_home, args, stdin_text=None, wine_env=None):
        env = dict(os.environ)
        env['XDG_CONFIG_HOME'] = config_home
        env['XDG_STATE_HOME'] = os.path.join(config_home, 'state')
        env['HOME'] = config_home
        if wine_env:
            env.update(wine_env)
        self.proc = subprocess.Popen(exe + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=env, text=True)
        if stdin_text is not None:
            self.proc.stdin.write(stdin_text)
            self.proc.stdin.flush()
        self.lines = []
        self.address = None
        # The output is read by a thread of its own, so that every wait here has a deadline even
        # when the program hangs without a word.
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in iter(self.proc.stdout.readline, ''):
            self.lines.append(line.rstrip('\n'))

    def wait_listening(self, timeout):
        def listening():
            for line in list(self.lines):
                m = LISTEN_RE.search(line)
                if m:
                    return (m.group(1), int(m.group(2)))
            return None
        self.address = wait_until(lambda: listening() or self.proc.poll() is not None, timeout) and listening()
        return self.address

    def stop(self, by_stdin=False):
        if self.proc.poll() is None:
            if by_stdin:
                self.proc.stdin.close()
                self.proc.stdin = None  # closed: communicate must not flush it
            else:
                self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self._reader.join(5)
        return self.proc.returncode


def run_to_end(exe, config_home, args, stdin_text=''):
    r = subprocess.run(exe + args, input=stdin_text, capture_output=True, text=True, timeout=20,
                       env=dict(os.environ, XDG_CONFIG_HOME=config_home, HOME=config_home))
    return r.returncode, r.stdout, r.stderr


def fetch(address, http, user=None):
    args = ['--socks5-hostname', '%s:%d' % address, 'http://127.0.0.1:%d/data/1000/3' % http.port]
    if user:
        args = ['--proxy-user', user] + args
    r = curl(args, 10)
    return r.returncode, r.stdout


def store_of(home):
    return os.path.join(home, 'tollgate', 'tollgate.reg')


def test_first_start(env, r):
    home = env.new_folder('first')
    run = Run([env.proxy], home, ['--listen', '127.0.0.1:0'])
    address = run.wait_listening(10)
    r.check(address is not None and address[0] == '127.0.0.1', 'serves the --listen address', run.lines)
    r.equal(run.stop(), 0, 'stops with 0 on SIGTERM')
    path = store_of(home)
    r.check(os.path.exists(path), 'the first start wrote the settings file')
    if not os.path.exists(path):
        return
    text = open(path, 'rb').read().decode('latin-1')
    r.equal(stat.S_IMODE(os.stat(path).st_mode), 0o600, 'the settings file is the user\'s alone')
    r.check('"setonce"=hex:01,00,00,00' in text, 'the first-run marker is there')
    r.check('"Service Address"=hex:02,00,04,38,7f,00,00,01,' in text,
            'the stored default serves 127.0.0.1:1080, not every address')
    values = re.findall(r'^"([^"]+)"=', text, re.M)
    r.equal(len(values), 13, 'every value is written')
    lines = text.split('\r\n')
    r.check(all(lines[i - 1].startswith(';') for i, l in enumerate(lines) if l.startswith('"')),
            'a comment above every value')

    # A later start with settings options but without --save leaves the file as it is.
    before = open(path, 'rb').read()
    run = Run([env.proxy], home, ['--listen', '127.0.0.1:0', '--limit', '5', '--no-log'])
    r.check(run.wait_listening(10) is not None, 'a later start serves')
    run.stop()
    r.check(open(path, 'rb').read() == before, 'the file is untouched without --save')


def test_bad_values(env, r):
    cases = [(['--listen', '127.0.0.1'], '--listen'), (['--listen', '255.255.255.255:1080'], '--listen'),
             (['--allow', '10.0.0.0/33'], '--allow'), (['--allow', '10.0.0.1-10.0.0'], '--allow'),
             (['--limit', '0'], '--limit'), (['--limit', '10000'], '--limit'), (['--limit'], '--limit'),
             (['--user', 'alice', '--password-file', '/nonexistent/pw'], '--password-file'),
             (['--no-socks4', '--no-socks5'], '--no-socks4'), (['--frobnicate'], '--frobnicate'),
             (['--user', 'alice'], '--user')]
    for args, option in cases:
        home = env.new_folder('bad')
        code, out, err = run_to_end([env.proxy], home, args + ['--save'], stdin_text='')
        lines = err.strip().splitlines()
        r.check(code == 2 and len(lines) == 1 and option in lines[0] and out == '',
                '%s: exit 2 and one line naming %s' % (' '.join(args), option), (code, out, err))
        r.check(not os.path.exists(os.path.join(home, 'tollgate')), '%s: nothing written' % ' '.join(args))


def test_version(env, r):
    code, out, _ = run_to_end([env.proxy], env.new_folder('version'), ['--version'])
    m = re.search(r'project\(Tollgate VERSION ([0-9.]+)', open(os.path.join(ROOT, 'CMakeLists.txt')).read())
    r.check(code == 0 and m and out.strip() == 'tollgated (Tollgate) %s' % m.group(1),
            '--version prints the project version', out)


def save_with_user(exe, home, port, password):
    """tollgated --listen 127.0.0.1:PORT --user alice --password-file F --save; stopped at once."""
    pw = os.path.join(home, 'password')
    with open(pw, 'w') as f:
        f.write(password + '\n')
    run = Run([exe], home, ['--listen', '127.0.0.1:%d' % port, '--user', 'alice', '--password-file', pw,
                            '--save'])
    address = run.wait_listening(10)
    code = run.stop()
    return address, code


def test_saved_user(env, r):
    http = HttpServer()
    try:
        home = env.new_folder('user')
        port = free_port()
        address, code = save_with_user(env.proxy, home, port, 'Open Sesame')
        r.check(address == ('127.0.0.1', port) and code == 0, 'the saving run served and stopped', address)

        run = Run([env.proxy], home, [])
        address = run.wait_listening(10)
        r.equal(address, ('127.0.0.1', port), 'a plain start serves the saved address')
        if address:
            code, body = fetch(address, http, 'alice:Open Sesame')
            r.check(code == 0 and body == http.blob(1000, 3), 'curl with the saved user name and password', code)
            code, body = fetch(address, http, 'alice:wrong')
            r.check(code != 0 and body == b'', 'curl with a wrong password is refused', code)
            code, body = fetch(address, http)
            r.check(code != 0 and body == b'', 'curl without a password is refused', code)
        run.stop()
    finally:
        http.close()


def private_network(extra=''):
    """A command prefix that runs a program in a network namespace of its own, loopback up (and
    extra commands run first), or None when the machine does not allow one. In there
    127.0.0.1:1080 is always free, whatever this machine runs."""
    prefix = ['unshare', '-n', 'sh', '-c', 'ip link set lo up %s&& exec "$0" "$@"' % extra]
    try:
        p = subprocess.run(prefix + ['true'], capture_output=True, timeout=20)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return prefix if p.returncode == 0 else None


GOOD = ('REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate]\n'
        '"Service Address"=hex:02,00,9c,40,7f,00,00,01,00,00,00,00,00,00,00,00\n"Log"=hex:00,00,00,00\n')


def test_bad_settings_file(env, r):
    """A settings file that exists but cannot be used serves 127.0.0.1:1080 and says why; never
    every address."""
    prefix = private_network()
    if prefix is None:
        print('    no network namespace here: 127.0.0.1:1080 may be taken, the cases are not run')
        return
    cases = [
        ('a malformed line', lambda p: open(p, 'w').write(GOOD + 'not a value\n'), 'line 6'),
        ('a dangling symbolic link', lambda p: os.symlink(p + '.gone', p), 'symbolic link'),
        ('a folder', lambda p: os.mkdir(p), 'not a plain file'),
        ('a FIFO', lambda p: os.mkfifo(p), 'not a plain file'),
        ('a "Service Address" of 4 bytes',
         lambda p: open(p, 'w').write(GOOD.replace('9c,40,7f,00,00,01,00,00,00,00,00,00,00,00', '04,38')),
         'has 4 bytes, not 16'),
        ('no "Service Address"', lambda p: open(p, 'w').write(GOOD.split('"Service')[0] + '"Log"=hex:00,00,00,00\n'),
         'has no "Service Address"'),
    ]
    for what, make, reason in cases:
        home = env.new_folder('badfile')
        path = os.path.join(home, 'tollgate.reg')
        make(path)
        run = Run(prefix + [env.proxy], home, ['--config', path])
        address = run.wait_listening(10)
        code = run.stop()
        r.equal(address, ('127.0.0.1', 1080), '%s: serves 127.0.0.1:1080, not every address' % what)
        said = [l for l in run.lines if 'serving 127.0.0.1:1080, this machine only, not every address' in l]
        r.check(len(said) == 1 and reason in said[0], '%s: one line says why (%s)' % (what, reason), run.lines)
        r.check(not any('open proxy' in l for l in run.lines), '%s: no open proxy' % what)
        r.equal(code, 0, '%s: stops with 0' % what)
    # The good file itself serves what it says, and says nothing.
    home = env.new_folder('goodfile')
    path = os.path.join(home, 'tollgate.reg')
    open(path, 'w').write(GOOD)
    run = Run(prefix + [env.proxy], home, ['--config', path])
    r.equal(run.wait_listening(10), ('127.0.0.1', 40000), 'a good file: its own address')
    run.stop()
    r.check(not any('serving 127.0.0.1:1080' in l for l in run.lines), 'a good file: no complaint', run.lines)
    # --listen overrides: the address line is not needed then, the file's trouble is still said.
    home = env.new_folder('badlisten')
    path = os.path.join(home, 'tollgate.reg')
    os.mkdir(path)
    run = Run(prefix + [env.proxy], home, ['--config', path, '--listen', '127.0.0.1:0'])
    r.check(run.wait_listening(10) is not None, 'a bad file with --listen serves the --listen address')
    run.stop()
    r.check(any('not a plain file' in l for l in run.lines)
            and not any('serving 127.0.0.1:1080' in l for l in run.lines), 'and says only what is wrong', run.lines)


def test_password_file(env, r):
    """The password file: a NUL byte and UTF-16 are refused with one line and exit 2; a UTF-8
    byte order mark is dropped."""
    for what, data, words in [('a NUL byte', b'ab\x00cdefgh\n', 'NUL byte'),
                              ('UTF-16 with its byte order mark', '\ufeffsecret\r\n'.encode('utf-16-le'), 'UTF-16'),
                              ('big-endian UTF-16', '\ufeffsecret'.encode('utf-16-be'), 'UTF-16'),
                              ('UTF-16 without a byte order mark', 'secret\n'.encode('utf-16-le'), 'NUL byte')]:
        home = env.new_folder('pwbad')
        pw = os.path.join(home, 'password')
        with open(pw, 'wb') as f:
            f.write(data)
        # --stdin-stop: a program that took the password anyway stops at once instead of serving.
        code, out, err = run_to_end([env.proxy], home, ['--user', 'alice', '--password-file', pw, '--save',
                                                        '--listen', '127.0.0.1:0', '--stdin-stop'])
        lines = err.strip().splitlines()
        r.check(code == 2 and len(lines) == 1 and '--password-file' in lines[0] and words in lines[0] and out == '',
                '%s: exit 2 and one line saying so' % what, (code, out, err))
        r.check(not os.path.exists(os.path.join(home, 'tollgate')), '%s: nothing written' % what)

    http = HttpServer()
    try:
        home = env.new_folder('pwbom')
        pw = os.path.join(home, 'password')
        with open(pw, 'wb') as f:
            f.write(b'\xef\xbb\xbfOpen Sesame\r\n')
        port = free_port()
        run = Run([env.proxy], home, ['--listen', '127.0.0.1:%d' % port, '--user', 'alice', '--password-file', pw,
                                      '--no-socks4'])
        address = run.wait_listening(10)
        if r.check(address is not None, 'a UTF-8 file with a byte order mark is taken', run.lines):
            code, body = fetch(address, http, 'alice:Open Sesame')
            r.check(code == 0 and body == http.blob(1000, 3), 'the password is the text after the mark', code)
            code, _ = fetch(address, http, 'alice:\ufeffOpen Sesame')
            r.check(code != 0, 'the mark is no part of it', code)
        run.stop()
    finally:
        http.close()


def warnings_of(env, home, prefix, args):
    run = Run(prefix + [env.proxy], home, args)
    address = run.wait_listening(10)
    run.stop()
    return address, [l for l in run.lines if l.startswith('Warning')], run.lines


def test_warnings(env, r):
    """The open-proxy warning for any address outside 127.0.0.0/8, and the SOCKS4 warning beside
    a required password."""
    home = env.new_folder('warn')
    pw = os.path.join(home, 'password')
    with open(pw, 'w') as f:
        f.write('Open Sesame\n')
    user = ['--user', 'alice', '--password-file', pw]
    for what, args, expected in [
            ('127.0.0.1, nothing restricted', ['--listen', '127.0.0.1:0'], None),
            ('127.0.0.2, nothing restricted', ['--listen', '127.0.0.2:0'], None),
            ('a password with SOCKS4 on', ['--listen', '127.0.0.1:0'] + user, 'Warning: SOCKS4 is on while'),
            ('a password with SOCKS4 off', ['--listen', '127.0.0.1:0', '--no-socks4'] + user, None),
            ('every address, nothing restricted', ['--listen', '0.0.0.0:0'], 'Warning: open proxy: it serves every'),
            ('every address, a password with SOCKS4 on', ['--listen', '0.0.0.0:0'] + user,
             'Warning: open proxy: it serves every local address and SOCKS4 clients need no password'),
            ('every address, filtered', ['--listen', '0.0.0.0:0', '--allow', '127.0.0.1/32'], None)]:
        address, warnings, lines = warnings_of(env, home, [], args + ['--no-log'])
        r.check(address is not None, '%s: serves' % what, lines)
        if expected is None:
            r.equal(warnings, [], '%s: no warning' % what)
        else:
            r.check(len(warnings) == 1 and warnings[0].startswith(expected), '%s: one warning' % what, warnings)
    # An address outside 127.0.0.0/8 but not 0.0.0.0: one of a private network's own.
    prefix = private_network('&& ip addr add 10.11.12.13/32 dev lo ')
    if prefix is None:
        print('    no network namespace here: the warning for 10.11.12.13 is not checked')
        return
    address, warnings, lines = warnings_of(env, home, prefix, ['--listen', '10.11.12.13:0', '--no-log'])
    r.check(address is not None and address[0] == '10.11.12.13', '10.11.12.13: serves', lines)
    r.check(len(warnings) == 1 and warnings[0].startswith('Warning: open proxy: it serves 10.11.12.13, which other'),
            '10.11.12.13: the open-proxy warning', warnings)
    address, warnings, lines = warnings_of(env, home, prefix, ['--listen', '10.11.12.13:0', '--no-log', '--no-socks4']
                                           + user)
    r.equal(warnings, [], '10.11.12.13 with a password and SOCKS4 off: no warning')


def test_systemd_unit(env, r):
    tool = shutil.which('systemd-analyze')
    if tool is None:
        print('    systemd-analyze not found: the unit is not verified')
        return
    folder = env.new_folder('unit')
    unit = os.path.join(folder, 'tollgated.service')
    text = open(os.path.join(ROOT, 'headless', 'systemd', 'tollgated.service')).read()
    with open(unit, 'w') as f:
        f.write(text.replace('/usr/local/bin/tollgated', env.proxy))
    # The unit's Documentation= names the manual page, which systemd-analyze looks up.
    man8 = os.path.join(folder, 'man', 'man8')
    os.makedirs(man8)
    shutil.copy(os.path.join(ROOT, 'headless', 'tollgated.8'), man8)
    p = subprocess.run([tool, 'verify', unit], capture_output=True, text=True, timeout=60,
                       env=dict(os.environ, MANPATH=os.path.join(folder, 'man')))
    r.check(p.returncode == 0 and p.stderr.strip() == '', 'systemd-analyze verify accepts the unit',
            p.stderr)
    r.check(re.search(r'^ExecReload=/bin/kill -HUP \$MAINPID$', text, re.M), 'the unit reloads with SIGHUP')


def test_saved_file_under_wine(env, r):
    """A file saved by the native program, imported with regedit, serves the same user."""
    if not NATIVE or not os.path.exists(NATIVE):
        print('    no native tollgated (--native): the cross-check is skipped')
        return
    http = HttpServer()
    try:
        home = env.new_folder('cross')
        port = free_port()
        address, code = save_with_user(NATIVE, home, port, 'Open Sesame')
        if not r.check(address is not None and code == 0, 'the native program saved the settings'):
            return
        key = 'Software\\Kestrel Co\\TollgateHeadless-%d' % os.getpid()
        text = open(store_of(home), 'rb').read().decode('latin-1')
        text = text.replace('[HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate]', '[HKEY_CURRENT_USER\\%s]' % key)
        imported = os.path.join(home, 'import.reg')
        with open(imported, 'wb') as f:
            f.write(text.encode('latin-1'))
        p = subprocess.run([env.wine, 'regedit', '/S', env.host_path(imported)], stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=60, env=env.wine_env())
        r.equal(p.returncode, 0, 'regedit imports the saved file')
        run = Run([env.wine, env.proxy], home, ['--stdin-stop', '--config', key], wine_env=env.wine_env())
        address = run.wait_listening(30)
        r.equal(address, ('127.0.0.1', port), 'the Windows build serves the saved address')
        if address:
            code, body = fetch(address, http, 'alice:Open Sesame')
            r.check(code == 0 and body == http.blob(1000, 3), 'the Windows build takes the saved password', code)
            code, body = fetch(address, http, 'alice:wrong')
            r.check(code != 0, 'and refuses a wrong one', code)
        run.stop(by_stdin=True)
    finally:
        http.close()


def main():
    global NATIVE
    argv = sys.argv[1:]
    if '--native' in argv:
        i = argv.index('--native')
        NATIVE = argv[i + 1]
        del argv[i:i + 2]
    env = Environment(argv, description=__doc__)
    if env.microsocks:
        print('headless: tests tollgated itself; nothing to run against microsocks')
        return 0
    if env.wine:
        return run_main('headless', env, [('saved file under Wine', test_saved_file_under_wine)])
    return run_main('headless', env, [('first start', test_first_start), ('bad values', test_bad_values),
                                      ('version', test_version), ('saved user', test_saved_user),
                                      ('systemd unit', test_systemd_unit),
                                      ('bad settings file', test_bad_settings_file),
                                      ('password file', test_password_file), ('warnings', test_warnings)])


if __name__ == '__main__':
    sys.exit(main())
