# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""The host module's decisions, without a host: what changes, which version, what is put back, in what order."""

from __future__ import absolute_import, division, print_function

import os

import pytest
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_host as host

__metaclass__ = type

LINE = '/opt/agent "front office" \'single "double"\' "it\'s" \'$HOME stays\' 100% \'C:\\agent\' \\$'
KEY = '-----BEGIN PGP PUBLIC KEY BLOCK-----\nkey\n-----END PGP PUBLIC KEY BLOCK-----'
URL = 'http://apt.example.net'


@pytest.mark.parametrize('content, value', [
    (b'YRNAGENT_COMMAND=', ''),
    (b'# comment\nYRNAGENT_COMMAND=\'a "b" $c\'\n', 'a "b" $c'),
    (b'YRNAGENT_COMMAND="a \\"b\\" \\$c \\\\ \\n"', 'a "b" $c \\ \\n'),
    (b'YRNAGENT_COMMAND=plain\\ words   \n', 'plain words'),
    (b'YRNAGENT_COMMAND=first\nYRNAGENT_COMMAND=second\n', 'second'),
    (b'; YRNAGENT_COMMAND=commented\n', None),
    (b'  YRNAGENT_COMMAND = \'spaced\'\n', 'spaced'),
    (b'YRNAGENT_COMMAND=\'joined\'" words"\n', 'joined words'),
])
def test_environment_value_reads_the_line_as_systemd_does(content, value):
    assert host.environment_value(content) == value


@pytest.mark.parametrize('command', [LINE, '', 'a\\b', '`x` "$y"', u'caf\u00e9 100%'])
def test_a_written_line_reads_back_byte_for_byte(command):
    written = host.with_command(b'# head\nYRNAGENT_COMMAND=\nTAIL=1', command)
    assert host.environment_value(written) == command
    assert written.startswith(b'# head\n') and written.endswith(b'TAIL=1')


@pytest.mark.parametrize('content, expected', [
    (None, b'YRNAGENT_COMMAND="x"\n'),
    (b'A=1', b'A=1\nYRNAGENT_COMMAND="x"\n'),
    (b'YRNAGENT_COMMAND=a\nB=2\nYRNAGENT_COMMAND=b\n', b'YRNAGENT_COMMAND=a\nB=2\nYRNAGENT_COMMAND="x"\n'),
])
def test_the_last_assignment_is_replaced_or_one_added(content, expected):
    assert host.with_command(content, 'x') == expected


def test_a_line_that_cannot_be_overridden_is_refused():
    with pytest.raises(host.HostError, match='cannot override'):
        host.with_command(b'YRNAGENT_COMMAND=x\n YRNAGENT_COMMAND=late\n', 'x2')


@pytest.mark.parametrize('older, newer', [
    ('1.0.0', '1.0.0+later1'), ('1.0.0~rc1', '1.0.0'), ('1.0.0', '1.0.1'), ('1.9', '1.10'),
    ('1.0-1', '1.0-2'), ('2.0', '1:1.0'), ('1.0a', '1.0b'), ('1.0', '1.0a'),
])
def test_versions_sort_as_dpkg_sorts_them(older, newer):
    assert host.compare_versions(older, newer) < 0 < host.compare_versions(newer, older)
    assert host.newest([older, newer]) == host.newest([newer, older]) == newer


@pytest.mark.parametrize('asked, installed, published, target', [
    ('', '', ['1.0.0', '1.0.0+later1'], '1.0.0+later1'),
    ('', '1.0.0', ['1.0.0+later1'], '1.0.0'),
    ('latest', '1.0.0', ['1.0.0', '1.0.0+later1'], '1.0.0+later1'),
    ('1.0.0', '1.0.0+later1', ['1.0.0', '1.0.0+later1'], '1.0.0'),
    ('1.0.0', '1.0.0', [], '1.0.0'),
    ('2.0', '1.0.0', ['1.0.0'], None),
    ('latest', '', [], None),
])
def test_the_version_asked_for(asked, installed, published, target):
    assert host.target_version(asked, installed, published) == target


def wanted(**changes):
    base = dict(state='present', command=LINE, repository_url=URL, repository_key=KEY, version='',
                settle_seconds=1, health_command='', restart_on_upgrade=False, canary=False)
    base.update(changes)
    return base


def found(version='1.0.0', active='active', line=LINE, stale=False, enabled='enabled', file_line=LINE, pin=None,
          folders=True):
    files = dict((path, host.owned_file(None)) for path in host.MANAGED_FILES)
    files[host.KEY_FILE] = host.owned_file(KEY.encode())
    files[host.SOURCES_FILE] = host.owned_file(host.sources_text(URL, 'bookworm'))
    if pin:
        files[host.PIN_FILE] = host.owned_file(host.pin_text(pin))
    if file_line is not None:
        files[host.DEFAULT_FILE] = dict(host.owned_file(host.with_command(b'# settings\n', file_line)), mode=0o600)
    return dict(release='bookworm', files=files, folders=folders,
                package=dict(status='installed' if version else 'not-installed', version=version),
                service=dict(active=active, enabled=enabled, line=line if active == 'active' else None, stale=stale))


def kinds(decided):
    return [step[0] for step in decided['steps']]


@pytest.mark.parametrize('case, want, have, steps, restart', [
    ('converged', wanted(), found(), [], None),
    ('fresh host', wanted(), found(version='', active='inactive', file_line=None, enabled=''),
     ['install', 'line', 'enable', 'restart'], 'the agent was not running'),
    ('file holds the line, the agent runs another', wanted(), found(line='old'), ['restart'],
     'the agent ran another command line'),
    ('the agent runs the line, the file quotes it otherwise', wanted(command='a b'),
     found(line='a b', file_line=None), ['line'], None),
    ('agent stopped by hand', wanted(), found(active='inactive'), ['restart'], 'the agent was not running'),
    ('new line', wanted(command='new'), found(), ['line', 'restart'], 'the agent ran another command line'),
    ('upgrade, agents kept', wanted(version='latest'), found(), ['install', 'enable'], None),
    ('pinned upgrade, agent kept', wanted(version='1.0.1'), found(), ['file', 'install', 'enable'], None),
    ('pinned upgrade on the canary', wanted(version='1.0.1', canary=True), found(),
     ['file', 'install', 'enable', 'restart'], 'the launcher is upgraded to 1.0.1'),
    ('stale launcher, restarts asked for', wanted(restart_on_upgrade=True), found(stale=True), ['restart'],
     'the agent ran a launcher that an upgrade replaced'),
    ('stale launcher, no restarts', wanted(), found(stale=True), [], None),
    ('pin dropped', wanted(), found(pin='1.0.0'), ['file'], None),
    ('disabled service', wanted(), found(enabled='disabled'), ['enable'], None),
    ('new key', wanted(repository_key=KEY + '\n'), found(), ['file'], None),
])
def test_plan(case, want, have, steps, restart):
    decided = host.plan(want, have, ['1.0.0', '1.0.1'])
    assert (kinds(decided), decided['restart']) == (steps, restart), case


def test_plan_keeps_the_order_of_a_full_change():
    decided = host.plan(wanted(version='1.0.1', command='new', repository_key='other', canary=True),
                        found(pin='1.0.0', enabled='disabled'), ['1.0.0', '1.0.1'])
    assert [step[:2] if step[0] == 'file' else step[:1] for step in decided['steps']] == [
        ('file', host.KEY_FILE), ('file', host.PIN_FILE), ('install',), ('line',), ('enable',), ('restart',)]
    assert decided['steps'][1][2]['content'] == host.pin_text('1.0.1')


def test_latest_upgrades_and_names_the_stale_launcher():
    decided = host.plan(wanted(version='latest'), found(), ['1.0.0', '1.0.1'])
    assert (kinds(decided), decided['version'], decided['stale']) == (['install', 'enable'], '1.0.1', True)


def test_a_version_not_published_is_refused_before_any_change():
    with pytest.raises(host.HostError, match='yrnagentrun 2.0 is not published in http://apt.example.net'):
        host.plan(wanted(version='2.0'), found(), ['1.0.0'])


def test_absent_purges_and_removes_what_is_there():
    decided = host.plan(wanted(state='absent'), found(pin='1.0.0'), [])
    assert [step[:2] for step in decided['steps']] == [
        ('purge',), ('file', host.SOURCES_FILE), ('file', host.KEY_FILE), ('file', host.PIN_FILE), ('forget',)]
    assert host.plan(wanted(state='absent'), found(version='', folders=False, pin=None), [])['steps'] == [
        ('file', host.SOURCES_FILE, host.owned_file(None)), ('file', host.KEY_FILE, host.owned_file(None))]


@pytest.mark.parametrize('case, before, attempted, first', [
    ('a new version fails the gate', found(), [('file',), ('install', '1.0.1'), ('restart', 'x')],
     [('package',), ('file', host.DEFAULT_FILE), ('restart',)]),
    ('a fresh host fails the gate', found(version='', active='inactive', file_line=None),
     [('install', '1.0.0'), ('line',), ('restart', 'x')], [('package',), ('stop',)]),
    ('the file held another line than the agent ran', found(line='old'), [('restart', 'x')],
     [('line', 'old'), ('restart',)]),
    ('a line write fails', found(), [('line',)], []),
])
def test_undo_puts_the_package_back_first_then_restarts_from_the_previous_line(case, before, attempted, first):
    steps = host.undo(before, attempted)
    assert [step[:2] if step[0] in ('file', 'line') else step[:1] for step in steps[:len(first)]] == first, case
    files = [step[1] for step in steps if step[0] == 'file']
    assert files[-4:] == list(host.MANAGED_FILES), case
    assert files.index(host.DEFAULT_FILE) < files.index(host.SOURCES_FILE) < files.index(host.KEY_FILE)


class FakeHost:
    """Records the package steps a rollback takes, on a host whose dpkg holds `now`."""

    def __init__(self, monkeypatch, now, kept):
        self.calls = []
        monkeypatch.setattr(host, 'package_state', lambda: now)
        monkeypatch.setattr(host, 'package_file', kept.get)
        monkeypatch.setattr(host, 'apt_get', lambda arguments, lists, wait: self.calls.append(['apt-get'] + arguments))
        monkeypatch.setattr(host, 'purge', lambda wait: self.calls.append(['purge']))


@pytest.mark.parametrize('case, before, now, kept, calls, said', [
    ('back to the kept file', dict(status='installed', version='1.0.0'), dict(status='installed', version='1.0.1'),
     {'1.0.0': '/var/cache/yrnagent/archives/yrnagentrun_1.0.0_amd64.deb'},
     [['apt-get', 'install', '--no-install-recommends', '--allow-downgrades',
       '/var/cache/yrnagent/archives/yrnagentrun_1.0.0_amd64.deb']],
     'put back yrnagentrun 1.0.0 from /var/cache/yrnagent/archives/yrnagentrun_1.0.0_amd64.deb'),
    ('no kept file: the repository', dict(status='installed', version='1.0.0'),
     dict(status='installed', version='1.0.1'), {},
     [['apt-get', 'install', '--no-install-recommends', '--allow-downgrades', 'yrnagentrun=1.0.0']],
     'put back yrnagentrun 1.0.0 from the repository'),
    ('half installed on a host that had none', dict(status='not-installed', version=''),
     dict(status='half-installed', version=''), {}, [['purge']], 'purged yrnagentrun, which this host did not have'),
    ('removed before', dict(status='config-files', version=''), dict(status='installed', version='1.0.1'), {},
     [['apt-get', 'remove', 'yrnagentrun']], 'removed yrnagentrun, which this host had removed'),
    ('unchanged', dict(status='installed', version='1.0.0'), dict(status='installed', version='1.0.0'), {}, [], None),
])
def test_the_rollback_puts_the_package_back(monkeypatch, case, before, now, kept, calls, said):
    fake = FakeHost(monkeypatch, now, kept)
    transaction = host.Transaction(wanted(), found(), None, 5)
    rollback = host.Rollback(transaction)
    rollback.carry_out([('package', before)])
    assert fake.calls == calls, case
    assert rollback.done == ([said] if said else []) and not rollback.failures, case


def test_a_rollback_that_cannot_reinstall_says_so(monkeypatch):
    def refuse(arguments, lists, wait):
        raise host.HostError('apt-get install: E: Version 1.0.0 for yrnagentrun was not found')
    FakeHost(monkeypatch, dict(status='installed', version='1.0.1'), {})
    monkeypatch.setattr(host, 'apt_get', refuse)
    rollback = host.Rollback(host.Transaction(wanted(), found(), None, 5))
    rollback.carry_out([('package', dict(status='installed', version='1.0.0'))])
    assert rollback.failures == ['could not put back yrnagentrun 1.0.0, and no package file of it is kept here: '
                                 'apt-get install: E: Version 1.0.0 for yrnagentrun was not found']


def test_files_come_back_with_their_modes_and_owners(tmp_path):
    path = str(tmp_path / 'default')
    before = dict(content=b'YRNAGENT_COMMAND=old\n', mode=0o600, uid=os.getuid(), gid=os.getgid())
    host.write_file(path, host.owned_file(b'new\n') if os.getuid() == 0 else dict(before, content=b'new\n', mode=0o644))
    rollback = host.Rollback(host.Transaction(wanted(), found(), None, 5))
    rollback.carry_out([('file', path, before), ('file', str(tmp_path / 'absent'), host.owned_file(None))])
    assert host.read_file(path) == before
    assert rollback.done == ['put back ' + path] and rollback.changed_back


@pytest.mark.parametrize('case, kept, served, calls', [
    ('the InRelease apt checked is served still', b'signed', b'signed', ['apt-helper']),
    ('another InRelease is served', b'signed', b'changed after signing', ['apt-helper', 'apt-get']),
    ('no lists yet', None, b'signed', ['apt-get']),
    ('the repository does not answer', b'signed', None, ['apt-helper', 'apt-get']),
])
def test_apt_reads_the_repository_again_unless_it_serves_the_inrelease_apt_checked(
        monkeypatch, tmp_path, case, kept, served, calls):
    lists = host.Lists(URL, KEY, str(tmp_path), str(tmp_path / 'cache'))
    lists.release = 'bookworm'
    os.makedirs(lists.lists)
    if kept is not None:
        (tmp_path / 'lists' / 'apt.example.net_dists_bookworm_InRelease').write_bytes(kept)
    ran = []

    def run(argv, env=None, cwd=None):
        ran.append(os.path.basename(argv[0]))
        if argv[0].endswith('apt-helper'):
            if served is None:
                return 100, '', 'E: Failed to fetch'
            with open(argv[-1], 'wb') as stream:
                stream.write(served)
        return 0, '', ''
    monkeypatch.setattr(host, 'run', run)
    lists.update(0)
    assert ran == calls, case


def test_apt_waits_for_the_lists_lock_and_no_longer(monkeypatch, tmp_path):
    lists = host.Lists('', '', str(tmp_path), str(tmp_path))
    answers = [(100, '', 'E: Could not get lock /var/lib/apt/lists/lock'), (0, '', '')]
    monkeypatch.setattr(host, 'run', lambda argv, env=None, cwd=None: answers.pop(0))
    monkeypatch.setattr(host.time, 'sleep', lambda seconds: None)
    lists.update(5)
    assert answers == []
    monkeypatch.setattr(host, 'run', lambda argv, env=None, cwd=None: (100, '', 'E: Could not get lock here'))
    with pytest.raises(host.HostError, match='Could not get lock'):
        lists.update(0)


def test_a_change_takes_turns_and_names_how_long_it_waited(monkeypatch, tmp_path):
    monkeypatch.setattr(host, 'RUN_DIR', str(tmp_path / 'run'))
    monkeypatch.setattr(host, 'LOCK_FILE', str(tmp_path / 'run' / 'lock'))
    assert host.take_lock(False, 0) == -1, 'a read, before any change'
    held = host.take_lock(True, 0)
    assert os.stat(str(tmp_path / 'run')).st_mode & 0o777 == 0o700
    assert host.take_lock(False, 0) is None, 'a read, while a change holds the lock'
    with pytest.raises(host.HostError, match='held .*/run/lock for 1 s, the longest a run waits for it'):
        host.take_lock(True, 1)
    os.close(held)
    os.close(host.take_lock(True, 0))
