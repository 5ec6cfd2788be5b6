# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""The steps of a change, each with what it does and how it is undone, and the plan that chooses them.

A step is applied in the order the plan gives. A rollback undoes the steps
taken in phases: the package first, so that the agent starts again under
its previous launcher; then the files, byte for byte with their modes and
owners; then the service's enablement; then the agent, started again with
the line it ran before. Each undo changes only what differs from the state
before the change, so a rollback can be taken again after a crash.

The plan only reads what the host was found to hold: it changes nothing.
"""

from __future__ import absolute_import, division, print_function

from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_decide as decide
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_system as system
from ansible_collections.yrnagentrun.agent.plugins.module_utils.yrnagent_decide import HostError

__metaclass__ = type

# When a step's undo comes in a rollback.
PACKAGE, FILES, AGENT = 0, 1, 2


class Step:
    """One step of a change. `change` is the change it belongs to: what is wanted, what the host held before,
    and how apt and dpkg are reached (yrnagent_change.Change)."""

    name = ''
    phase = FILES
    touches_package = False

    def describe(self):
        """What the step does, in a few words."""
        raise NotImplementedError

    def apply(self, change):
        """Takes the step; returns what it did, or None when nothing needed doing; raises on failure."""
        raise NotImplementedError

    def undo(self, change):
        """Puts back what the step changed, where the host differs from before; returns what it put back, or
        None; raises HostError when it cannot."""
        return None

    def record(self):
        """The step as the change's record keeps it."""
        return {'step': self.name}


class WriteFile(Step):
    """Makes one of the managed files hold a state, or removes it."""

    name = 'file'

    def __init__(self, path, state):
        self.path, self.state = path, state

    def describe(self):
        return ('removing %s' if self.state['content'] is None else 'writing %s') % self.path

    def apply(self, change):
        system.write_file(self.path, self.state)
        return ('removed %s' if self.state['content'] is None else 'wrote %s') % self.path

    def undo(self, change):
        return put_back(self.path, change)

    def record(self):
        return {'step': self.name, 'path': self.path, 'state': system.encode_file(self.state)}

    def __eq__(self, other):
        return isinstance(other, WriteFile) and (self.path, self.state) == (other.path, other.state)


def put_back(path, change):
    """Puts back managed file path as it was before the change, where it differs; says so, or None."""
    before = change.before['files'][path]
    if system.same_file(system.read_file(path), before):
        return None
    system.write_file(path, before)
    return ('removed %s' if before['content'] is None else 'put back %s') % path


class Install(Step):
    """Installs a version of the package, up or down, keeping the package file of the one it replaces."""

    name = 'install'
    phase = PACKAGE
    touches_package = True

    def __init__(self, version):
        self.version = version

    def describe(self):
        return 'installing %s %s' % (decide.PACKAGE, self.version)

    def apply(self, change):
        previous = change.before['package']['version']
        if previous:
            change.note(system.keep_package_file(previous, change.lists))
        system.apt_get(['install', '--no-install-recommends', '--allow-downgrades',
                        '%s=%s' % (decide.PACKAGE, self.version)], change.lists, change.wait)
        system.reload_if_changed(not previous)
        return 'installed %s %s%s' % (decide.PACKAGE, self.version, ' in place of ' + previous if previous else '')

    def undo(self, change):
        return restore_package(change)

    def record(self):
        return {'step': self.name, 'version': self.version}


def restore_package(change):
    """Puts the package back as it was before the change; at boot, from the file kept alone."""
    did = system.restore_package(change.before['package'], change.lists, change.wait, repository=not change.boot)
    if did:
        system.reload_if_changed(change.before['package']['status'] != 'installed')
    return did


class Purge(Step):
    """Purges the package, keeping the package file of the version installed."""

    name = 'purge'
    phase = PACKAGE
    touches_package = True

    def describe(self):
        return 'purging %s' % decide.PACKAGE

    def apply(self, change):
        installed = change.before['package']['version']
        if installed:
            change.note(system.keep_package_file(installed, change.lists))
        system.purge(change.wait)
        system.daemon_reload()
        return 'purged %s' % decide.PACKAGE

    def undo(self, change):
        return restore_package(change)


class Enable(Step):
    """Enables the service where it is not; a rollback puts the enablement back in a phase of its own."""

    name = 'enable'

    def describe(self):
        return 'enabling %s' % decide.UNIT

    def apply(self, change):
        return system.set_enabled('enabled')


class Restart(Step):
    """Restarts the agent with the wanted line, through the health gate; the line is tried through a runtime
    drop-in, and written to the agent's file only afterwards (Line)."""

    name = 'restart'
    phase = AGENT

    def __init__(self, reason):
        self.reason = reason

    def describe(self):
        return 'restarting the agent (%s)' % self.reason

    def apply(self, change):
        command = change.wanted['command']
        if change.before['file_line'] != command:
            system.try_line(command)
        broke = system.start_through_gate(command, change.wanted['settle_seconds'], change.wanted['health_command'])
        if broke:
            raise HostError(broke)
        return 'restarted the agent (%s): it passes the health gate' % self.reason

    def undo(self, change):
        return start_previous_agent(change)

    def record(self):
        return {'step': self.name, 'reason': self.reason}


class Stop(Step):
    """Stops the agent, through its control script, before the package is purged."""

    name = 'stop'
    phase = AGENT

    def describe(self):
        return 'stopping the agent'

    def apply(self, change):
        return system.stop_service()

    def undo(self, change):
        return start_previous_agent(change)


def start_previous_agent(change):
    """Has the agent run as before the change: started again with the line it ran, through the health gate, or
    stopped where none ran. At boot the service starts it by itself. Says what it did, and whether an agent
    runs."""
    system.drop_trial()
    before = change.before
    service = before['service']
    if before['package']['status'] != 'installed' or service['active'] != 'active' or service['line'] is None:
        return None if change.boot or not system.stop_service() else 'stopped the agent, which was not running before'
    if change.boot:
        return None
    line = service['line']
    if before['file_line'] != line:
        # The file held another line than the agent ran: the agent gets its own for this start alone.
        system.try_line(line)
    broke = system.start_through_gate(line, change.wanted['settle_seconds'], change.wanted['health_command'])
    system.drop_trial()
    if broke:
        return ('started the agent again with its previous command line: it fails the health gate too, and %s\n%s'
                % ('an agent runs' if system.agent_runs() else 'no agent runs', broke))
    return 'started the agent again with its previous command line: it passes the health gate'


class Line(Step):
    """Writes the wanted line to the agent's file, keeping the rest of it, its mode and owner; then drops the
    drop-in that tried it."""

    name = 'line'

    def describe(self):
        return "setting the agent's command line in %s" % decide.DEFAULT_FILE

    def apply(self, change):
        now = system.read_file(decide.DEFAULT_FILE)
        content = decide.with_command(now['content'], change.wanted['command'], change.before['comment_continues'])
        system.write_file(decide.DEFAULT_FILE, dict(now, content=content) if now['content'] is not None
                          else system.owned_file(content))
        system.drop_trial()
        return "set the agent's command line in %s" % decide.DEFAULT_FILE

    def undo(self, change):
        return put_back(decide.DEFAULT_FILE, change)


STEPS = dict((kind.name, kind) for kind in (WriteFile, Install, Purge, Enable, Restart, Stop, Line))


def from_record(recorded):
    """The step that a change's record kept."""
    arguments = dict((name, value) for name, value in recorded.items() if name != 'step')
    if 'state' in arguments:
        arguments['state'] = system.decode_file(arguments['state'])
    return STEPS[recorded['step']](**arguments)


def plan(wanted, found, published):
    """The steps from `found` to `wanted`, in the order they are taken, and what the host is left with.

    Returns {'steps': [Step...], 'version': the version to be installed,
    'restart': why the agent is restarted or None, 'stale': whether the
    agent is left running a launcher that an upgrade replaced, 'forget':
    whether the module's own files are removed once the change is
    committed, which alone makes a host pending where nothing else is}. Raises HostError when the wanted state cannot be reached.
    """
    files, package, service = found['files'], found['package'], found['service']
    steps = []
    if wanted['state'] == 'absent':
        if package['status'] == 'installed' and service['active'] in ('active', 'activating', 'reloading'):
            steps.append(Stop())
        if package['status'] != 'not-installed':
            steps.append(Purge())
        for path in (decide.SOURCES_FILE, decide.KEY_FILE, decide.PIN_FILE):
            if files[path]['content'] is not None:
                steps.append(WriteFile(path, system.owned_file(None)))
        # The module's own files go last, once the rest is gone: whatever the change itself left there too.
        return {'steps': steps, 'version': '', 'restart': None, 'stale': False,
                'forget': bool(steps) or found['folders']}

    version = decide.target_version(wanted['version'], package['version'], published)
    if version is None:
        where = wanted['repository_url'] or "the host's package lists"
        raise HostError('%s%s is not published in %s' % (
            decide.PACKAGE, ' ' + wanted['version'] if wanted['version'] else '', where))
    desired = {}
    if wanted['repository_url']:
        desired[decide.KEY_FILE] = system.owned_file(wanted['repository_key'].encode('utf-8'))
        desired[decide.SOURCES_FILE] = system.owned_file(decide.sources_text(wanted['repository_url'],
                                                                             found['release']))
    pinned = wanted['version'] not in ('', 'latest')
    desired[decide.PIN_FILE] = system.owned_file(decide.pin_text(wanted['version']) if pinned else None)
    for path in (decide.KEY_FILE, decide.SOURCES_FILE, decide.PIN_FILE):
        if path in desired and not system.same_file(files[path], desired[path]):
            steps.append(WriteFile(path, desired[path]))
    upgrading = version != package['version']
    if upgrading:
        steps.append(Install(version))
    if upgrading or service['enabled'] != 'enabled':
        steps.append(Enable())
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
        steps.append(Restart(restart))
    if found['file_line'] != wanted['command']:
        # Refused here, before any change, where the file cannot be made to give the line.
        decide.with_command(files[decide.DEFAULT_FILE]['content'], wanted['command'], found['comment_continues'])
        steps.append(Line())
    stale = restart is None and service['active'] == 'active' and (service['stale'] or upgrading)
    return {'steps': steps, 'version': version, 'restart': restart, 'stale': stale, 'forget': False}
