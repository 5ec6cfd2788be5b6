# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""What a change does to the host, and what it reads there.

Commands, and the words of those that fail; files written to disk so that
a power cut leaves either the old or the new one, and their folders with
them; the host's state (release, package, service, the line its launcher
was given); the host's lock; the repository's lists, read with apt's full
signature check into a folder of the module's own; dpkg and apt-get, run
so that they never start or stop the agent themselves; and the service,
restarted and held to the health gate.

Every path is taken under ROOT, the host's root: a scratch folder in the
unit tests, which stand in for the host's commands too.
"""

from __future__ import absolute_import, division, print_function

import base64
import errno
import fcntl
import glob
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
from time import gmtime, strftime

from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_decide as decide
from ansible_collections.yrnagentrun.agent.plugins.module_utils.yrnagent_decide import HostError

__metaclass__ = type

ROOT = ''
# The repository's lists and the change's records; apt's cache for the
# lists, and the package files kept for a rollback; the changes' folders,
# root's alone, and the lock that a change holds for its whole run.
STATE_DIR = '/var/lib/yrnagent'
CACHE_DIR = '/var/cache/yrnagent'
ARCHIVES = CACHE_DIR + '/archives'
RUN_DIR = '/run/yrnagent'
LOCK_FILE = RUN_DIR + '/lock'
# The state a change in flight began from, and the outcome of the last.
RECORD = STATE_DIR + '/record.json'
LAST_CHANGE = STATE_DIR + '/last-change.json'
# A line tried on the agent before it is written to its file: a drop-in
# of the change's own names, after the agent's file, a file in /run, whose
# assignment wins while it is there, and which the next boot clears. The
# drop-in stays, so that a trial costs systemd no reload.
DROP_IN = '/etc/systemd/system/%s.service.d/yrnagent-change.conf' % decide.UNIT
TRIAL_LINE = RUN_DIR + '/line'
DROP_IN_TEXT = ('# Written by a change of the yrnagent service: the line it tries on the agent,\n'
                '# in %s while it does, overrides the line in %s.\n[Service]\nEnvironmentFile=-%s\n'
                % (TRIAL_LINE, decide.DEFAULT_FILE, TRIAL_LINE))
HEALTH_TIMEOUT = 60
LOCALE = {'LC_ALL': 'C', 'DEBIAN_FRONTEND': 'noninteractive'}
# dpkg's maintainer scripts start and stop the agent through systemctl;
# with this, systemctl leaves that to the change, which alone decides when
# the agent starts. At boot, before the agent's unit, it is what keeps a
# start from waiting for the very unit that runs dpkg.
OFFLINE = {'SYSTEMD_OFFLINE': '1'}
DPKG_OPTIONS = ['--force-confdef', '--force-confold']


def on_host(path):
    """Where the host's path is, under ROOT."""
    return ROOT + path


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


# Files, written so that a crash leaves the old one or the new one whole.

def read_file(path):
    """Returns {'content': bytes or None when missing, 'mode', 'uid', 'gid'}."""
    try:
        with open(on_host(path), 'rb') as stream:
            info = os.fstat(stream.fileno())
            return {'content': stream.read(), 'mode': info.st_mode & 0o7777, 'uid': info.st_uid, 'gid': info.st_gid}
    except (IOError, OSError) as error:
        if error.errno != errno.ENOENT:
            raise HostError('cannot read %s: %s' % (path, error.strerror))
        return {'content': None, 'mode': None, 'uid': None, 'gid': None}


def owned_file(content, mode=0o644):
    """A file of the module's own, root's; readable by all by default, as apt needs its files."""
    return {'content': content, 'mode': mode, 'uid': 0, 'gid': 0}


def same_file(a, b):
    """Whether two file states are one: the same content, and for a file, the same mode and owner."""
    if a['content'] != b['content']:
        return False
    return a['content'] is None or (a['mode'], a['uid'], a['gid']) == (b['mode'], b['uid'], b['gid'])


def sync_folder(folder):
    """Flushes folder's entries to disk: the names of the files made, renamed or removed in it."""
    descriptor = os.open(on_host(folder), os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def make_folder(folder, mode=0o755):
    """Makes folder and those above it where missing, durably; another run making it at once is no error."""
    parent = os.path.dirname(folder)
    if parent != folder and not os.path.isdir(on_host(parent)):
        make_folder(parent, 0o755)
    try:
        os.mkdir(on_host(folder), mode)
    except OSError as error:
        if error.errno != errno.EEXIST:
            raise
        return
    os.chmod(on_host(folder), mode)  # whatever the umask
    sync_folder(parent)


def write_file(path, wanted):
    """Makes path hold wanted's content, mode and owner, replacing it whole, or removes it for no content;
    durably: the file and its folder are on disk before it returns."""
    folder = os.path.dirname(path)
    try:
        if wanted['content'] is None:
            try:
                os.unlink(on_host(path))
            except OSError as error:
                if error.errno != errno.ENOENT:
                    raise
                return
            sync_folder(folder)
            return
        make_folder(folder)
        descriptor, scratch = tempfile.mkstemp(prefix='.%s.' % os.path.basename(path), dir=on_host(folder))
        try:
            with os.fdopen(descriptor, 'wb') as stream:
                stream.write(wanted['content'])
                stream.flush()
                if os.getuid() == 0:
                    os.fchown(stream.fileno(), wanted['uid'], wanted['gid'])
                os.fchmod(stream.fileno(), wanted['mode'])
                os.fsync(stream.fileno())
            os.rename(scratch, on_host(path))
        except BaseException:
            os.unlink(scratch)
            raise
        sync_folder(folder)
    except (IOError, OSError) as error:
        raise HostError('cannot %s %s: %s' % ('remove' if wanted['content'] is None else 'write', path,
                                              error.strerror))


def remove_tree(folder):
    """Removes folder and everything in it, where it is there."""
    shutil.rmtree(on_host(folder), ignore_errors=True)


def save_json(path, value):
    """Writes value as JSON to path, root's alone, durably."""
    make_folder(os.path.dirname(path))
    write_file(path, owned_file(json.dumps(value, sort_keys=True).encode('utf-8'), 0o600))


def load_json(path):
    """What path holds as JSON, or None when it is missing or unreadable."""
    content = read_file(path)['content']
    try:
        return json.loads(content.decode('utf-8')) if content else None
    except ValueError:
        return None


def last_change():
    """The outcome of the host's last change, as kept: {'outcome', 'started', 'ended', 'version',
    'line_sha256', 'message'}, or None."""
    return load_json(LAST_CHANGE)


def remove_empty_folder(folder):
    """Removes folder where nothing is left in it: another's files there are not the module's to remove."""
    try:
        os.rmdir(on_host(folder))
    except OSError as error:
        if error.errno not in (errno.ENOENT, errno.ENOTEMPTY, errno.EEXIST):
            raise


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


# Reading the host.

def release():
    """The host's codename, from /etc/os-release."""
    try:
        with open(on_host('/etc/os-release')) as stream:
            for line in stream:
                if line.startswith('VERSION_CODENAME='):
                    return line.split('=', 1)[1].strip().strip('"\'')
    except (IOError, OSError):
        pass
    raise HostError('/etc/os-release names no VERSION_CODENAME')


def comment_continues():
    """Whether the host's systemd, older than 254, continues a comment after a backslash onto the next line."""
    for library in glob.glob(on_host('/usr/lib/systemd/libsystemd-shared-*.so')) + \
            glob.glob(on_host('/usr/lib/*/systemd/libsystemd-shared-*.so')):
        major = re.match(r'libsystemd-shared-(\d+)', os.path.basename(library))
        if major:
            return int(major.group(1)) < 254
    major = re.match(r'systemd (\d+)', output(['systemctl', '--version']))
    return bool(major) and int(major.group(1)) < 254


def package_state():
    """{'status': dpkg's word for the package's state, 'version': the version installed or ''}."""
    word, version = (output(['dpkg-query', '-W', '-f', '${db:Status-Status} ${Version}', decide.PACKAGE]) +
                     ' ').split(' ', 1)
    return {'status': word or 'not-installed', 'version': version.strip() if word == 'installed' else ''}


def launcher_arguments(pid):
    """The arguments that launcher process pid was given, its own name first, as bytes; None when it is gone.

    Under an emulator (qemu-user through binfmt_misc) the process's command
    line is the emulator's: its own name, the launcher's file, the name the
    launcher was given where the emulator preserves it, then the launcher's
    arguments.
    """
    try:
        with open(on_host('/proc/%d/cmdline' % pid), 'rb') as stream:
            arguments = stream.read().split(b'\0')[:-1]
    except (IOError, OSError):
        return None
    name = os.path.basename(decide.LAUNCHER).encode()
    if not arguments or os.path.basename(arguments[0]) == name:
        return arguments
    arguments = arguments[1:]
    if len(arguments) >= 3 and os.path.basename(arguments[1]) == name:
        arguments = arguments[1:]
    return arguments


def running_line(pid):
    """The command line that launcher process pid runs, its first argument, as text; None when it has none."""
    arguments = launcher_arguments(pid)
    if not arguments or len(arguments) < 2:
        return None
    return arguments[1].decode('utf-8', 'surrogateescape')


def runs_replaced_launcher(pid):
    """Whether process pid runs a launcher file that an upgrade replaced.

    Its maps name the file it runs, natively and under an emulator alike,
    where its executable is the emulator.
    """
    try:
        inode = os.stat(on_host(decide.LAUNCHER)).st_ino
        with open(on_host('/proc/%d/maps' % pid)) as stream:
            for line in stream:
                fields = line.split()
                if len(fields) >= 6 and fields[5] == decide.LAUNCHER and fields[4] == str(inode):
                    return False
    except (IOError, OSError):
        return False
    return True


def service_properties(*names):
    """The service's systemd properties named, in order, each "" where systemd has none."""
    out = output(['systemctl', 'show', decide.UNIT] + ['--property=' + name for name in names])
    properties = dict(line.split('=', 1) for line in out.splitlines() if '=' in line)
    return [properties.get(name, '') for name in names]


def service_state():
    """The service: whether it is active and enabled, and what its launcher runs."""
    active, enabled, main = service_properties('ActiveState', 'UnitFileState', 'MainPID')
    main = int(main) if main.isdigit() else 0
    state = {'active': active, 'enabled': enabled, 'line': None, 'stale': False}
    if active == 'active' and main > 0:
        state['line'] = running_line(main)
        state['stale'] = runs_replaced_launcher(main)
    return state


def read_host(package=None):
    """Everything about the host that a plan needs, changing nothing; package, where given, is the package's
    state as package_state read it."""
    continues = comment_continues()
    files = dict((path, read_file(path)) for path in decide.MANAGED_FILES)
    return {
        'release': release(),
        'files': files,
        'file_line': decide.environment_value(files[decide.DEFAULT_FILE]['content'] or b'',
                                              comment_continues=continues),
        'comment_continues': continues,
        'package': package or package_state(),
        'service': service_state(),
        'folders': os.path.isdir(on_host(STATE_DIR)) or os.path.isdir(on_host(CACHE_DIR)),
    }


def iso(timestamp):
    """A timestamp as systemctl --timestamp=unix shows it ("@seconds"), in ISO 8601, UTC; None for none."""
    if not timestamp.startswith('@'):
        return None
    return strftime('%Y-%m-%dT%H:%M:%SZ', gmtime(int(timestamp[1:].split('.')[0])))


def agent_status():
    """What the host runs, whether it is well, and what its last change did, as yrnagent_info returns it; reads
    no lock, no repository, and changes nothing."""
    out = output(['systemctl', 'show', decide.UNIT, '--timestamp=unix', '--property=ActiveState',
                  '--property=MainPID', '--property=NRestarts', '--property=ActiveEnterTimestamp'])
    shown = dict(line.split('=', 1) for line in out.splitlines() if '=' in line)
    active = shown.get('ActiveState') == 'active'
    main = int(shown.get('MainPID', '0') or 0)
    line = running_line(main) if active and main else None
    files = dict((path, read_file(path)['content'])
                 for path in (decide.DEFAULT_FILE, decide.SOURCES_FILE, decide.PIN_FILE, decide.PID_FILE))
    file_line = decide.environment_value(files[decide.DEFAULT_FILE] or b'',
                                         comment_continues=comment_continues())
    sources = decide.sources_fields(files[decide.SOURCES_FILE])
    kept = last_change()
    return dict(
        release=release(),
        architecture=output(['dpkg', '--print-architecture']).strip(),
        version=package_state()['version'] or None,
        active=active,
        since=iso(shown.get('ActiveEnterTimestamp', '')) if active else None,
        restarts=int(shown.get('NRestarts') or 0),
        pid_file_ok=bool(line is not None and files[decide.PID_FILE] == str(main + 2).encode()),
        line_sha256=decide.digest(line) if line is not None else None,
        line_drift=line is not None and line != file_line,
        launcher_replaced=line is not None and runs_replaced_launcher(main),
        repository=dict(url=sources['URIs'], suite=sources.get('Suites')) if 'URIs' in sources else None,
        pin=decide.pinned_version(files[decide.PIN_FILE]),
        change_in_flight=os.path.exists(on_host(RECORD)),
        last_change=dict((name, kept.get(name)) for name in ('outcome', 'started', 'ended', 'version', 'line_sha256'))
        if kept else None,
    )


def parses(command):
    """None when the host's /bin/sh parses command; otherwise its words."""
    status, out, err = run(['/bin/sh', '-n', '-c', '--', command])
    return None if status == 0 else words(out, err)


def take_lock(exclusive, wait):
    """Takes the host's lock, waiting up to wait seconds for the change that holds it; returns its descriptor.

    A shared lock, for a read, is only tried, and no lock file is made for
    it: None when a change holds the lock, -1 when none ever took it.
    """
    if not exclusive:
        try:
            descriptor = os.open(on_host(LOCK_FILE), os.O_RDONLY | os.O_NOFOLLOW)
        except OSError as error:
            if error.errno == errno.ENOENT:
                return -1
            raise
    else:
        make_folder(RUN_DIR, 0o700)
        descriptor = os.open(on_host(LOCK_FILE), os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
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


# The repository's lists: read with apt's full signature check, into a
# folder of the module's own, so that apt fetches only what changed and no
# other source's trouble is the agent's.

class Lists:
    """apt's settings for reading one repository, and for installing from it; with no repository, the host's
    own lists, read as they are."""

    def __init__(self, url, key, folder, cache):
        self.url, self.key, self.folder, self.cache = url, key, folder, cache
        self.sources = os.path.join(folder, 'yrnagent.sources')
        self.key_file = os.path.join(folder, 'key.asc')
        self.empty = os.path.join(folder, 'empty')
        self.config = os.path.join(folder, 'apt.conf')
        self.lists = os.path.join(folder, 'lists')
        self.release = None

    def environment(self):
        """The environment that has apt read these lists."""
        return {'APT_CONFIG': on_host(self.config)} if self.url else {}

    def places(self):
        """apt's settings that make it read this repository's lists alone, and keep its caches here."""
        return [('Dir::Etc::SourceList', on_host(self.sources)), ('Dir::Etc::SourceParts', on_host(self.empty)),
                ('Dir::State::Lists', on_host(self.lists) + '/'), ('Dir::Cache', on_host(self.cache) + '/')]

    def install_options(self):
        """apt-get's options to install from these lists, over the host's own settings, and keep the package
        file in ARCHIVES."""
        options = []
        for name, value in self.places() if self.url else []:
            options += ['-o', '%s=%s' % (name, value)]
        return options + ['-o', 'Dir::Cache::Archives=%s/' % on_host(ARCHIVES)]

    def prepare(self, release_name):
        """Writes the settings for repository url on release_name; forgets the lists read from another
        repository, or with another key."""
        self.release = release_name
        for folder in (self.folder, self.empty, self.cache):
            make_folder(folder)
        os.chmod(on_host(self.folder), 0o755)  # apt fetches as its own user
        key = self.key.encode('utf-8')
        text = decide.sources_text(self.url, release_name).replace(decide.KEY_FILE.encode(),
                                                                   on_host(self.key_file).encode())
        if read_file(self.key_file)['content'] != key or read_file(self.sources)['content'] != text:
            shutil.rmtree(on_host(self.lists), ignore_errors=True)
            write_file(self.key_file, owned_file(key))
            write_file(self.sources, owned_file(text))
        make_folder(os.path.join(self.lists, 'partial'))
        if self.settings_changed() or read_file(self.config)['mode'] != 0o600:
            # The host's settings for how apt connects, and nothing else: no hooks. A proxy's address may
            # carry a password: root's alone.
            connecting = checked(['apt-config', 'dump', 'Acquire'])
            settings = [('Dir::Etc::Parts', on_host(self.empty)), ('Dir::Etc::main', '/dev/null'),
                        ('Dir::Etc::PreferencesParts', on_host(self.empty)), ('Dir::Etc::Preferences', '/dev/null')]
            write_file(self.config, owned_file((connecting + ''.join(
                '%s "%s";\n' % setting for setting in settings + self.places())).encode('utf-8'), 0o600))

    def settings_changed(self):
        """Whether the host's apt settings may have changed since they were last written into self.config."""
        try:
            written = os.stat(on_host(self.config)).st_mtime
        except OSError:
            return True
        paths = [on_host('/etc/apt/apt.conf'), on_host('/etc/apt/apt.conf.d')]
        if os.path.isdir(paths[1]):
            paths += [os.path.join(paths[1], name) for name in os.listdir(paths[1])]
        return any(os.path.exists(path) and os.stat(path).st_mtime >= written for path in paths)

    def update(self, wait):
        """Reads the repository's lists again; waits up to wait seconds for their lock; raises HostError with
        apt's words.

        The repository's InRelease file is fetched first, through apt's own
        transport and settings: when it is byte for byte the one that apt
        checked and keeps in the lists, which hold this repository's alone,
        they are still the repository's, and apt has nothing to fetch or
        check again.
        """
        environment = self.environment()
        latest = os.path.join(self.folder, 'InRelease')
        address = '%s/dists/%s/InRelease' % (self.url.rstrip('/'), self.release)
        kept = [name for name in os.listdir(on_host(self.lists)) if name.endswith('_InRelease')]
        if len(kept) == 1 and \
                run([on_host('/usr/lib/apt/apt-helper'), 'download-file', address, on_host(latest)], environment)[0] == 0 and \
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
        """The versions of the package that these lists hold: read from the repository's own Packages lists,
        which apt verified when it fetched them, where it keeps them uncompressed; or else as apt-cache
        has them."""
        folder = on_host(self.lists)
        names = sorted(os.listdir(folder)) if self.url and os.path.isdir(folder) else []
        lists = [name for name in names if name.endswith('_Packages')]
        if lists and not any('_Packages.' in name for name in names):
            versions = []
            for name in lists:
                with open(os.path.join(folder, name), 'rb') as stream:
                    for stanza in stream.read().decode('utf-8', 'replace').split('\n\n'):
                        fields = dict(re.findall(r'^([A-Za-z-]+): *(.*)$', stanza, re.M))
                        if fields.get('Package') == decide.PACKAGE and 'Version' in fields:
                            versions.append(fields['Version'].strip())
            return versions
        out = output(['apt-cache', 'madison', decide.PACKAGE], self.environment())
        return [line.split('|')[1].strip() for line in out.splitlines() if line.count('|') >= 2]


def read_repository(lists, release_name, wait):
    """The versions published for the host: with a repository, read again from it into the lists; with none,
    in the host's own lists as they are."""
    if lists.url:
        lists.prepare(release_name)
        lists.update(wait)
    return lists.published()


# The package: installed and removed by apt-get and dpkg, which leave the
# agent alone (OFFLINE), and the package files kept for a rollback.

def apt_get(arguments, lists, wait):
    """Runs apt-get with arguments, waiting up to wait seconds for dpkg's lock; raises HostError with apt's words."""
    passed = [word for option in DPKG_OPTIONS for word in ('-o', 'Dpkg::Options::=' + option)]
    checked(['apt-get', '-q', '-y', '-o', 'DPkg::Lock::Timeout=%d' % wait] + passed + lists.install_options() +
            arguments, OFFLINE, what='apt-get ' + arguments[0])


def dpkg(arguments, wait):
    """Runs dpkg with arguments, waiting up to wait seconds for its lock; raises HostError with dpkg's words."""
    deadline = time.time() + wait
    while True:
        status, out, err = run(['dpkg'] + DPKG_OPTIONS + arguments, OFFLINE)
        if status == 0:
            return
        if 'lock' not in err or time.time() >= deadline:
            raise HostError('dpkg %s: %s' % (arguments[0], words(out, err)))
        time.sleep(1)


def interrupted_dpkg():
    """What dpkg --audit says of packages that an interrupted dpkg left half made, or ''."""
    return output(['dpkg', '--audit']).strip()


def repair_dpkg(wait):
    """Has dpkg finish what an interrupted run of it left half configured; says what it did, or None."""
    if not interrupted_dpkg():
        return None
    status, out, err = run(['dpkg'] + DPKG_OPTIONS + ['--configure', '-a'], OFFLINE)
    if status != 0:
        return 'dpkg --configure -a: %s' % words(out, err)
    return 'dpkg --configure -a finished what an interrupted dpkg left'


def package_file(version):
    """The package file of version kept in ARCHIVES, as the host's path, or None."""
    folder = on_host(ARCHIVES)
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        if name.startswith(decide.PACKAGE + '_') and name.endswith('.deb'):
            if output(['dpkg-deb', '--field', os.path.join(folder, name), 'Version']).strip() == version:
                return os.path.join(ARCHIVES, name)
    return None


def keep_package_file(version, lists):
    """Keeps the package file of installed version in ARCHIVES, for a rollback; says how, or that it cannot."""
    if package_file(version):
        return None
    make_folder(ARCHIVES)
    name = '%s_%s_%s.deb' % (decide.PACKAGE, version.replace(':', '%3a'),
                             output(['dpkg', '--print-architecture']).strip())
    cached = on_host('/var/cache/apt/archives/' + name)
    if os.path.isfile(cached):
        shutil.copy2(cached, on_host(os.path.join(ARCHIVES, name)))
        return None
    status, out, err = run(['apt-get', '-q', 'download', '%s=%s' % (decide.PACKAGE, version)],
                           lists.environment(), on_host(ARCHIVES))
    if status != 0:
        return 'no package file of %s %s is kept here (%s): a rollback would need the repository' % (
            decide.PACKAGE, version, words(out, err))
    return None


def drop_other_package_files(version):
    """Keeps in ARCHIVES the package file of version alone, once it is kept; never the last copy of one."""
    kept = package_file(version)
    if not kept:
        return
    folder = on_host(ARCHIVES)
    for name in os.listdir(folder):
        if name.endswith('.deb') and os.path.join(ARCHIVES, name) != kept:
            os.unlink(os.path.join(folder, name))


def purge(wait):
    """Purges the package, whatever state dpkg left it in; waits up to wait seconds for dpkg's lock."""
    status, out, err = run(['apt-get', '-q', '-y', '-o', 'DPkg::Lock::Timeout=%d' % wait, 'purge', decide.PACKAGE],
                           OFFLINE)
    if package_state()['status'] == 'not-installed':
        return
    # A package that apt will not touch, half installed, is dpkg's to purge.
    run(['dpkg', '--purge', '--force-remove-reinstreq', decide.PACKAGE], OFFLINE)
    if package_state()['status'] != 'not-installed':
        raise HostError('apt-get purge: %s' % words(out, err))


def restore_package(before, lists, wait, repository=True):
    """Puts the package back as before said it was, where it is not: from the package file kept, or from the
    repository where none is kept and repository allows it. Returns what it did, or None; raises HostError,
    saying why, when it cannot."""
    now = package_state()
    if (now['status'], now['version']) == (before['status'], before['version']):
        return None
    if before['status'] == 'not-installed':
        purge(wait)
        return 'purged %s, which this host did not have' % decide.PACKAGE
    if before['status'] == 'config-files':
        dpkg(['--remove', '--force-remove-reinstreq', decide.PACKAGE], wait)
        return 'removed %s, which this host had removed' % decide.PACKAGE
    if before['status'] != 'installed':
        raise HostError('could not put back %s: it was %s before' % (decide.PACKAGE, before['status']))
    kept = package_file(before['version'])
    try:
        if kept:
            dpkg(['--install', on_host(kept)], wait)
        elif repository:
            apt_get(['install', '--no-install-recommends', '--allow-downgrades',
                     '%s=%s' % (decide.PACKAGE, before['version'])], lists, wait)
        else:
            raise HostError('no package file of it is kept here')
    except HostError as error:
        raise HostError('could not put back %s %s%s: %s' % (
            decide.PACKAGE, before['version'], '' if kept or not repository else
            ', and no package file of it is kept here', error))
    return 'put back %s %s from %s' % (decide.PACKAGE, before['version'], kept or 'the repository')


# The service.

def daemon_reload():
    """Has systemd read the units again."""
    checked(['systemctl', 'daemon-reload'])


def reload_if_changed(fresh):
    """Has systemd read the units again where the service's unit file changed on disk since it read it, or is
    new (fresh)."""
    if fresh or service_properties('NeedDaemonReload')[0] == 'yes':
        daemon_reload()


def set_enabled(wanted):
    """Enables or disables the service, where it is not already; says what it did, or None."""
    if service_properties('UnitFileState')[0] == wanted:
        return None
    checked(['systemctl', 'enable' if wanted == 'enabled' else 'disable', decide.UNIT])
    return '%s %s' % (wanted, decide.UNIT)


def try_line(command):
    """Has the service's next starts run command, leaving its file as it is, until drop_trial."""
    make_folder(RUN_DIR, 0o700)
    write_file(TRIAL_LINE, owned_file(decide.line_file(command), 0o600))


def drop_trial():
    """Has the service's next starts run its file's line again."""
    write_file(TRIAL_LINE, owned_file(None))


def stop_service():
    """Stops the agent, through its control script; says so, or None where it was not running."""
    if service_properties('ActiveState')[0] not in ('active', 'activating', 'reloading'):
        return None
    checked(['systemctl', 'stop', decide.UNIT])
    return 'stopped the agent'


# The health gate.

def agent_shells(launcher):
    """Whether any process runs under process `launcher`."""
    wanted = 'PPid:\t%s\n' % launcher
    for entry in os.listdir(on_host('/proc')):
        if entry.isdigit():
            try:
                with open(on_host('/proc/%s/status' % entry)) as stream:
                    if wanted in stream.read():
                        return True
            except (IOError, OSError):
                pass
    return False


def held(main, restarts, line):
    """None while the service stays active with its launcher, given line, and its restart count, and the agent's
    shell runs under the launcher; otherwise what broke."""
    active, now_main, now_restarts = service_properties('ActiveState', 'MainPID', 'NRestarts')
    if active != 'active':
        return 'the service is %s, not active' % (active or 'unknown')
    if now_main != main:
        return 'the launcher was started again: its process %s became %s' % (main, now_main)
    if now_restarts != restarts:
        return 'systemd restarted the launcher (%s restarts before, %s now)' % (restarts, now_restarts)
    if running_line(int(main)) != line:
        return 'the launcher (process %s) was not given the command line asked for' % main
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


def start_through_gate(line, settle, health):
    """Restarts the agent, which is to run command line `line`, and holds it to the health gate for settle
    seconds.

    The service stays active with the same launcher process, given that
    line, and restart count, and the agent's shell runs under the launcher;
    then the pid file holds the launcher's process id plus 2, and health
    command `health`, when given, exits 0. Returns None when it passes;
    otherwise what broke, with the journal's lines since the start.
    """
    run(['systemctl', 'reset-failed', decide.UNIT])
    # Stopped, then started: the journal's lines since are this start's alone.
    status, out, err = run(['systemctl', 'stop', decide.UNIT])
    since = time.time()
    if status == 0:
        status, out, err = run(['systemctl', 'start', decide.UNIT])
    if status != 0:
        broke = 'systemctl could not restart %s: %s' % (decide.UNIT, words(out, err))
    else:
        main, restarts = service_properties('MainPID', 'NRestarts')
        end = time.time() + settle
        broke = None
        while broke is None and time.time() < end:
            time.sleep(1)
            broke = held(main, restarts, line)
        recorded = (read_file(decide.PID_FILE)['content'] or b'').decode('utf-8', 'replace')
        if broke is None and (not main.isdigit() or recorded != str(int(main) + 2)):
            broke = '%s holds "%s", not MainPID + 2 = %s' % (
                decide.PID_FILE, recorded, int(main) + 2 if main.isdigit() else 'unknown')
        if broke is None and health:
            broke = health_failure(health)
    if broke is None:
        return None
    time.sleep(1)  # the journal takes the agent's last lines a moment after they were written
    journal = output(['journalctl', '-u', decide.UNIT, '--since', '@%.6f' % since, '-n', '20', '-o', 'cat',
                      '--no-pager', '-q'])
    return 'health gate: %s\njournalctl -u %s since this start:\n%s' % (
        broke, decide.UNIT, ''.join('  %s\n' % line for line in journal.splitlines()).rstrip('\n'))


def agent_runs():
    """Whether the service is active, its launcher running."""
    return service_properties('ActiveState')[0] == 'active'
