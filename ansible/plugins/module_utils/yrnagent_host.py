# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""The yrnagent service's state on a managed host, and changes to it.

Reads what the host holds (the apt entry, its key and pin, the agent's
command line, the package, the service and the line its launcher was
given), works out what reaching a wanted state takes, and carries that out
as one transaction under a host-wide lock: any step that fails, the health
gate included, puts back everything the transaction changed, in reverse.

Plain Python 3 on the standard library: the module yrnagent imports it, and
runs a copy of it on its own (run_change) in a transient systemd unit, so
that a change runs to its end when the controller or its connection goes
away.
"""

from __future__ import absolute_import, division, print_function

import base64
import errno
import fcntl
import json
import os
import re
import shutil
import subprocess
import tempfile
import time

__metaclass__ = type

PACKAGE = 'yrnagentrun'
UNIT = 'yrnagent'
LAUNCHER = '/usr/sbin/YRNAgentRun'
PID_FILE = '/etc/yrnagent.pid'
DEFAULT_FILE = '/etc/default/yrnagent'
SOURCES_FILE = '/etc/apt/sources.list.d/yrnagent.sources'
KEY_FILE = '/etc/apt/keyrings/yrnagent.asc'
PIN_FILE = '/etc/apt/preferences.d/yrnagent'
# Put back in this order: the agent's line before the apt files that name
# its package's source.
MANAGED_FILES = (DEFAULT_FILE, PIN_FILE, SOURCES_FILE, KEY_FILE)
# The repository's lists, read with the key they were checked with; apt's
# cache for them, and the package file of the version installed, kept for a
# rollback that the repository no longer serves.
STATE_DIR = '/var/lib/yrnagent'
CACHE_DIR = '/var/cache/yrnagent'
ARCHIVES = CACHE_DIR + '/archives'
# The changes' folders, root's alone, and the lock that a change holds for
# its whole run and that a read of the host tries.
RUN_DIR = '/run/yrnagent'
LOCK_FILE = RUN_DIR + '/lock'

COMMAND_KEY = 'YRNAGENT_COMMAND'
# systemd reads a double-quoted value in an EnvironmentFile= as the shell
# does: a backslash keeps the \ " ` or $ after it.
QUOTED_SPECIALS = re.compile(r'([\\"`$])')
COMMAND_LINE = re.compile(r'^%s=' % COMMAND_KEY)
HEALTH_TIMEOUT = 60
LOCALE = {'LC_ALL': 'C', 'DEBIAN_FRONTEND': 'noninteractive'}


class HostError(Exception):
    """A step that could not be carried out, in the words of the tool that failed."""


def run(argv, env=None, cwd=None):
    """Runs argv, in folder cwd if given, waits for it, and returns its status, output and error output."""
    environment = dict(os.environ, **LOCALE)
    environment.update(env or {})
    try:
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=environment, cwd=cwd)
    except OSError as error:
        return 127, '', '%s: %s' % (argv[0], error.strerror)
    out, err = process.communicate()
    return process.returncode, out.decode('utf-8', 'replace'), err.decode('utf-8', 'replace')


def output(argv, env=None):
    """What argv writes to its standard output, whether or not it succeeds."""
    return run(argv, env)[1]


def words(out, err):
    """The last lines a failed tool wrote, as one line."""
    lines = [line.strip() for line in (err or out).splitlines() if line.strip()]
    return ' '.join(lines[-10:]) or 'no words'


def checked(argv, env=None, what=None):
    """Runs argv and returns its output; raises HostError, with its words, when it fails."""
    status, out, err = run(argv, env)
    if status != 0:
        raise HostError('%s: %s' % (what or ' '.join(argv[:2]), words(out, err)))
    return out


# What a file holds, and its mode and owner.

def read_file(path):
    """Returns {'content': bytes or None when missing, 'mode', 'uid', 'gid'}."""
    try:
        with open(path, 'rb') as stream:
            info = os.fstat(stream.fileno())
            return {'content': stream.read(), 'mode': info.st_mode & 0o7777, 'uid': info.st_uid, 'gid': info.st_gid}
    except (IOError, OSError) as error:
        if error.errno != errno.ENOENT:
            raise HostError('cannot read %s: %s' % (path, error.strerror))
        return {'content': None, 'mode': None, 'uid': None, 'gid': None}


def owned_file(content):
    """A file of the module's own: root's, readable by all, as apt needs it."""
    return {'content': content, 'mode': 0o644, 'uid': 0, 'gid': 0}


def same_file(a, b):
    """Whether two file states are one: the same content, and for a file, the same mode and owner."""
    if a['content'] != b['content']:
        return False
    return a['content'] is None or (a['mode'], a['uid'], a['gid']) == (b['mode'], b['uid'], b['gid'])


def write_file(path, wanted):
    """Makes path hold wanted's content, mode and owner, replacing it whole; removes it for no content."""
    if wanted['content'] is None:
        try:
            os.unlink(path)
        except OSError as error:
            if error.errno != errno.ENOENT:
                raise HostError('cannot remove %s: %s' % (path, error.strerror))
        return
    folder = os.path.dirname(path)
    try:
        if not os.path.isdir(folder):
            os.makedirs(folder, 0o755)
        descriptor, scratch = tempfile.mkstemp(prefix='.%s.' % os.path.basename(path), dir=folder)
        try:
            with os.fdopen(descriptor, 'wb') as stream:
                stream.write(wanted['content'])
                stream.flush()
                os.fchown(stream.fileno(), wanted['uid'], wanted['gid'])
                os.fchmod(stream.fileno(), wanted['mode'])
                os.fsync(stream.fileno())
            os.rename(scratch, path)
        except BaseException:
            os.unlink(scratch)
            raise
    except (IOError, OSError) as error:
        raise HostError('cannot write %s: %s' % (path, error.strerror))


def encode_file(state):
    """A file's state as JSON can carry it."""
    encoded = dict(state)
    if state['content'] is not None:
        encoded['content'] = base64.b64encode(state['content']).decode('ascii')
    return encoded


def decode_file(encoded):
    """A file's state from what encode_file made of it."""
    state = dict(encoded)
    if encoded['content'] is not None:
        state['content'] = base64.b64decode(encoded['content'])
    return state


# The agent's command line in /etc/default/yrnagent.

def quoted(command):
    """The assignment that gives the service command line `command`, double-quoted."""
    return '%s="%s"' % (COMMAND_KEY, QUOTED_SPECIALS.sub(r'\\\1', command))


def environment_value(content, key=COMMAND_KEY):
    """The value that systemd's EnvironmentFile= gives `key` from `content` (bytes), or None when unset.

    Single quotes keep everything; in double quotes a backslash keeps the
    \\ " ` or $ after it and ends a line with the newline after it; outside
    quotes it keeps any character after it; a line whose first character is
    # or ; is a comment. The last assignment counts.
    """
    text = content.decode('utf-8', 'surrogateescape')
    values = {}
    state, name, value = 'pre-key', '', ''
    trailing = 0  # blanks at the end of an unquoted value, dropped
    for character in text + '\n':
        newline = character in '\n\r'
        if state == 'pre-key':
            if character in '#;':
                state = 'comment'
            elif not character.isspace():
                state, name = 'key', character
        elif state == 'key':
            if newline:
                state = 'pre-key'
            elif character == '=':
                state, value, trailing = 'pre-value', '', 0
            else:
                name += character
        elif state == 'pre-value' or state == 'value':
            if newline:
                values[name.strip()] = value[:len(value) - trailing] if state == 'value' else value
                state = 'pre-key'
            elif character == "'":
                state, trailing = 'single', 0
            elif character == '"':
                state, trailing = 'double', 0
            elif character == '\\':
                state = 'value-escape'
            elif state == 'pre-value' and character.isspace():
                pass
            else:
                state = 'value'
                value += character
                trailing = trailing + 1 if character.isspace() else 0
        elif state == 'value-escape':
            state, trailing = 'value', 0
            if not newline:
                value += character
        elif state == 'single':
            if character == "'":
                state = 'pre-value'
            else:
                value += character
        elif state == 'double':
            if character == '"':
                state = 'pre-value'
            elif character == '\\':
                state = 'double-escape'
            else:
                value += character
        elif state == 'double-escape':
            state = 'double'
            if character in '"\\`$':
                value += character
            elif character != '\n':
                value += '\\' + character
        elif state == 'comment':
            if newline:
                state = 'pre-key'
    return values.get(key)


def with_command(content, command):
    """`content` (bytes, None for no file) with the agent's command line set to `command`.

    The last line that assigns it is replaced; with none, the line is added
    at the end. Raises HostError when systemd would still read another value.
    """
    line = quoted(command).encode('utf-8')
    lines = (content or b'').splitlines(True)
    matching = [index for index, text in enumerate(lines) if COMMAND_LINE.match(text.decode('utf-8', 'replace'))]
    if matching:
        lines[matching[-1]] = line + b'\n'
    else:
        if lines and not lines[-1].endswith(b'\n'):
            lines[-1] += b'\n'
        lines.append(line + b'\n')
    result = b''.join(lines)
    if environment_value(result) != command:
        raise HostError('%s assigns %s in a way that a line %s= cannot override; '
                        'set it there on one line of its own' % (DEFAULT_FILE, COMMAND_KEY, COMMAND_KEY))
    return result


def sources_text(url, release):
    """The deb822 entry for repository url on release, trusting the key in KEY_FILE alone."""
    return ('# Written by the yrnagent Ansible role.\nTypes: deb\nURIs: %s\nSuites: %s\nComponents: main\n'
            'Signed-By: %s\n' % (url, release, KEY_FILE)).encode('utf-8')


def pin_text(version):
    """The apt preferences that keep the package at version."""
    return ('Explanation: Written by the yrnagent Ansible role: upgrades, by hand or\n'
            'Explanation: unattended, leave the package at the version the role installed.\n'
            'Package: %s\nPin: version %s\nPin-Priority: 1000\n' % (PACKAGE, version)).encode('utf-8')


# Debian versions, compared as dpkg does.

def _order(character):
    """Where a character of a version's non-digit part sorts, as dpkg has it: ~, the end, letters, the rest."""
    if character == '~':
        return -1
    if character.isalpha():
        return ord(character)
    return ord(character) + 256 if character else 0


def _compare_part(a, b):
    """Compares two upstream versions or revisions, as dpkg does: non-digit and digit runs in turn."""
    while a or b:
        a_text, b_text = re.match(r'[^0-9]*', a).group(), re.match(r'[^0-9]*', b).group()
        for index in range(max(len(a_text), len(b_text))):
            difference = _order(a_text[index:index + 1]) - _order(b_text[index:index + 1])
            if difference:
                return difference
        a, b = a[len(a_text):], b[len(b_text):]
        a_digits, b_digits = re.match(r'[0-9]*', a).group(), re.match(r'[0-9]*', b).group()
        difference = int(a_digits or 0) - int(b_digits or 0)
        if difference:
            return difference
        a, b = a[len(a_digits):], b[len(b_digits):]
    return 0


def compare_versions(a, b):
    """Negative, zero or positive as Debian version a sorts before, with or after b."""
    def split(version):
        epoch, rest = version.split(':', 1) if ':' in version else ('0', version)
        upstream, revision = rest.rsplit('-', 1) if '-' in rest else (rest, '0')
        return int(epoch or 0), upstream, revision
    a_epoch, a_upstream, a_revision = split(a)
    b_epoch, b_upstream, b_revision = split(b)
    return (a_epoch - b_epoch) or _compare_part(a_upstream, b_upstream) or _compare_part(a_revision, b_revision)


def newest(versions):
    """The newest of the Debian versions given, or None for none."""
    best = None
    for version in versions:
        if best is None or compare_versions(version, best) > 0:
            best = version
    return best


# Reading the host.

def release():
    """The host's codename, from /etc/os-release."""
    try:
        with open('/etc/os-release') as stream:
            for line in stream:
                if line.startswith('VERSION_CODENAME='):
                    return line.split('=', 1)[1].strip().strip('"\'')
    except (IOError, OSError):
        pass
    raise HostError('/etc/os-release names no VERSION_CODENAME')


def package_state():
    """{'status': dpkg's word for the package's state, 'version': the version installed or ''}."""
    word, version = (output(['dpkg-query', '-W', '-f', '${db:Status-Status} ${Version}', PACKAGE]) + ' ').split(' ', 1)
    return {'status': word or 'not-installed', 'version': version.strip() if word == 'installed' else ''}


def running_line(pid):
    """The command line that launcher process pid was given, as bytes, or None."""
    try:
        with open('/proc/%d/cmdline' % pid, 'rb') as stream:
            arguments = stream.read().split(b'\0')
    except (IOError, OSError):
        return None
    return arguments[-2] if len(arguments) >= 3 else None


def runs_replaced_launcher(pid):
    """Whether process pid runs a launcher file that an upgrade replaced.

    Its maps name the file it runs, natively and under an emulator alike,
    where its executable is the emulator.
    """
    try:
        inode = os.stat(LAUNCHER).st_ino
        with open('/proc/%d/maps' % pid) as stream:
            for line in stream:
                fields = line.split()
                if len(fields) >= 6 and fields[5] == LAUNCHER and fields[4] == str(inode):
                    return False
    except (IOError, OSError):
        return False
    return True


def service_properties(*names):
    """The service's systemd properties named, in order, each "" where systemd has none."""
    out = output(['systemctl', 'show', UNIT] + ['--property=' + name for name in names])
    properties = dict(line.split('=', 1) for line in out.splitlines() if '=' in line)
    return [properties.get(name, '') for name in names]


def service_state():
    """The service: whether it is active and enabled, and what its launcher runs."""
    active, enabled, main = service_properties('ActiveState', 'UnitFileState', 'MainPID')
    main = int(main) if main.isdigit() else 0
    state = {'active': active, 'enabled': enabled, 'line': None, 'stale': False}
    if active == 'active' and main > 0:
        line = running_line(main)
        state['line'] = line.decode('utf-8', 'surrogateescape') if line is not None else None
        state['stale'] = runs_replaced_launcher(main)
    return state


def read_host():
    """Everything about the host that a plan needs, changing nothing."""
    return {
        'release': release(),
        'files': dict((path, read_file(path)) for path in MANAGED_FILES),
        'package': package_state(),
        'service': service_state(),
        'folders': os.path.isdir(STATE_DIR) or os.path.isdir(CACHE_DIR),
    }


def parses(command):
    """None when the host's /bin/sh parses command; otherwise its words."""
    status, out, err = run(['/bin/sh', '-n', '-c', '--', command])
    return None if status == 0 else words(out, err)


# The repository's lists: read with apt's full signature check, into a
# folder of the module's own, so that apt fetches only what changed and no
# other source's trouble is the agent's.

class Lists:
    """apt's settings for reading one repository, and for installing from it."""

    def __init__(self, url, key, folder, cache):
        self.url, self.key, self.folder, self.cache = url, key, folder, cache
        self.sources = os.path.join(folder, 'yrnagent.sources')
        self.key_file = os.path.join(folder, 'key.asc')
        self.empty = os.path.join(folder, 'empty')
        self.config = os.path.join(folder, 'apt.conf')
        self.lists = os.path.join(folder, 'lists')
        self.release = None

    def places(self):
        """apt's settings that make it read this repository's lists alone, and keep its caches here."""
        return [('Dir::Etc::SourceList', self.sources), ('Dir::Etc::SourceParts', self.empty),
                ('Dir::State::Lists', self.lists + '/'), ('Dir::Cache', self.cache + '/')]

    def install_options(self):
        """apt-get's options to install from these lists, over the host's own settings, and keep the package
        file in ARCHIVES."""
        options = []
        for name, value in self.places() if self.url else []:
            options += ['-o', '%s=%s' % (name, value)]
        return options + ['-o', 'Dir::Cache::Archives=%s/' % ARCHIVES]

    def prepare(self, release_name):
        """Writes the settings for repository url on release_name; forgets the lists read from another
        repository, or with another key."""
        self.release = release_name
        for folder in (self.folder, self.empty, self.cache):
            if not os.path.isdir(folder):
                os.makedirs(folder, 0o755)
        os.chmod(self.folder, 0o755)  # apt fetches as its own user
        key = self.key.encode('utf-8')
        text = sources_text(self.url, release_name).replace(KEY_FILE.encode(), self.key_file.encode())
        if read_file(self.key_file)['content'] != key or read_file(self.sources)['content'] != text:
            shutil.rmtree(self.lists, ignore_errors=True)
            write_file(self.key_file, owned_file(key))
            write_file(self.sources, owned_file(text))
        if not os.path.isdir(os.path.join(self.lists, 'partial')):
            os.makedirs(os.path.join(self.lists, 'partial'), 0o755)
        if self.settings_changed():
            # The host's settings for how apt connects, and nothing else: no hooks.
            connecting = checked(['apt-config', 'dump', 'Acquire'])
            settings = [('Dir::Etc::Parts', self.empty), ('Dir::Etc::main', '/dev/null'),
                        ('Dir::Etc::PreferencesParts', self.empty), ('Dir::Etc::Preferences', '/dev/null')]
            write_file(self.config, owned_file((connecting + ''.join(
                '%s "%s";\n' % setting for setting in settings + self.places())).encode('utf-8')))

    def settings_changed(self):
        """Whether the host's apt settings may have changed since they were last written into self.config."""
        try:
            written = os.stat(self.config).st_mtime
        except OSError:
            return True
        paths = ['/etc/apt/apt.conf', '/etc/apt/apt.conf.d']
        if os.path.isdir('/etc/apt/apt.conf.d'):
            paths += [os.path.join('/etc/apt/apt.conf.d', name) for name in os.listdir('/etc/apt/apt.conf.d')]
        return any(os.path.exists(path) and os.stat(path).st_mtime >= written for path in paths)

    def update(self, wait):
        """Reads the lists again, the host's own where there is no repository; waits up to wait seconds for
        their lock; raises HostError with apt's words.

        The repository's InRelease file is fetched first, through apt's own
        transport and settings: when it is byte for byte the one that apt
        checked and keeps in the lists, which hold this repository's alone,
        they are still the repository's, and apt has nothing to fetch or
        check again.
        """
        environment = {'APT_CONFIG': self.config} if self.url else {}
        if self.url:
            latest = os.path.join(self.folder, 'InRelease')
            address = '%s/dists/%s/InRelease' % (self.url.rstrip('/'), self.release)
            kept = [name for name in os.listdir(self.lists) if name.endswith('_InRelease')]
            if len(kept) == 1 and \
                    run(['/usr/lib/apt/apt-helper', 'download-file', address, latest], environment)[0] == 0 and \
                    read_file(latest)['content'] == read_file(os.path.join(self.lists, kept[0]))['content']:
                return
        deadline = time.time() + wait
        while True:
            status, out, err = run(['apt-get', '-q', 'update', '--error-on=any'], environment)
            if status == 0:
                return
            if 'Could not get lock' not in err or time.time() >= deadline:
                raise HostError(words(out, err))
            time.sleep(1)

    def published(self):
        """The versions of the package that these lists hold."""
        environment = {'APT_CONFIG': self.config} if self.url else {}
        out = output(['apt-cache', 'madison', PACKAGE], environment)
        return [line.split('|')[1].strip() for line in out.splitlines() if line.count('|') >= 2]


def read_repository(lists, release_name, wait):
    """The versions published for the host; with no repository of its own, in the host's own lists."""
    if lists.url:
        lists.prepare(release_name)
        lists.update(wait)
    return lists.published()


def target_version(asked, installed, published):
    """The version that asking for `asked` leaves installed, or None when it is not published."""
    if asked == '':
        return installed or newest(published)
    if asked == 'latest':
        return newest(published)
    return asked if asked == installed or asked in published else None


# Plans: what reaching a wanted state takes, as steps, changing nothing.

def plan(wanted, found, published):
    """The steps from `found` to `wanted`, in the order they are taken, and what the host is left with.

    Returns {'steps': [...], 'version': the version to be installed, 'restart':
    why the agent is restarted or None, 'stale': whether the agent is left
    running a launcher that an upgrade replaced}. Each step is a tuple:
    ('file', path, state), ('install', version), ('purge',), ('line',),
    ('enable',), ('restart', reason) or ('forget',), for the module's own
    folders. Raises HostError when
    the wanted state cannot be reached.
    """
    files, package, service = found['files'], found['package'], found['service']
    steps = []
    if wanted['state'] == 'absent':
        if package['status'] != 'not-installed':
            steps.append(('purge',))
        for path in (SOURCES_FILE, KEY_FILE, PIN_FILE):
            if files[path]['content'] is not None:
                steps.append(('file', path, owned_file(None)))
        if found['folders']:
            steps.append(('forget',))
        return {'steps': steps, 'version': '', 'restart': None, 'stale': False}

    version = target_version(wanted['version'], package['version'], published)
    if version is None:
        where = wanted['repository_url'] or "the host's package lists"
        raise HostError('%s%s is not published in %s' % (PACKAGE, ' ' + wanted['version'] if wanted['version'] else '',
                                                         where))
    desired = {}
    if wanted['repository_url']:
        desired[KEY_FILE] = owned_file(wanted['repository_key'].encode('utf-8'))
        desired[SOURCES_FILE] = owned_file(sources_text(wanted['repository_url'], found['release']))
    pinned = wanted['version'] not in ('', 'latest')
    desired[PIN_FILE] = owned_file(pin_text(wanted['version']) if pinned else None)
    for path in (KEY_FILE, SOURCES_FILE, PIN_FILE):
        if path in desired and not same_file(files[path], desired[path]):
            steps.append(('file', path, desired[path]))
    upgrading = version != package['version']
    if upgrading:
        steps.append(('install', version))
    line = files[DEFAULT_FILE]['content']
    if line is None or environment_value(line) != wanted['command']:
        with_command(line, wanted['command'])  # refused here, before any change, where it cannot be set
        steps.append(('line',))
    if upgrading or service['enabled'] != 'enabled':
        steps.append(('enable',))
    restart = None
    if service['active'] != 'active':
        restart = 'the agent was not running'
    elif service['line'] != wanted['command']:
        restart = 'the agent ran another command line'
    elif upgrading and (wanted['restart_on_upgrade'] or wanted['canary']):
        restart = 'the launcher is upgraded to %s' % version
    elif service['stale'] and wanted['restart_on_upgrade']:
        restart = 'the agent ran a launcher that an upgrade replaced'
    if restart:
        steps.append(('restart', restart))
    stale = restart is None and service['active'] == 'active' and (service['stale'] or upgrading)
    return {'steps': steps, 'version': version, 'restart': restart, 'stale': stale}


def undo(found, attempted):
    """The steps that put back what the attempted steps changed, in the order they are taken.

    The package comes first, before the apt files that name its source. An
    agent that was restarted runs again with the line it ran before, from
    the agent's file as it was, or, where that file held another line, from
    that line for the start alone. Then come the files, byte for byte with
    their modes and owners, and the service's enablement. Each step is
    carried out only where the host now differs from `found`.
    """
    kinds = set(step[0] for step in attempted)
    steps = []
    if kinds & set(('install', 'purge')):
        steps.append(('package', found['package']))
    service, files = found['service'], found['files']
    if 'restart' in kinds:
        if found['package']['status'] != 'installed' or service['active'] != 'active' or service['line'] is None:
            steps.append(('stop',))
        else:
            before = files[DEFAULT_FILE]
            if before['content'] is not None and environment_value(before['content']) == service['line']:
                steps.append(('file', DEFAULT_FILE, before))
            else:
                steps.append(('line', service['line']))
            steps.append(('restart',))
    steps.extend(('file', path, files[path]) for path in MANAGED_FILES if ('file', path, files[path]) not in steps)
    if found['package']['status'] == 'installed':
        steps.append(('enabled', service['enabled']))
    return steps


# The health gate.

def agent_shells(launcher):
    """Whether any process runs under process `launcher`."""
    wanted = 'PPid:\t%s\n' % launcher
    for entry in os.listdir('/proc'):
        if entry.isdigit():
            try:
                with open('/proc/%s/status' % entry) as stream:
                    if wanted in stream.read():
                        return True
            except (IOError, OSError):
                pass
    return False


def held(main, restarts):
    """None while the service stays active with its launcher and restart count, and the agent's shell runs under
    the launcher; otherwise what broke."""
    active, now_main, now_restarts = service_properties('ActiveState', 'MainPID', 'NRestarts')
    if active != 'active':
        return 'the service is %s, not active' % (active or 'unknown')
    if now_main != main:
        return 'the launcher was started again: its process %s became %s' % (main, now_main)
    if now_restarts != restarts:
        return 'systemd restarted the launcher (%s restarts before, %s now)' % (restarts, now_restarts)
    if not agent_shells(main):
        return 'no agent shell runs under the launcher (process %s)' % main
    return None


def health_failure(command):
    """None when health command `command` exits 0 within HEALTH_TIMEOUT seconds; otherwise how it failed."""
    process = subprocess.Popen(['/bin/sh', '-c', command], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        status = process.wait(HEALTH_TIMEOUT)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, 9)
        process.wait()
        return 'the health command did not finish within %d s' % HEALTH_TIMEOUT
    return None if status == 0 else 'the health command exited with status %d' % status


def start_through_gate(settle, health):
    """Restarts the agent and holds it to the health gate for settle seconds.

    The service stays active with the same launcher process and restart
    count, and the agent's shell runs under the launcher; then the pid file
    holds the launcher's process id plus 2, and health command `health`,
    when given, exits 0. Returns None when it passes; otherwise what broke,
    with the journal's lines since the start.
    """
    run(['systemctl', 'reset-failed', UNIT])
    # Stopped, then started: the journal's lines since are this start's alone.
    status, out, err = run(['systemctl', 'stop', UNIT])
    since = time.time()
    if status == 0:
        status, out, err = run(['systemctl', 'start', UNIT])
    if status != 0:
        broke = 'systemctl could not restart %s: %s' % (UNIT, words(out, err))
    else:
        main, restarts = service_properties('MainPID', 'NRestarts')
        end = time.time() + settle
        broke = None
        while broke is None and time.time() < end:
            time.sleep(1)
            broke = held(main, restarts)
        recorded = (read_file(PID_FILE)['content'] or b'').decode('utf-8', 'replace')
        if broke is None and main.isdigit() and recorded != str(int(main) + 2):
            broke = '%s holds "%s", not MainPID + 2 = %d' % (PID_FILE, recorded, int(main) + 2)
        if broke is None and health:
            broke = health_failure(health)
    if broke is None:
        return None
    time.sleep(1)  # the journal takes the agent's last lines a moment after they were written
    journal = output(['journalctl', '-u', UNIT, '--since', '@%.6f' % since, '-n', '20', '-o', 'cat', '--no-pager', '-q'])
    return 'health gate: %s\njournalctl -u %s since this start:\n%s' % (
        broke, UNIT, ''.join('  %s\n' % line for line in journal.splitlines()).rstrip('\n'))


# Carrying out steps.

def apt_get(arguments, lists, wait):
    """Runs apt-get with arguments, waiting up to wait seconds for dpkg's lock; raises HostError with apt's words."""
    checked(['apt-get', '-q', '-y', '-o', 'DPkg::Lock::Timeout=%d' % wait, '-o', 'Dpkg::Options::=--force-confdef',
             '-o', 'Dpkg::Options::=--force-confold'] + lists.install_options() + arguments,
            what='apt-get ' + arguments[0])


def package_file(version):
    """The package file of version kept in ARCHIVES, or None."""
    for name in sorted(os.listdir(ARCHIVES)) if os.path.isdir(ARCHIVES) else []:
        path = os.path.join(ARCHIVES, name)
        if name.startswith(PACKAGE + '_') and name.endswith('.deb'):
            if output(['dpkg-deb', '--field', path, 'Version']).strip() == version:
                return path
    return None


def keep_package_file(version, lists):
    """Keeps the package file of installed version in ARCHIVES, for a rollback; says how, or that it cannot."""
    if package_file(version):
        return None
    if not os.path.isdir(ARCHIVES):
        os.makedirs(ARCHIVES, 0o755)
    name = '%s_%s_%s.deb' % (PACKAGE, version.replace(':', '%3a'), output(['dpkg', '--print-architecture']).strip())
    if os.path.isfile('/var/cache/apt/archives/' + name):
        shutil.copy2('/var/cache/apt/archives/' + name, os.path.join(ARCHIVES, name))
        return None
    status, out, err = run(['apt-get', '-q', 'download', '%s=%s' % (PACKAGE, version)],
                           {'APT_CONFIG': lists.config} if lists.url else {}, ARCHIVES)
    if status != 0:
        return 'no package file of %s %s is kept here (%s): a rollback would need the repository' % (
            PACKAGE, version, words(out, err))
    return None


def drop_other_package_files(version):
    """Keeps in ARCHIVES the package file of version alone."""
    kept = package_file(version)
    for name in os.listdir(ARCHIVES) if os.path.isdir(ARCHIVES) else []:
        path = os.path.join(ARCHIVES, name)
        if name.endswith('.deb') and path != kept:
            os.unlink(path)


def purge(wait):
    """Purges the package, whatever state dpkg left it in; waits up to wait seconds for dpkg's lock."""
    refused = run(['apt-get', '-q', '-y', '-o', 'DPkg::Lock::Timeout=%d' % wait, 'purge', PACKAGE])
    if package_state()['status'] == 'not-installed':
        return
    # A package that apt will not touch, half installed, is dpkg's to purge.
    run(['dpkg', '--purge', '--force-remove-reinstreq', PACKAGE])
    if package_state()['status'] != 'not-installed':
        raise HostError('apt-get purge: %s' % words(refused[1], refused[2]))


def set_line(command):
    """Sets the agent's command line in DEFAULT_FILE, keeping the rest of the file, its mode and owner."""
    now = read_file(DEFAULT_FILE)
    content = with_command(now['content'], command)
    if content != now['content']:
        write_file(DEFAULT_FILE, dict(now, content=content) if now['content'] is not None else owned_file(content))


class Transaction:
    """One change of the host, step by step, with what it takes to put it back."""

    def __init__(self, wanted, found, lists, wait):
        self.wanted, self.found, self.lists, self.wait = wanted, found, lists, wait
        self.attempted, self.done, self.notes = [], [], []

    def carry_out(self, steps):
        """Takes each step in turn; raises HostError, naming the step, at the first that fails."""
        for step in steps:
            self.attempted.append(step)
            getattr(self, 'do_' + step[0])(*step[1:])

    def do_file(self, path, state):
        """Makes path hold state."""
        write_file(path, state)
        self.done.append(('removed %s' if state['content'] is None else 'wrote %s') % path)

    def do_install(self, version):
        """Installs version, keeping the package file of the version it replaces for a rollback."""
        previous = self.found['package']['version']
        if previous:
            note = keep_package_file(previous, self.lists)
            if note:
                self.notes.append(note)
        if not self.lists.url:
            self.lists.update(self.wait)  # the repository's own lists were read with the plan
        apt_get(['install', '--no-install-recommends', '--allow-downgrades', '%s=%s' % (PACKAGE, version)],
                self.lists, self.wait)
        self.done.append('installed %s %s%s' % (PACKAGE, version, ' in place of ' + previous if previous else ''))

    def do_purge(self):
        """Purges the package."""
        purge(self.wait)
        self.done.append('purged %s' % PACKAGE)

    def do_line(self):
        """Sets the wanted command line in the agent's file."""
        set_line(self.wanted['command'])
        self.done.append("set the agent's command line in %s" % DEFAULT_FILE)

    def do_enable(self):
        """Enables the service where it is not."""
        if service_properties('UnitFileState')[0] != 'enabled':
            checked(['systemctl', 'enable', UNIT])
            self.done.append('enabled %s' % UNIT)

    def do_restart(self, reason):
        """Restarts the agent through the health gate; raises HostError, saying what broke, when it fails."""
        broke = start_through_gate(self.wanted['settle_seconds'], self.wanted['health_command'])
        if broke:
            raise HostError(broke)
        self.done.append('restarted the agent (%s): it passes the health gate' % reason)

    def do_forget(self):
        """Removes the module's own folders."""
        for folder in (STATE_DIR, CACHE_DIR):
            shutil.rmtree(folder, ignore_errors=True)


class Rollback:
    """Puts back what a failed transaction changed, saying what it put back and what it could not."""

    def __init__(self, transaction):
        self.found, self.lists, self.wait = transaction.found, transaction.lists, transaction.wait
        self.wanted = transaction.wanted
        self.done, self.failures, self.changed_back = [], [], False

    def carry_out(self, steps):
        """Takes each step in turn, whatever became of the one before; notes each failure."""
        for step in steps:
            try:
                getattr(self, 'undo_' + step[0])(*step[1:])
            except HostError as error:
                self.failures.append(str(error))

    def undo_package(self, before):
        """Puts the package back as before said it was, where it is not."""
        now = package_state()
        if (now['status'], now['version']) == (before['status'], before['version']):
            return
        self.changed_back = True
        if before['status'] == 'not-installed':
            purge(self.wait)
            self.done.append('purged %s, which this host did not have' % PACKAGE)
        elif before['status'] == 'config-files':
            apt_get(['remove', PACKAGE], self.lists, self.wait)
            self.done.append('removed %s, which this host had removed' % PACKAGE)
        elif before['status'] != 'installed':
            raise HostError('could not put back %s: it was %s before' % (PACKAGE, before['status']))
        else:
            kept = package_file(before['version'])
            source = kept or '%s=%s' % (PACKAGE, before['version'])
            try:
                apt_get(['install', '--no-install-recommends', '--allow-downgrades', source], self.lists, self.wait)
            except HostError as error:
                raise HostError('could not put back %s %s%s: %s' % (
                    PACKAGE, before['version'], '' if kept else ', and no package file of it is kept here', error))
            self.done.append('put back %s %s from %s' % (PACKAGE, before['version'], kept or 'the repository'))

    def undo_file(self, path, before):
        """Puts file path back as before said it was, where it is not."""
        if same_file(read_file(path), before):
            return
        write_file(path, before)
        self.changed_back = True
        self.done.append(('removed %s' if before['content'] is None else 'put back %s') % path)

    def undo_line(self, command):
        """Has the agent's file give the agent command for its next start, noting whether it changed."""
        before = read_file(DEFAULT_FILE)
        set_line(command)
        self.changed_back = self.changed_back or not same_file(before, read_file(DEFAULT_FILE))

    def undo_restart(self):
        """Restarts the agent through the health gate, once anything was put back; says how it went."""
        if not self.changed_back:
            return
        broke = start_through_gate(self.wanted['settle_seconds'], self.wanted['health_command'])
        if broke:
            self.done.append('started the agent again with its previous command line: it fails the health gate '
                             'too\n' + broke)
        else:
            self.done.append('started the agent again with its previous command line: it passes the health gate')

    def undo_stop(self):
        """Stops the agent, which was not running before the change."""
        if service_properties('ActiveState')[0] in ('active', 'activating', 'reloading'):
            checked(['systemctl', 'stop', UNIT])
            self.done.append('stopped the agent, which was not running before')

    def undo_enabled(self, before):
        """Enables or disables the service again, as before said it was."""
        now = service_properties('UnitFileState')[0]
        if now != before and before in ('enabled', 'disabled') and package_state()['status'] == 'installed':
            checked(['systemctl', 'enable' if before == 'enabled' else 'disable', UNIT])
            self.done.append('%s %s again' % (before, UNIT))


def take_lock(exclusive, wait):
    """Takes the host's lock, waiting up to wait seconds for the change that holds it; returns its descriptor.

    A shared lock, for a read, is only tried, and no lock file is made for
    it: None when a change holds the lock, -1 when none ever took it.
    """
    if not exclusive:
        try:
            descriptor = os.open(LOCK_FILE, os.O_RDONLY | os.O_NOFOLLOW)
        except OSError as error:
            if error.errno == errno.ENOENT:
                return -1
            raise
    else:
        if not os.path.isdir(RUN_DIR):
            os.makedirs(RUN_DIR, 0o700)
        descriptor = os.open(LOCK_FILE, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
    deadline = time.time() + wait
    while True:
        try:
            fcntl.flock(descriptor, (fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH) | fcntl.LOCK_NB)
            return descriptor
        except (IOError, OSError) as error:
            if error.errno not in (errno.EAGAIN, errno.EACCES):
                raise
        if not exclusive:
            os.close(descriptor)
            return None
        if time.time() >= deadline:
            os.close(descriptor)
            raise HostError('another change of the agent has held %s for %d s, the longest a run waits for it; '
                            'nothing was changed' % (LOCK_FILE, wait))
        time.sleep(0.5)


def change(request):
    """Carries out a request, {'wanted': ..., 'wait': seconds}, as one transaction under the host's lock.

    Returns what happened: {'changed', 'failed', 'msg', 'done', 'rolled_back',
    'notes', 'restart', 'stale', 'version', 'previous_version', 'before',
    'after'}, the last two the managed files.
    """
    wanted, wait = request['wanted'], request['wait']
    result = {'changed': False, 'failed': False, 'msg': '', 'done': [], 'rolled_back': [], 'notes': [],
              'restart': None, 'stale': False, 'version': '', 'previous_version': ''}
    try:
        descriptor = take_lock(True, wait)
    except HostError as error:
        return dict(result, failed=True, msg=str(error))
    try:
        return carried_out(wanted, wait, result)
    finally:
        os.close(descriptor)


def carried_out(wanted, wait, result):
    """Reads the host, plans and takes the steps, putting back what they changed where one fails; returns
    result filled in."""
    try:
        found = read_host()
        result['previous_version'] = result['version'] = found['package']['version']
        lists = Lists(wanted['repository_url'], wanted['repository_key'], STATE_DIR + '/apt', CACHE_DIR)
        if wanted['state'] == 'present':
            words_of_sh = parses(wanted['command'])
            if words_of_sh:
                raise HostError("the command line does not parse in the host's /bin/sh: " + words_of_sh)
        published = read_repository(lists, found['release'], wait) if wanted['state'] == 'present' else []
        decided = plan(wanted, found, published)
    except HostError as error:
        return dict(result, failed=True, msg='%s\nNothing was changed.' % error)
    result.update(restart=decided['restart'], stale=decided['stale'], version=decided['version'],
                  before=dict((path, encode_file(state)) for path, state in found['files'].items()))
    transaction = Transaction(wanted, found, lists, wait)
    try:
        transaction.carry_out(decided['steps'])
    except HostError as error:
        failed_step = transaction.attempted[-1]
        rollback = Rollback(transaction)
        if wanted['state'] == 'present':
            rollback.carry_out(undo(found, transaction.attempted))
        message = '%s failed: %s' % (describe_step(failed_step), error)
        if rollback.done:
            message += '\nrolled back: ' + '\n'.join(rollback.done)
        elif wanted['state'] == 'present':
            message += '\nNothing to roll back: this run changed nothing that differs from before.'
        if rollback.failures:
            message += '\nThe rollback failed: ' + '\n'.join(rollback.failures)
        result.update(failed=True, msg=message, rolled_back=rollback.done, stale=False,
                      version=package_state()['version'])
    if os.path.isdir(ARCHIVES):
        drop_other_package_files(package_state()['version'])
    after = read_host()
    result.update(changed=bool(transaction.done) or result['failed'] and bool(transaction.attempted),
                  done=transaction.done, notes=transaction.notes,
                  after=dict((path, encode_file(state)) for path, state in after['files'].items()))
    if not result['failed']:
        result['stale'] = after['service']['stale'] and after['service']['active'] == 'active'
    return result


def describe_step(step):
    """What a step does, in a few words."""
    return {
        'file': lambda: ('removing %s' if step[2]['content'] is None else 'writing %s') % step[1],
        'install': lambda: 'installing %s %s' % (PACKAGE, step[1]),
        'purge': lambda: 'purging %s' % PACKAGE,
        'line': lambda: "setting the agent's command line in %s" % DEFAULT_FILE,
        'enable': lambda: 'enabling %s' % UNIT,
        'restart': lambda: 'restarting the agent (%s)' % step[1],
        'forget': lambda: "removing the module's own folders",
    }[step[0]]()


def run_change(request_path):
    """Carries out the request in file request_path, writes the result beside it, as result.json, and returns
    what the change did, in a few lines for the journal."""
    with open(request_path) as stream:
        request = json.load(stream)
    result = change(request)
    target = os.path.join(os.path.dirname(request_path), 'result.json')
    with open(target + '.partial', 'w') as stream:
        json.dump(result, stream)
    os.rename(target + '.partial', target)
    return result['msg'] if result['failed'] else '\n'.join(result['done']) or 'nothing to change'
