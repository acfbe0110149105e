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

    def wait_listening(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.address is None:
            line = self.proc.stdout.readline()
            if not line:
                break
            self.lines.append(line.rstrip('\n'))
            m = LISTEN_RE.search(line)
            if m:
                self.address = (m.group(1), int(m.group(2)))
        return self.address

    def stop(self, by_stdin=False):
        if self.proc.poll() is None:
            if by_stdin:
                self.proc.stdin.close()
                self.proc.stdin = None  # closed: communicate must not flush it
            else:
                self.proc.send_signal(signal.SIGTERM)
        try:
            out, _ = self.proc.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, _ = self.proc.communicate()
        self.lines += out.splitlines()
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
    p = subprocess.run([tool, 'verify', unit], capture_output=True, text=True, timeout=60)
    r.check(p.returncode == 0 and p.stderr.strip() == '', 'systemd-analyze verify accepts the unit',
            p.stderr)


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
                                      ('systemd unit', test_systemd_unit)])


if __name__ == '__main__':
    sys.exit(main())
