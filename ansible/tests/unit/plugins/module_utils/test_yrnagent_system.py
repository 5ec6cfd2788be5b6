# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""What the change does on the host besides its steps: apt's lists read again only when needed, the host's lock,
files written whole."""

from __future__ import absolute_import, division, print_function

import os

import pytest
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_change as change
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_decide as decide
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_system as system
from ansible_collections.yrnagentrun.agent.plugins.module_utils.yrnagent_decide import HostError
from fake_host import LINE, FakeHost

__metaclass__ = type

KEY = '-----BEGIN PGP PUBLIC KEY BLOCK-----\nkey\n-----END PGP PUBLIC KEY BLOCK-----'
URL = 'http://apt.example.net'


@pytest.mark.parametrize('case, kept, served, calls', [
    ('the InRelease apt checked is served still', b'signed', b'signed', ['apt-helper']),
    ('another InRelease is served', b'signed', b'changed after signing', ['apt-helper', 'apt-get']),
    ('no lists yet', None, b'signed', ['apt-get']),
    ('the repository does not answer', b'signed', None, ['apt-helper', 'apt-get']),
])
def test_apt_reads_the_repository_again_unless_it_serves_the_inrelease_apt_checked(
        monkeypatch, tmp_path, case, kept, served, calls):
    lists = system.Lists(URL, KEY, str(tmp_path), str(tmp_path / 'cache'))
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
    monkeypatch.setattr(system, 'run', run)
    lists.update(0)
    assert ran == calls, case


def test_apt_waits_for_the_lists_lock_and_no_longer(monkeypatch, tmp_path):
    lists = system.Lists(URL, KEY, str(tmp_path), str(tmp_path))
    lists.release = 'bookworm'
    os.makedirs(lists.lists)
    answers = [(100, '', 'E: Could not get lock /var/lib/apt/lists/lock'), (0, '', '')]
    monkeypatch.setattr(system, 'run', lambda argv, env=None, cwd=None: answers.pop(0))
    monkeypatch.setattr(system.time, 'sleep', lambda seconds: None)
    lists.update(5)
    assert answers == []
    monkeypatch.setattr(system, 'run', lambda argv, env=None, cwd=None: (100, '', 'E: Could not get lock here'))
    with pytest.raises(HostError, match='Could not get lock'):
        lists.update(0)


def test_a_change_takes_turns_and_names_how_long_it_waited(monkeypatch, tmp_path):
    monkeypatch.setattr(system, 'ROOT', str(tmp_path))
    assert system.take_lock(False, 0) == -1, 'a read, before any change'
    held = system.take_lock(True, 0)
    assert os.stat(str(tmp_path) + system.RUN_DIR).st_mode & 0o777 == 0o700
    assert system.take_lock(False, 0) is None, 'a read, while a change holds the lock'
    with pytest.raises(HostError, match='held /run/yrnagent/lock for 1 s, the longest a run waits for it'):
        system.take_lock(True, 1)
    os.close(held)
    os.close(system.take_lock(True, 0))


def test_a_written_file_replaces_the_old_one_whole_and_leaves_no_scratch(monkeypatch, tmp_path):
    monkeypatch.setattr(system, 'ROOT', str(tmp_path))
    system.write_file('/etc/a/b/file', system.owned_file(b'first', 0o600))
    system.write_file('/etc/a/b/file', system.owned_file(b'second', 0o640))
    assert system.read_file('/etc/a/b/file')['content'] == b'second'
    assert system.read_file('/etc/a/b/file')['mode'] == 0o640
    assert os.listdir(str(tmp_path / 'etc/a/b')) == ['file']
    system.write_file('/etc/a/b/file', system.owned_file(None))
    system.write_file('/etc/a/b/file', system.owned_file(None))
    assert os.listdir(str(tmp_path / 'etc/a/b')) == []


@pytest.fixture
def host(tmp_path, monkeypatch):
    return FakeHost(str(tmp_path), monkeypatch)


def test_the_status_of_a_host_as_wanted(host):
    status = system.agent_status()
    assert status == {
        'release': 'bookworm', 'architecture': 'amd64', 'version': '1.0.0', 'active': True,
        'since': '2025-12-11T09:30:00Z', 'restarts': 0, 'pid_file_ok': True, 'line_sha256': decide.digest(LINE),
        'line_drift': False, 'launcher_replaced': False, 'repository': {'url': URL, 'suite': 'bookworm'},
        'pin': '1.0.0', 'change_in_flight': False, 'last_change': None}


def ahead_of_its_agent(host):
    host.write(decide.DEFAULT_FILE, decide.line_file('/opt/agent --later'))


def under_a_replaced_launcher(host):
    host.install('1.0.1')


def stopped(host):
    host.stop()


def with_a_wrong_pid_file(host):
    host.write(decide.PID_FILE, b'1')


def cut_short(host):
    system.save_json(system.RECORD, {'steps': []})


def after_a_change_rolled_back(host):
    host.service['enabled'] = 'enabled'
    change.change({'wanted': dict(state='present', command='/opt/agent dies', repository_url=URL, repository_key=KEY,
                                  version='1.0.1', settle_seconds=1, health_command='', restart_on_upgrade=False,
                                  canary=True), 'wait': 0})


@pytest.mark.parametrize('made, read', [
    (ahead_of_its_agent, {'line_drift': True}),
    (under_a_replaced_launcher, {'launcher_replaced': True, 'version': '1.0.1'}),
    (stopped, {'active': False, 'since': None, 'pid_file_ok': False, 'line_sha256': None}),
    (with_a_wrong_pid_file, {'pid_file_ok': False}),
    (cut_short, {'change_in_flight': True}),
])
def test_the_status_says_what_is_not_well(host, made, read):
    wanted = system.agent_status()
    made(host)
    wanted.update(read)
    assert system.agent_status() == wanted


def test_the_status_names_the_last_change_and_never_its_line(host):
    after_a_change_rolled_back(host)
    last = system.agent_status()['last_change']
    assert sorted(last) == ['ended', 'line_sha256', 'outcome', 'started', 'version']
    assert (last['outcome'], last['version'], last['line_sha256']) == (
        'rolled back', '1.0.1', decide.digest('/opt/agent dies'))
    assert b'/opt/agent dies' not in system.read_file(system.LAST_CHANGE)['content']


@pytest.mark.parametrize('name, read_by', [
    ('apt.example.net_dists_bookworm_main_binary-amd64_Packages', 'the lists themselves'),
    ('apt.example.net_dists_bookworm_main_binary-amd64_Packages.lz4', 'apt-cache'),
])
def test_the_versions_published_are_read_from_the_repositorys_lists_where_apt_keeps_them_plain(
        monkeypatch, tmp_path, name, read_by):
    lists = system.Lists(URL, KEY, str(tmp_path), str(tmp_path / 'cache'))
    os.makedirs(lists.lists)
    (tmp_path / 'lists' / name).write_bytes(b'Package: other\nVersion: 9\n\nPackage: yrnagentrun\nVersion: 1.0.1\n\n'
                                            b'Package: yrnagentrun\nVersion: 1:2.0-1\nArchitecture: amd64\n')
    ran = []

    def run(argv, env=None, cwd=None):
        ran.append(argv[0])
        return 0, ' yrnagentrun | 1.0.1 | %s bookworm/main amd64 Packages\n' % URL, ''
    monkeypatch.setattr(system, 'run', run)
    published = lists.published()
    assert (published, ran) == ((['1.0.1', '1:2.0-1'], []) if read_by == 'the lists themselves' else
                                (['1.0.1'], ['apt-cache']))
