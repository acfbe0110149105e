#!/usr/bin/env python3
"""package_test.py: the Debian package of tollgated, built by scripts/build-deb.sh.

It builds the package from the given tollgated, checks its name, control fields and file list,
runs lintian on it (no error allowed), unpacks it into a throwaway root with dpkg-deb, verifies
the unit installed there with systemd-analyze (against the root, with the manual page from it),
runs the installed program the way the unit does (in a private network namespace when the
machine allows one, so that 127.0.0.1:1080 is free), and runs the maintainer scripts in the root
with stand-ins for deb-systemd-helper, deb-systemd-invoke and systemctl. Nothing is installed
on this machine and nothing of it is changed.
"""

import glob
import gzip
import os
import re
import shutil
import signal
import subprocess
import sys
import time

from harness import Environment, run_main, wait_until

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FILES = {
    'usr/sbin/tollgated': 0o755,
    'lib/systemd/system/tollgated.service': 0o644,
    'usr/share/man/man8/tollgated.8.gz': 0o644,
    'usr/share/doc/tollgated/README.Debian': 0o644,
    'usr/share/doc/tollgated/copyright': 0o644,
    'usr/share/doc/tollgated/changelog.gz': 0o644,
}
STATE = {}


def project_version():
    m = re.search(r'project\(Tollgate VERSION ([0-9.]+)', open(os.path.join(ROOT, 'CMakeLists.txt')).read())
    return m.group(1)


def run(cmd, timeout=120, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, **kw)


def test_build(env, r):
    out = env.new_folder('deb')
    p = run(['sh', os.path.join(ROOT, 'scripts', 'build-deb.sh'), out, env.proxy])
    if not r.check(p.returncode == 0, 'build-deb.sh builds the package', p.stderr):
        return
    arch = run(['dpkg', '--print-architecture']).stdout.strip()
    deb = p.stdout.strip().splitlines()[-1]
    r.equal(os.path.basename(deb), 'tollgated_%s_%s.deb' % (project_version(), arch),
            'the package is named tollgated_VERSION_ARCH.deb with the project version')
    if not r.check(os.path.isfile(deb), 'the package file exists', deb):
        return
    STATE['deb'] = deb

    fields = {}
    for name in ('Package', 'Version', 'Architecture', 'Depends', 'Maintainer', 'Description'):
        fields[name] = run(['dpkg-deb', '-f', deb, name]).stdout.strip()
    r.equal(fields['Package'], 'tollgated', 'control: Package')
    r.equal(fields['Version'], project_version(), 'control: Version')
    r.equal(fields['Architecture'], arch, 'control: Architecture')
    r.check(re.search(r'\blibc6 \(>= [0-9.]+\)', fields['Depends']), 'control: depends on libc6', fields['Depends'])
    r.check('init-system-helpers' in fields['Depends'], 'control: depends on init-system-helpers (the scripts use it)')

    listing = run(['dpkg-deb', '-c', deb]).stdout.splitlines()
    entries = {}
    for line in listing:
        parts = line.split()
        path = parts[-1][2:] if parts[-1].startswith('./') else parts[-1]
        entries[path.rstrip('/')] = (parts[0], parts[1])
    files = {p: e for p, e in entries.items() if not e[0].startswith('d')}
    r.equal(sorted(files), sorted(FILES), 'the package holds exactly its files')
    r.check(all(e[1] == 'root/root' for e in entries.values()), 'every entry belongs to root')
    control = run(['dpkg-deb', '-I', deb]).stdout
    for script in ('postinst', 'prerm', 'postrm', 'md5sums'):
        r.check(re.search(r'\b%s\b' % script, control), 'the control archive holds %s' % script)


def test_lintian(env, r):
    if 'deb' not in STATE:
        return
    tool = shutil.which('lintian')
    if tool is None:
        print('    lintian not found: the package is not checked (scripts/install-deps.sh installs it)')
        return
    p = run([tool, '--display-level', '>=warning', '--allow-root', STATE['deb']], timeout=170)
    errors = [l for l in p.stdout.splitlines() if l.startswith('E:')]
    warnings = [l for l in p.stdout.splitlines() if l.startswith('W:')]
    r.check(not errors, 'lintian reports no error', errors)
    r.check(p.returncode == 0, 'lintian ends with 0', p.stdout + p.stderr)
    if warnings:
        print('    lintian warnings: %s' % warnings)
    r.check(not warnings, 'lintian reports no warning either', warnings)


def unpack(env):
    root = env.new_folder('root')
    subprocess.run(['dpkg-deb', '-x', STATE['deb'], root], check=True)
    control = os.path.join(root, 'DEBIAN')
    subprocess.run(['dpkg-deb', '-e', STATE['deb'], control], check=True)
    return root


def test_unpacked(env, r):
    if 'deb' not in STATE:
        return
    root = unpack(env)
    STATE['root'] = root
    for path, mode in FILES.items():
        full = os.path.join(root, path)
        if r.check(os.path.isfile(full), 'installed: /%s' % path):
            r.equal(os.stat(full).st_mode & 0o7777, mode, 'mode of /%s' % path)
    exe = os.path.join(root, 'usr/sbin/tollgated')
    p = run([exe, '--version'])
    r.equal(p.stdout.strip(), 'tollgated (Tollgate) %s' % project_version(), 'the installed program runs')
    unit = open(os.path.join(root, 'lib/systemd/system/tollgated.service')).read()
    r.check(re.search(r'^ExecStart=/usr/sbin/tollgated$', unit, re.M), 'the unit runs /usr/sbin/tollgated')
    r.check(re.search(r'^ExecReload=/bin/kill -HUP \$MAINPID$', unit, re.M), 'the unit reloads with SIGHUP')
    r.check('/usr/local' not in unit, 'the unit names no /usr/local path')
    man = gzip.open(os.path.join(root, 'usr/share/man/man8/tollgated.8.gz')).read().decode()
    r.check(man.startswith('.\\"') and ('.TH TOLLGATED 8 "" "Tollgate %s"' % project_version()) in man,
            'the manual page carries the version')
    p = run(['groff', '-man', '-ww', '-z'], input=man, env=dict(os.environ, LC_ALL='C.UTF-8'))
    r.check(p.returncode == 0 and p.stderr == '', 'groff reports no warning on the manual page', p.stderr)
    if shutil.which('man'):
        page = os.path.join(env.tmp, 'tollgated.8')
        with open(page, 'w') as f:
            f.write(man)
        p = run(['man', '-l', page], env=dict(os.environ, MANWIDTH='80', LC_ALL='C.UTF-8', PAGER='cat'))
        r.check(p.returncode == 0 and 'SIGHUP' in p.stdout and 'EXIT STATUS' in p.stdout,
                'man -l renders the page', p.stderr)
    changelog = gzip.open(os.path.join(root, 'usr/share/doc/tollgated/changelog.gz')).read().decode()
    r.check(changelog.startswith('tollgated (%s) ' % project_version()), 'the changelog names the version')


def test_unit_verified(env, r):
    root = STATE.get('root')
    tool = shutil.which('systemd-analyze')
    if root is None:
        return
    if tool is None:
        print('    systemd-analyze not found: the unit is not verified')
        return
    # The root holds only the package: the targets the unit names come from this machine's systemd.
    # So does /bin/kill, which ExecReload= runs (procps's, on every Debian system).
    units = os.path.join(root, 'lib/systemd/system')
    for target in glob.glob('/lib/systemd/system/*.target'):
        dest = os.path.join(units, os.path.basename(target))
        if not os.path.exists(dest):
            shutil.copy(target, dest, follow_symlinks=True)
    os.makedirs(os.path.join(root, 'bin'), exist_ok=True)
    if not os.path.exists(os.path.join(root, 'bin/kill')):
        shutil.copy(os.path.realpath('/bin/kill'), os.path.join(root, 'bin/kill'))
    p = run([tool, 'verify', '--root=' + root, '/lib/systemd/system/tollgated.service'],
            env=dict(os.environ, MANPATH=os.path.join(root, 'usr/share/man')))
    r.check(p.returncode == 0 and p.stderr.strip() == '', 'systemd-analyze verify accepts the installed unit',
            p.stdout + p.stderr)
    # The check is a real one: without the program in the root it fails.
    exe = os.path.join(root, 'usr/sbin/tollgated')
    os.rename(exe, exe + '.away')
    p = run([tool, 'verify', '--root=' + root, '/lib/systemd/system/tollgated.service'],
            env=dict(os.environ, MANPATH=os.path.join(root, 'usr/share/man')))
    os.rename(exe + '.away', exe)
    r.check(p.returncode != 0 and 'tollgated' in p.stderr, 'and refuses it without the program', p.stderr)


def private_network():
    """A command prefix that runs a program in a network namespace of its own with its loopback
    up, or None when the machine does not allow one."""
    prefix = ['unshare', '-n', 'sh', '-c', 'ip link set lo up && exec "$0" "$@"']
    try:
        p = subprocess.run(prefix + ['true'], capture_output=True, timeout=20)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return prefix if p.returncode == 0 else None


def test_service_start(env, r):
    """The installed program as the unit runs it (no option, its Environment= under the root)
    writes the settings file and serves 127.0.0.1:1080."""
    root = STATE.get('root')
    if root is None:
        return
    prefix = private_network()
    if prefix is None:
        print('    no network namespace here: the start on 127.0.0.1:1080 is not run')
        return
    state = os.path.join(root, 'var/lib/tollgate')
    unit = open(os.path.join(root, 'lib/systemd/system/tollgated.service')).read()
    m = re.search(r'^Environment=(.*)$', unit, re.M)
    run_env = dict(os.environ)
    for item in m.group(1).split():
        name, value = item.split('=', 1)
        run_env[name] = root + value
    proc = subprocess.Popen(prefix + [os.path.join(root, 'usr/sbin/tollgated')], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=run_env, text=True)
    try:
        first = proc.stdout.readline()
        r.equal(first.strip(), 'Tollgate listening on 127.0.0.1:1080', 'the service serves 127.0.0.1:1080')
        store = os.path.join(state, 'tollgate', 'tollgate.reg')
        r.check(wait_until(lambda: os.path.isfile(store), 5), 'the first start wrote the settings file')
        if os.path.isfile(store):
            r.check('"Service Address"=hex:02,00,04,38,7f,00,00,01,' in open(store, encoding='latin-1').read(),
                    'which keeps 127.0.0.1:1080')
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            out, _ = proc.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, _ = proc.communicate()
    r.equal(proc.returncode, 0, 'the service stops with 0 on SIGTERM')
    r.check('Warning' not in out, 'no warning for this machine only', out)


STUB = '''#!/bin/sh
echo "$(basename "$0") $*" >> "%s"
case "$*" in *was-enabled*) exit 0 ;; esac
exit 0
'''


def test_maintainer_scripts(env, r):
    root = STATE.get('root')
    if root is None:
        return
    control = os.path.join(root, 'DEBIAN')
    for script in ('postinst', 'prerm', 'postrm'):
        p = run(['sh', '-n', os.path.join(control, script)])
        r.check(p.returncode == 0, '%s: sh reads it' % script, p.stderr)
    stubs = env.new_folder('stubs')
    calls = os.path.join(stubs, 'calls')
    for name in ('deb-systemd-helper', 'deb-systemd-invoke', 'systemctl'):
        path = os.path.join(stubs, name)
        with open(path, 'w') as f:
            f.write(STUB % calls)
        os.chmod(path, 0o755)
    assert root.startswith(env.tmp) and len(root) > 10
    script_env = dict(os.environ, PATH=stubs + ':' + os.environ.get('PATH', ''), DPKG_ROOT=root,
                      DPKG_MAINTSCRIPT_PACKAGE='tollgated')
    systemd_runs = os.path.isdir('/run/systemd/system')

    def script(name, *args):
        if os.path.exists(calls):
            os.remove(calls)
        p = run(['sh', os.path.join(control, name)] + list(args), env=script_env)
        made = open(calls).read().splitlines() if os.path.exists(calls) else []
        return p, made

    p, made = script('postinst', 'configure', '')
    r.equal(p.returncode, 0, 'postinst configure ends with 0')
    r.check('deb-systemd-helper enable tollgated.service' in made, 'a new installation enables the unit', made)
    r.check(('deb-systemd-invoke start tollgated.service' in made) == systemd_runs,
            'and starts it where systemd runs', made)
    p, made = script('postinst', 'configure', '1.0.0.0')
    r.check(('deb-systemd-invoke restart tollgated.service' in made) == systemd_runs,
            'an upgrade restarts it where systemd runs', made)
    p, made = script('prerm', 'remove')
    r.equal(p.returncode, 0, 'prerm remove ends with 0')
    r.check(('deb-systemd-invoke stop tollgated.service' in made) == systemd_runs,
            'a removal stops it where systemd runs', made)
    p, made = script('prerm', 'upgrade', '1.0.0.2')
    r.check(not any('stop' in c for c in made), 'an upgrade does not stop it in prerm', made)

    # A purge deletes the state: the private folder of DynamicUser and the link to it.
    private = os.path.join(root, 'var/lib/private/tollgate')
    os.makedirs(os.path.join(private, 'tollgate'))
    with open(os.path.join(private, 'tollgate', 'tollgate.reg'), 'w') as f:
        f.write('REGEDIT4\n')
    link = os.path.join(root, 'var/lib/tollgate')
    if os.path.isdir(link) and not os.path.islink(link):
        shutil.rmtree(link)
    os.symlink('private/tollgate', link)
    p, made = script('postrm', 'remove')
    r.equal(p.returncode, 0, 'postrm remove ends with 0')
    r.check(os.path.isdir(private), 'a removal keeps the state')
    p, made = script('postrm', 'purge')
    r.equal(p.returncode, 0, 'postrm purge ends with 0')
    r.check(not os.path.lexists(private) and not os.path.lexists(link), 'a purge deletes the state')
    r.check('deb-systemd-helper purge tollgated.service' in made, 'and forgets the unit', made)


def main():
    env = Environment(sys.argv[1:], description=__doc__)
    if env.microsocks or env.wine:
        print('package: the Debian package is built from the native program only')
        return 0
    for tool in ('dpkg-deb', 'dpkg-shlibdeps'):
        if shutil.which(tool) is None:
            print('package: %s not found (scripts/install-deps.sh installs dpkg-dev): nothing to run' % tool)
            return 0
    return run_main('package', env, [('build', test_build), ('lintian', test_lintian),
                                     ('unpacked', test_unpacked), ('unit verified', test_unit_verified),
                                     ('service start', test_service_start),
                                     ('maintainer scripts', test_maintainer_scripts)])


if __name__ == '__main__':
    sys.exit(main())
