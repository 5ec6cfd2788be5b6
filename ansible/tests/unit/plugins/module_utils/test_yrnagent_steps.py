# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""The plan: which steps take a host found one way to the state wanted, in what order; changing nothing."""

from __future__ import absolute_import, division, print_function

import pytest
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_decide as decide
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_steps as steps
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_system as system
from ansible_collections.yrnagentrun.agent.plugins.module_utils.yrnagent_decide import HostError

__metaclass__ = type

LINE = '/opt/agent "front office" \'single "double"\' "it\'s" \'$HOME stays\' 100% \'C:\\agent\' \\$'
KEY = '-----BEGIN PGP PUBLIC KEY BLOCK-----\nkey\n-----END PGP PUBLIC KEY BLOCK-----'
URL = 'http://apt.example.net'


def wanted(**changes):
    base = dict(state='present', command=LINE, repository_url=URL, repository_key=KEY, version='',
                settle_seconds=1, health_command='', restart_on_upgrade=False, canary=False)
    base.update(changes)
    return base


def found(version='1.0.0', active='active', line=LINE, stale=False, enabled='enabled', file_line=LINE, pin=None,
          folders=True, file_content=None):
    files = dict((path, system.owned_file(None)) for path in decide.MANAGED_FILES)
    files[decide.KEY_FILE] = system.owned_file(KEY.encode())
    files[decide.SOURCES_FILE] = system.owned_file(decide.sources_text(URL, 'bookworm'))
    if pin:
        files[decide.PIN_FILE] = system.owned_file(decide.pin_text(pin))
    if file_content is None and file_line is not None:
        file_content = decide.with_command(b'# settings\n', file_line)
    if file_content is not None:
        files[decide.DEFAULT_FILE] = dict(system.owned_file(file_content), mode=0o600)
    return dict(release='bookworm', files=files, folders=folders, comment_continues=False,
                file_line=decide.environment_value(file_content or b''),
                package=dict(status='installed' if version else 'not-installed', version=version),
                service=dict(active=active, enabled=enabled, line=line if active == 'active' else None, stale=stale))


def names(decided):
    return [step.name for step in decided['steps']]


@pytest.mark.parametrize('case, want, have, planned, restart', [
    ('converged', wanted(), found(), [], None),
    ('fresh host', wanted(), found(version='', active='inactive', file_line=None, enabled=''),
     ['install', 'enable', 'restart', 'line'], 'the agent was not running'),
    ('file holds the line, the agent runs another', wanted(), found(line='old'), ['restart'],
     'the agent ran another command line'),
    ('the agent runs the line, the file quotes it otherwise', wanted(command='a b'),
     found(line='a b', file_content=b"YRNAGENT_COMMAND=a\\ b\n"), [], None),
    ('the agent runs the line, the file holds another', wanted(command='a b'), found(line='a b'), ['line'], None),
    ('a note with a quote above the line', wanted(command='agent'),
     found(line='agent', file_content=b"SITE_NOTE=Bob's site\nYRNAGENT_COMMAND=agent\n"), [], None),
    ('agent stopped by hand', wanted(), found(active='inactive'), ['restart'], 'the agent was not running'),
    ('new line', wanted(command='new'), found(), ['restart', 'line'], 'the agent ran another command line'),
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
def test_plan(case, want, have, planned, restart):
    decided = steps.plan(want, have, ['1.0.0', '1.0.1'])
    assert (names(decided), decided['restart']) == (planned, restart), case


def test_a_full_change_tries_the_line_before_writing_it():
    decided = steps.plan(wanted(version='1.0.1', command='new', repository_key='other', canary=True),
                         found(pin='1.0.0', enabled='disabled'), ['1.0.0', '1.0.1'])
    assert [(step.name, getattr(step, 'path', None)) for step in decided['steps']] == [
        ('file', decide.KEY_FILE), ('file', decide.PIN_FILE), ('install', None), ('enable', None),
        ('restart', None), ('line', None)]
    assert decided['steps'][1].state['content'] == decide.pin_text('1.0.1')


def test_latest_upgrades_and_names_the_stale_launcher():
    decided = steps.plan(wanted(version='latest'), found(), ['1.0.0', '1.0.1'])
    assert (names(decided), decided['version'], decided['stale']) == (['install', 'enable'], '1.0.1', True)


def test_a_version_not_published_is_refused_before_any_change():
    with pytest.raises(HostError, match='yrnagentrun 2.0 is not published in http://apt.example.net'):
        steps.plan(wanted(version='2.0'), found(), ['1.0.0'])


def test_absent_stops_purges_removes_then_forgets():
    decided = steps.plan(wanted(state='absent'), found(pin='1.0.0'), [])
    assert [(step.name, getattr(step, 'path', None)) for step in decided['steps']] == [
        ('stop', None), ('purge', None), ('file', decide.SOURCES_FILE), ('file', decide.KEY_FILE),
        ('file', decide.PIN_FILE)]
    assert decided['forget']
    clean = steps.plan(wanted(state='absent'), found(version='', active='inactive', folders=False, pin=None), [])
    assert names(clean) == ['file', 'file'] and clean['forget']
    gone = dict(found(version='', active='inactive', folders=False), files=dict(
        (path, system.owned_file(None)) for path in decide.MANAGED_FILES))
    nothing = {'steps': [], 'version': '', 'restart': None, 'stale': False, 'forget': False}
    assert steps.plan(wanted(state='absent'), gone, []) == nothing


@pytest.mark.parametrize('step', [
    steps.WriteFile(decide.PIN_FILE, system.owned_file(b'Pin: version 1\n')), steps.Install('1.0.1'), steps.Purge(),
    steps.Enable(), steps.Restart('the agent was not running'), steps.Stop(), steps.Line(),
])
def test_a_step_comes_back_from_the_record_as_it_was(step):
    again = steps.from_record(step.record())
    assert (type(again), again.describe()) == (type(step), step.describe())
