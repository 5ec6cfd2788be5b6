# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""A host for whole changes, without a host: its files in a scratch folder, and stand-ins for its commands.

The stand-ins answer every command the change runs (dpkg, dpkg-query,
dpkg-deb, apt-get, apt-cache, systemctl, journalctl), as the real ones do
for the package and the service, and note each call with whether the
host's lock was held. systemctl reads a drop-in only once told to reload,
and starts the agent with the line the service's environment files give
it: its process's command line, its shell, and the pid file under /proc
and /etc. A line holding one of these words misbehaves: `dies` (the agent
ends at once), `flaps` (systemd restarts the launcher), `badpid` (the pid
file holds another number), `orphan` (no shell runs under the launcher).
"""

from __future__ import absolute_import, division, print_function

import errno
import fcntl
import os
import re
import shutil

from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_decide as decide
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_system as system
from ansible_collections.yrnagentrun.agent.plugins.module_utils.yrnagent_change import Interrupted

__metaclass__ = type

LINE = '/opt/agent --site "front office"'
KEY = '-----BEGIN PGP PUBLIC KEY BLOCK-----\nkey\n-----END PGP PUBLIC KEY BLOCK-----'
URL = 'http://apt.example.net'
# The commands that change nothing on the host.
READING = ('dpkg-query', 'dpkg-deb', 'apt-cache', 'apt-config', 'apt-helper', 'journalctl', 'systemctl show',
           'systemctl --version', 'dpkg --audit', 'dpkg --print-architecture', 'apt-get update', 'apt-get download')
VERBS = {
    'dpkg': ('--install', '--purge', '--remove', '--configure', '--audit', '--print-architecture'),
    'apt-get': ('install', 'purge', 'remove', 'download', 'update'),
}


class PowerCut(BaseException):
    """The host lost its power in the middle of a command."""


class Clock:
    """Time that passes only when the code sleeps."""

    def __init__(self):
        self.now = 1000000.0

    def time(self):
        return self.now

    def sleep(self, seconds):
        self.now += seconds


class FakeHost:
    """Debian with systemd, yrnagentrun 1.0.0 installed, the agent running LINE, the service disabled; the
    repository publishes 1.0.0 and 1.0.1."""

    def __init__(self, root, monkeypatch):
        self.root = root
        self.real_run = system.run
        monkeypatch.setattr(system, 'ROOT', root)
        monkeypatch.setattr(system, 'run', self.run)
        monkeypatch.setattr(system, 'time', Clock())
        writing = system.write_file

        def write_file(path, state):
            self.event('write ' + path)
            writing(path, state)
        monkeypatch.setattr(system, 'write_file', write_file)
        self.package = {'status': 'installed', 'version': '1.0.0'}
        self.published = ['1.0.0', '1.0.1']
        self.service = {'active': 'inactive', 'enabled': 'disabled', 'main': 0, 'restarts': 0, 'shows': 0, 'line': ''}
        self.loaded = []  # the drop-ins' environment files, as systemd last read them
        self.calls = []
        self.failing = {}  # a command and its verb: the words it fails with, one list item a call
        self.cut_at = None  # the number of the changing command or file write that the power cut ends
        self.changing = 0
        self.interrupt_on = None  # a command and its verb that SIGTERM reaches, once it has answered
        self.next_pid = 100
        for folder in ('/etc/default', '/etc/apt/keyrings', '/etc/apt/sources.list.d', '/etc/apt/preferences.d',
                       '/etc/systemd/system/multi-user.target.wants', '/usr/sbin', '/proc', '/var/cache/apt/archives'):
            os.makedirs(root + folder)
        self.write('/etc/os-release', b'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nVERSION_CODENAME=bookworm\n')
        self.write(decide.KEY_FILE, KEY.encode())
        self.write(decide.SOURCES_FILE, decide.sources_text(URL, 'bookworm'))
        # Another owner and mode than the change gives its own files: a rollback must keep them.
        self.write(decide.PIN_FILE, decide.pin_text('1.0.0'), 0o640, 1234 if os.getuid() == 0 else None)
        self.write(decide.DEFAULT_FILE, b'# settings\n' + decide.line_file(LINE) + b'OTHER=1\n', 0o600)
        self.install('1.0.0')
        self.start()

    def write(self, path, content, mode=0o644, uid=None):
        with open(self.root + path, 'wb') as stream:
            stream.write(content)
        os.chmod(self.root + path, mode)
        if uid is not None:
            os.chown(self.root + path, uid, uid)

    def files(self):
        """The managed files, with their modes and owners."""
        return dict((path, system.read_file(path)) for path in decide.MANAGED_FILES)

    def lock_held(self):
        """Whether some open file holds the host's lock."""
        try:
            descriptor = os.open(self.root + system.LOCK_FILE, os.O_RDONLY)
        except OSError:
            return False
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return False
        except (IOError, OSError) as error:
            if error.errno not in (errno.EAGAIN, errno.EACCES):
                raise
            return True
        finally:
            os.close(descriptor)

    def run(self, argv, env=None, cwd=None):
        """The stand-in for system.run: answers as the host's command would."""
        if argv[0] == '/bin/sh':
            return self.real_run(argv, env, cwd)
        name = os.path.basename(argv[0])
        if name in VERBS:
            verb = next(word for word in argv[1:] if word in VERBS[name])
        elif name == 'systemctl':
            verb = ' '.join(word for word in argv[1:] if word == '--version' or not word.startswith('--'))
        else:
            verb = ''
        key = ('%s %s' % (name, verb)).strip()
        self.calls.append((key, argv, self.lock_held()))
        self.environment = env or {}
        if name not in READING and not key.startswith(READING):
            self.event(key, half=verb in ('install', '--install'))
        if self.failing.get(key):
            return 100, '', self.failing[key].pop(0)
        answer = getattr(self, 'answer_' + name.replace('-', '_'), None)
        if answer is None:
            return 127, '', '%s: not found' % argv[0]
        result = answer(verb, argv, cwd)
        if key == self.interrupt_on:
            self.interrupt_on = None
            raise Interrupted(15)
        return result

    def event(self, what, half=False):
        """Counts a command or a file write that changes the host; the power goes at the one numbered cut_at,
        before it is done, leaving a package that dpkg was installing half installed."""
        self.changing += 1
        if self.changing == self.cut_at:
            if half:
                self.package = {'status': 'half-installed', 'version': ''}
            raise PowerCut(what)

    def fail(self, key, words, times=1):
        """Has command key fail, with words, the next times it runs."""
        self.failing[key] = [words] * times

    def running_line(self):
        """The line the agent's launcher runs, or None."""
        return system.running_line(self.service['main']) if self.service['main'] else None

    # dpkg and apt.

    def install(self, version):
        self.package = {'status': 'installed', 'version': version}
        launcher = self.root + decide.LAUNCHER
        if os.path.exists(launcher):
            # A new file, as dpkg leaves it: a running launcher keeps the old one, and its inode.
            os.rename(launcher, '%s.replaced-%d' % (launcher, os.stat(launcher).st_ino))
        self.write(decide.LAUNCHER, ('launcher %s' % version).encode(), 0o755)

    def deb(self, folder, version):
        path = os.path.join(folder, 'yrnagentrun_%s_amd64.deb' % version)
        with open(path, 'w') as stream:
            stream.write('Version: %s\n' % version)
        return path

    def answer_dpkg_query(self, verb, argv, cwd):
        if self.package['status'] == 'not-installed':
            return 1, '', 'dpkg-query: no packages found matching yrnagentrun'
        return 0, '%s %s' % (self.package['status'], self.package['version']), ''

    def answer_dpkg_deb(self, verb, argv, cwd):
        with open(argv[2]) as stream:
            return 0, stream.read().split(': ', 1)[1], ''

    def answer_dpkg(self, verb, argv, cwd):
        if verb == '--print-architecture':
            return 0, 'amd64\n', ''
        half = self.package['status'] not in ('installed', 'not-installed', 'config-files')
        if verb == '--audit':
            return 0, 'The following packages are in a mess due to serious problems during installation\n' \
                if half else '', ''
        if verb == '--configure':
            if self.package['status'] == 'half-configured':
                self.package['status'] = 'installed'
        elif verb == '--install':
            with open(argv[-1]) as stream:
                self.install(stream.read().split(': ', 1)[1].strip())
        elif verb == '--purge':
            self.package = {'status': 'not-installed', 'version': ''}
        elif verb == '--remove':
            self.package = {'status': 'config-files', 'version': ''}
        return 0, '', ''

    def answer_apt_cache(self, verb, argv, cwd):
        return 0, ''.join(' yrnagentrun | %s | %s bookworm/main amd64 Packages\n' % (version, URL)
                          for version in self.published), ''

    def answer_apt_config(self, verb, argv, cwd):
        return 0, '', ''

    def answer_apt_helper(self, verb, argv, cwd):
        return 100, '', 'E: Failed to fetch'

    def answer_apt_get(self, verb, argv, cwd):
        if verb == 'update':
            # The repository's lists, as apt keeps them once it has checked them.
            with open(self.environment['APT_CONFIG']) as stream:
                lists = re.search(r'Dir::State::Lists "([^"]+)"', stream.read()).group(1)
            with open(os.path.join(lists, 'apt.example.net_dists_bookworm_main_binary-amd64_Packages'), 'w') as stream:
                stream.write(''.join('Package: yrnagentrun\nVersion: %s\nArchitecture: amd64\n\n' % version
                                     for version in self.published))
            return 0, '', ''
        if verb == 'purge':
            self.package = {'status': 'not-installed', 'version': ''}
            return 0, '', ''
        version = argv[-1].split('=', 1)[1]
        if version not in self.published:
            return 100, '', "E: Version '%s' for 'yrnagentrun' was not found" % version
        if verb == 'download':
            self.deb(cwd, version)
            return 0, '', ''
        options = dict(argv[index + 1].split('=', 1) for index, word in enumerate(argv) if word == '-o')
        self.deb(options['Dir::Cache::Archives'], version)
        self.install(version)
        return 0, '', ''

    # systemd.

    def environment_line(self):
        """The line the service's environment files give, read the simple way the change writes them."""
        line = ''
        for path in [decide.DEFAULT_FILE] + self.loaded:
            content = system.read_file(path)['content'] or b''
            for found in re.finditer(br'^YRNAGENT_COMMAND="((?:[^"\\]|\\.)*)"$', content, re.M):
                line = re.sub(r'\\(.)', r'\1', found.group(1).decode())
        return line

    def start(self, arguments=None):
        line = self.environment_line()
        pid = self.next_pid
        self.next_pid += 10
        os.makedirs('%s/proc/%d' % (self.root, pid))
        with open('%s/proc/%d/cmdline' % (self.root, pid), 'wb') as stream:
            stream.write(b'\0'.join([decide.LAUNCHER.encode()] + (arguments or [line.encode()])) + b'\0')
        with open('%s/proc/%d/maps' % (self.root, pid), 'w') as stream:
            stream.write('55d0 r-xp 0 08:01 %d %s\n' % (os.stat(self.root + decide.LAUNCHER).st_ino, decide.LAUNCHER))
        if 'orphan' not in line:
            os.makedirs('%s/proc/%d' % (self.root, pid + 1))
            with open('%s/proc/%d/status' % (self.root, pid + 1), 'w') as stream:
                stream.write('Name:\tsh\nPPid:\t%d\n' % pid)
        self.write(decide.PID_FILE, str(pid + (3 if 'badpid' in line else 2)).encode())
        self.service.update(active='inactive' if 'dies' in line else 'active', main=pid, shows=0, line=line)

    def stop(self):
        if self.service['main']:
            shutil.rmtree('%s/proc/%d' % (self.root, self.service['main']), ignore_errors=True)
            shutil.rmtree('%s/proc/%d' % (self.root, self.service['main'] + 1), ignore_errors=True)
        self.service.update(active='inactive', main=0)

    def answer_systemctl(self, verb, argv, cwd):
        verb = verb.split(' ')[0]
        if verb == '--version':
            return 0, 'systemd 257 (257.9-1)\n', ''
        if verb == 'show':
            self.service['shows'] += 1
            if 'flaps' in self.service['line'] and self.service['shows'] == 2:
                self.service['restarts'] += 1
                self.stop()
                self.start()
                self.service['shows'] = 2
            values = {'ActiveState': self.service['active'], 'UnitFileState': self.service['enabled'], 'NeedDaemonReload': 'no',
                      'MainPID': str(self.service['main']), 'NRestarts': str(self.service['restarts']),
                      'ActiveEnterTimestamp': '@1765445400' if '--timestamp=unix' in argv else
                      'Thu 2025-12-11 09:30:00 UTC'}
            wanted = [word.split('=', 1)[1] for word in argv if word.startswith('--property=')]
            return 0, ''.join('%s=%s\n' % (name, values[name]) for name in wanted), ''
        if verb == 'daemon-reload':
            folder = os.path.dirname(self.root + system.DROP_IN)
            self.loaded = []
            for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
                with open(os.path.join(folder, name)) as stream:
                    self.loaded += re.findall(r'^EnvironmentFile=-?(\S+)$', stream.read(), re.M)
            return 0, '', ''
        unit = argv[-1]
        if verb in ('enable', 'disable'):
            self.answer_systemctl('daemon-reload', argv, cwd)  # as systemctl does after enabling or disabling
            if unit == decide.UNIT:
                self.service['enabled'] = verb + 'd'
            else:
                link = self.root + '/etc/systemd/system/multi-user.target.wants/' + unit
                if verb == 'enable' and not os.path.lexists(link):
                    os.symlink('/etc/systemd/system/' + unit, link)
                elif verb == 'disable' and os.path.lexists(link):
                    os.unlink(link)
            return 0, '', ''
        if verb == 'stop':
            self.stop()
        elif verb == 'start':
            self.start()
        return 0, '', ''

    def answer_journalctl(self, verb, argv, cwd):
        return 0, 'agent: giving up\n', ''

    def boot(self):
        """What a boot leaves: no /run, no processes, systemd reading the units anew; the agent not yet
        started."""
        shutil.rmtree(self.root + '/run', ignore_errors=True)
        shutil.rmtree(self.root + '/proc')
        os.makedirs(self.root + '/proc')
        self.service.update(active='inactive', main=0, line='')
        self.loaded = []
        self.cut_at = None

    def start_at_boot(self):
        """The agent's unit at the end of a boot: started where it is enabled and the package installed."""
        if self.service['enabled'] == 'enabled' and self.package['status'] == 'installed':
            self.start()
