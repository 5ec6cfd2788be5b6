# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""Whole changes on a fake host (fake_host): what a change leaves when it succeeds, fails at any step, or is cut
short by a power cut or SIGTERM; and the health gate's decisions."""

from __future__ import absolute_import, division, print_function

import errno
import json
import os

import pytest
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_change as change
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_decide as decide
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_system as system
from ansible_collections.yrnagentrun.agent.plugins.module_utils.yrnagent_decide import HostError
from fake_host import KEY, LINE, URL, FakeHost, PowerCut

__metaclass__ = type

KEPT = system.ARCHIVES + '/yrnagentrun_%s_amd64.deb'
# How many commands and file writes that change the host a change of an enabled service makes: a power cut is
# tried before each.
CUT_POINTS = 22


@pytest.fixture
def host(tmp_path, monkeypatch):
    return FakeHost(str(tmp_path), monkeypatch)


def request(**changes):
    """A change to version 1.0.1, pinned, with a new line, on the canary."""
    wanted = dict(state='present', command='/opt/agent --new', repository_url=URL, repository_key=KEY, version='1.0.1',
                  settle_seconds=1, health_command='', restart_on_upgrade=False, canary=True)
    wanted.update(changes)
    return {'wanted': wanted, 'wait': 0, 'secret': False}


def fail_write_once(monkeypatch, path):
    """Has the next write of path fail, as on a full disk."""
    writing = system.write_file

    def write(target, state):
        if target == path and not getattr(write, 'failed', False):
            write.failed = True
            raise HostError('cannot write %s: No space left on device' % target)
        writing(target, state)
    monkeypatch.setattr(system, 'write_file', write)


def run_out_of_space(monkeypatch):
    """Has the next package file kept fill the disk: an OSError, no HostError."""
    def full(version, lists):
        raise OSError(errno.ENOSPC, 'No space left on device')
    monkeypatch.setattr(system, 'keep_package_file', full)


def expect_as_before(host, files, outcome):
    """The host as it was before the change, its agent running LINE again, the change's traces gone but its
    outcome; and the host's lock held for every command the change ran."""
    assert host.files() == files
    assert host.package == {'status': 'installed', 'version': '1.0.0'}
    assert host.service['enabled'] == 'disabled'
    assert_runs(host, LINE)
    assert change.Record.load() is None
    assert system.last_change()['outcome'] == outcome
    assert all(locked for key, argv, locked in host.calls), [key for key, argv, locked in host.calls if not locked]


def assert_runs(host, line):
    """The agent is active, its launcher given line, and the pid file holds its process id plus 2."""
    assert (host.service['active'], host.running_line()) == ('active', line)
    assert system.read_file(decide.PID_FILE)['content'] == str(host.service['main'] + 2).encode()
    assert not os.path.exists(host.root + system.TRIAL_LINE), 'a line still tried'


FAILING_STEPS = [
    ('writing /etc/apt/preferences.d/yrnagent', lambda host, patch: fail_write_once(patch, decide.PIN_FILE), {}),
    ('installing yrnagentrun 1.0.1', lambda host, patch: host.fail('apt-get install', 'E: dpkg failed'), {}),
    ('installing yrnagentrun 1.0.1', lambda host, patch: run_out_of_space(patch), {}),
    ('enabling yrnagent', lambda host, patch: host.fail('systemctl enable yrnagent', 'Failed to enable'), {}),
    ('restarting the agent', lambda host, patch: None, {'command': '/opt/agent --new dies'}),
    ("setting the agent's command line", lambda host, patch: fail_write_once(patch, decide.DEFAULT_FILE), {}),
]


@pytest.mark.parametrize('reinstall_fails', [False, True], ids=['rollback whole', 'reinstall fails too'])
@pytest.mark.parametrize('step, failure, changes', FAILING_STEPS,
                         ids=['pin', 'install', 'OSError', 'enable', 'gate', 'line'])
def test_a_failed_step_puts_the_host_back(host, monkeypatch, step, failure, changes, reinstall_fails):
    files = host.files()
    failure(host, monkeypatch)
    if reinstall_fails:
        host.fail('dpkg --install', 'dpkg: error processing archive')
    result = change.change(request(**changes))
    assert result['failed'] and result['msg'].startswith(step), result['msg']
    installed = os.path.exists(host.root + KEPT % '1.0.1')
    if reinstall_fails and installed:
        assert 'The rollback failed: could not put back yrnagentrun 1.0.0' in result['msg']
        assert host.package['version'] == '1.0.1'
        assert host.files() == files and system.last_change()['outcome'] == 'failed'
        assert_runs(host, LINE)
    else:
        expect_as_before(host, files, 'rolled back')
    if installed:
        assert os.path.exists(host.root + KEPT % '1.0.0'), 'the package file of the version before, kept'


def test_a_change_that_passes_is_committed(host):
    result = change.change(request())
    assert not result['failed'], result['msg']
    assert result['done'] == ['wrote /etc/apt/preferences.d/yrnagent', 'installed yrnagentrun 1.0.1 in place of 1.0.0',
                              'enabled yrnagent', 'restarted the agent (the agent ran another command line): it passes '
                              'the health gate', "set the agent's command line in /etc/default/yrnagent"]
    assert_runs(host, '/opt/agent --new')
    files = host.files()
    assert files[decide.PIN_FILE] == system.owned_file(decide.pin_text('1.0.1'))
    assert files[decide.DEFAULT_FILE]['mode'] == 0o600
    assert decide.environment(files[decide.DEFAULT_FILE]['content']) == {'YRNAGENT_COMMAND': '/opt/agent --new',
                                                                         'OTHER': '1'}
    assert (host.package['version'], host.service['enabled']) == ('1.0.1', 'enabled')
    assert os.listdir(host.root + system.ARCHIVES) == [os.path.basename(KEPT % '1.0.1')]
    kept = system.last_change()
    assert (kept['outcome'], kept['version'], kept['line_sha256']) == ('applied', '1.0.1',
                                                                       decide.digest('/opt/agent --new'))
    assert b'--new' not in system.read_file(system.LAST_CHANGE)['content']
    assert change.Record.load() is None
    assert os.path.islink(host.root + change.RECOVERY_WANTS)


def test_the_power_cuts_below_try_each_command_that_changes_the_host(host):
    host.service['enabled'] = 'enabled'
    assert not change.change(request())['failed']
    assert host.changing == CUT_POINTS


@pytest.mark.parametrize('cut_at', range(1, CUT_POINTS + 1))
def test_a_power_cut_anywhere_leaves_the_host_as_before_or_as_committed_once_booted(host, cut_at):
    host.service['enabled'] = 'enabled'
    files = host.files()
    host.cut_at = cut_at
    with pytest.raises(PowerCut):
        change.change(request())
    recorded = change.Record.load()
    committed = recorded is None and host.package['version'] == '1.0.1'
    host.boot()
    assert change.boot_recovery() == 0
    host.start_at_boot()
    assert change.Record.load() is None
    if committed:
        assert host.files()[decide.PIN_FILE]['content'] == decide.pin_text('1.0.1')
        assert_runs(host, '/opt/agent --new')
        return
    assert host.files() == files
    assert (host.package, host.service['enabled']) == ({'status': 'installed', 'version': '1.0.0'}, 'enabled')
    assert_runs(host, LINE)
    if recorded:
        kept = system.last_change()
        assert kept['outcome'] == 'interrupted' and kept['message'].startswith('interrupted during '), kept
        assert kept['message'].split('\n')[0].endswith('put back at boot') or ', put back at boot: ' in kept['message']


@pytest.mark.parametrize('cut_at', range(1, CUT_POINTS + 1, 3))
def test_the_next_run_puts_back_a_change_cut_short_then_changes(host, cut_at):
    host.cut_at = cut_at
    with pytest.raises(PowerCut):
        change.change(request())
    recorded = change.Record.load() is not None
    result = change.change(request())
    assert not result['failed'], result['msg']
    assert_runs(host, '/opt/agent --new')
    assert host.package['version'] == '1.0.1'
    assert [note for note in result['notes'] if note.startswith('interrupted during ')] == (
        [result['notes'][0]] if recorded else [])


def test_sigterm_puts_the_files_back_at_once_and_leaves_the_rest_to_the_boot(host):
    files = host.files()
    host.interrupt_on = 'systemctl start yrnagent'
    result = change.change(request(command='/opt/agent --new dies'))
    assert result['failed'] and result['msg'].startswith('interrupted during restarting the agent'), result['msg']
    assert 'put back at once: put back /etc/apt/preferences.d/yrnagent' in result['msg']
    assert host.files()[decide.PIN_FILE] == files[decide.PIN_FILE]
    assert change.Record.load().data['interrupted'].startswith('restarting the agent')
    host.boot()
    assert change.boot_recovery() == 0
    host.start_at_boot()
    assert host.files() == files and host.package['version'] == '1.0.0'
    assert system.last_change()['message'].startswith('interrupted during restarting the agent')


@pytest.mark.parametrize('starts_failing, said', [
    (1, 'started the agent again with its previous command line: it passes the health gate'),
    (2, 'it fails the health gate too, and no agent runs'),
])
def test_a_restart_alone_that_fails_starts_the_previous_agent_again(host, starts_failing, said):
    host.write(decide.PIN_FILE, decide.pin_text('1.0.0'), uid=0)
    host.service['enabled'] = 'enabled'
    host.install('1.0.0')  # a launcher that an upgrade replaced under the running agent
    host.fail('systemctl start yrnagent', 'Job for yrnagent.service failed', starts_failing)
    result = change.change(request(command=LINE, version='1.0.0', restart_on_upgrade=True, canary=False))
    assert result['failed'] and said in result['msg'], result['msg']
    assert result['msg'].startswith('restarting the agent (the agent ran a launcher that an upgrade replaced) failed')
    assert system.last_change()['outcome'] == 'rolled back'
    if starts_failing == 1:
        assert_runs(host, LINE)


def test_an_agent_that_ran_another_line_than_its_file_gets_its_own_back(host):
    host.write(decide.DEFAULT_FILE, b'# settings\n' + decide.line_file('/opt/agent --later') + b'OTHER=1\n', 0o600)
    files = host.files()
    result = change.change(request(command='/opt/agent --new dies'))
    assert 'started the agent again with its previous command line: it passes the health gate' in result['msg']
    expect_as_before(host, files, 'rolled back')


def test_a_removal_that_fails_is_rolled_back(host, monkeypatch):
    files = host.files()
    fail_write_once(monkeypatch, decide.KEY_FILE)
    result = change.change(request(state='absent', command=''))
    assert result['failed'] and result['msg'].startswith('removing /etc/apt/keyrings/yrnagent.asc failed'), result['msg']
    assert 'put back yrnagentrun 1.0.0 from %s' % (KEPT % '1.0.0') in result['msg']
    expect_as_before(host, files, 'rolled back')


def test_a_removal_leaves_nothing_of_the_module(host):
    result = change.change(request(state='absent', command=''))
    assert not result['failed'], result['msg']
    assert host.package['status'] == 'not-installed' and host.service['active'] == 'inactive'
    for path in (system.STATE_DIR, system.CACHE_DIR, change.RECOVERY_UNIT_FILE, decide.KEY_FILE, decide.PIN_FILE):
        assert not os.path.exists(host.root + path), path


@pytest.mark.parametrize('line, broke', [
    ('/opt/agent ok', None),
    ('/opt/agent dies', 'health gate: the service is inactive, not active'),
    ('/opt/agent flaps', 'health gate: the launcher was started again'),
    ('/opt/agent badpid', 'health gate: /etc/yrnagent.pid holds "'),
    ('/opt/agent orphan', 'health gate: no agent shell runs under the launcher'),
])
def test_the_health_gate(host, line, broke):
    host.write(decide.DEFAULT_FILE, decide.line_file(line))
    said = system.start_through_gate(line, 3, '')
    assert (said or '').startswith(broke or ''), said
    assert (said is None) == (broke is None)
    if broke:
        assert said.endswith('journalctl -u yrnagent since this start:\n  agent: giving up')


def test_the_gate_counts_systemds_restarts(host, monkeypatch):
    host.write(decide.DEFAULT_FILE, decide.line_file('/opt/agent steady'))
    showing = host.answer_systemctl

    def restarting(verb, argv, cwd):
        answer = showing(verb, argv, cwd)
        if verb.startswith('show') and host.service['shows'] == 2:
            host.service['restarts'] += 1  # systemd restarted it, and gave it the same process id
        return answer
    monkeypatch.setattr(host, 'answer_systemctl', restarting)
    assert system.start_through_gate('/opt/agent steady', 3, '').startswith(
        'health gate: systemd restarted the launcher (0 restarts before, 1 now)')


@pytest.mark.parametrize('given, health, broke', [
    ('/opt/agent other', '', 'health gate: the launcher (process 110) was not given the command line asked for'),
    ('/opt/agent steady', 'exit 3', 'health gate: the health command exited with status 3'),
    ('/opt/agent steady', 'true', None),
])
def test_the_gate_holds_the_launcher_to_its_line_and_the_health_command(host, given, health, broke):
    host.write(decide.DEFAULT_FILE, decide.line_file(given))
    said = system.start_through_gate('/opt/agent steady', 1, health)
    assert (said or '').startswith(broke or '') and (said is None) == (broke is None), said


@pytest.mark.parametrize('cmdline, line', [
    (b'/usr/sbin/YRNAgentRun\0/opt/agent a\0', '/opt/agent a'),
    (b'/usr/sbin/YRNAgentRun\0/opt/agent a\0ignored\0', '/opt/agent a'),
    (b'/usr/sbin/YRNAgentRun\0', None),
    (b'/usr/sbin/YRNAgentRun\0\0', ''),
    (b'/usr/libexec/qemu-binfmt/aarch64-binfmt-P\0/usr/sbin/YRNAgentRun\0/usr/sbin/YRNAgentRun\0/opt/agent a\0',
     '/opt/agent a'),
    (b'/usr/bin/qemu-aarch64-static\0/usr/sbin/YRNAgentRun\0/opt/agent a\0', '/opt/agent a'),
])
def test_the_running_line_is_the_launchers_first_argument(host, cmdline, line):
    os.makedirs(host.root + '/proc/4242')
    with open(host.root + '/proc/4242/cmdline', 'wb') as stream:
        stream.write(cmdline)
    assert system.running_line(4242) == line


def test_a_kept_package_file_is_dropped_only_once_another_version_is_committed(host):
    host.fail('dpkg --install', 'dpkg: error')
    change.change(request(command='/opt/agent dies'))
    assert system.package_file('1.0.0'), 'kept after a rollback that could not reinstall it'
    assert json.loads(system.read_file(system.LAST_CHANGE)['content'].decode())['outcome'] == 'failed'


def test_the_change_takes_its_request_and_the_tasks_environment_and_leaves_its_result_alone(host, tmp_path, monkeypatch):
    folder = tmp_path / 'run' / 'change-test'
    folder.mkdir(parents=True)
    (folder / 'request.json').write_text(json.dumps(dict(request(), environment={'http_proxy': 'http://proxy:3128'})))
    monkeypatch.setenv('http_proxy', '')
    monkeypatch.setattr(change.Signals, 'closed', False)
    proxies = []
    installing = host.answer_apt_get
    monkeypatch.setattr(host, 'answer_apt_get', lambda verb, argv, cwd: proxies.append(os.environ['http_proxy']) or
                        installing(verb, argv, cwd))
    handlers = [change.signal.getsignal(number) for number in (change.signal.SIGTERM, change.signal.SIGINT)]
    try:
        assert change.run_change(str(folder)) == 0
    finally:
        for number, handler in zip((change.signal.SIGTERM, change.signal.SIGINT), handlers):
            change.signal.signal(number, handler)
    assert set(proxies) == {'http://proxy:3128'}
    assert sorted(os.listdir(str(folder))) == ['result.json']
    assert os.stat(str(folder / 'result.json')).st_mode & 0o777 == 0o600
    assert not json.loads((folder / 'result.json').read_text())['failed']
