# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""A change of the host as one transaction that survives the controller and the host itself.

One lifecycle, under the host's lock: the host is assessed; what it holds
is recorded on disk before the first step and as each step begins; the
steps are taken; then the change is committed, or rolled back whatever
went wrong; the record is cleared, and a small record of the outcome, with
no command line in it, is kept (last_change).

A record left behind means a change was cut short: by a power cut, a
shutdown, or a kill. The oneshot unit yrnagent-recover.service, installed
with this code on the host, puts the host back to the record's state at
boot, before the agent starts; a run that finds one does the same first.
SIGTERM, as a shutdown sends it, puts the files back at once, unless dpkg
is at work, and leaves the rest to the boot.

The module yrnagent runs this code on the host (main, in a transient unit),
and reads the host with it in check mode (assess).
"""

from __future__ import absolute_import, division, print_function

import json
import os
import signal
import sys
import threading
import time

from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_decide as decide
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_steps as steps
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_system as system
from ansible_collections.yrnagentrun.agent.plugins.module_utils.yrnagent_decide import HostError

__metaclass__ = type

# This code, kept on the host for the boot's recovery, and its unit.
PROGRAM_DIR = system.STATE_DIR + '/program'
MODULES_DIR = PROGRAM_DIR + '/ansible_collections/yrnagentrun/agent/plugins/module_utils'
MODULES = ('yrnagent_decide', 'yrnagent_system', 'yrnagent_steps', 'yrnagent_change')
ENTRY = PROGRAM_DIR + '/yrnagent-change'
ENTRY_TEXT = '''# The entry to a change of the yrnagent service, and to its recovery at boot.
import sys
sys.path.insert(0, %r)
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_change
sys.exit(yrnagent_change.main(sys.argv[1:]))
''' % PROGRAM_DIR
RECOVERY_UNIT = 'yrnagent-recover.service'
RECOVERY_UNIT_FILE = '/etc/systemd/system/' + RECOVERY_UNIT
RECOVERY_WANTS = '/etc/systemd/system/multi-user.target.wants/' + RECOVERY_UNIT
RECOVERY_UNIT_TEXT = '''# Written by a change of the yrnagent service: puts back at boot, before the
# agent starts, a change that a power cut or a shutdown cut short. It runs
# only when such a change left its record.
[Unit]
Description=Puts back a change of the yrnagent service that was cut short
ConditionPathExists=%s
After=local-fs.target
Before=%s.service

[Service]
Type=oneshot
ExecStart=/usr/bin/python3 -I -S %s recover

[Install]
WantedBy=multi-user.target
''' % (system.RECORD, decide.UNIT, ENTRY)


class Interrupted(BaseException):
    """SIGTERM or SIGINT reached the change: the host shuts down, or someone stops the change."""


class Signals:
    """Turns SIGTERM and SIGINT into Interrupted until the change closes: from then on it runs to its end."""

    closed = False

    @classmethod
    def catch(cls):
        """Installs the handler."""
        for number in (signal.SIGTERM, signal.SIGINT):
            signal.signal(number, cls.received)

    @classmethod
    def received(cls, number, frame):
        """The handler: raises Interrupted, unless the change is closed."""
        del frame
        if not cls.closed:
            raise Interrupted(number)

    @classmethod
    def close(cls):
        """From now on a signal changes nothing: the change is committed, or handing its record to the boot."""
        cls.closed = True


def now():
    """The time, in ISO 8601, UTC."""
    return time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())


def encode_found(found):
    """The host's state as read_host found it, as JSON can carry it."""
    return dict(found, files=dict((path, system.encode_file(state)) for path, state in found['files'].items()))


def decode_found(encoded):
    """The host's state from what encode_found made of it."""
    return dict(encoded, files=dict((path, system.decode_file(state)) for path, state in encoded['files'].items()))


def keep_outcome(outcome, started, version, command, message):
    """Keeps the outcome of a change, with no command line in it, its digest alone, nor the agent's journal,
    where the agent may have printed its line."""
    said = [line for line in message.split('\n') if not line.startswith(('  ', 'journalctl -u '))]
    system.save_json(system.LAST_CHANGE, {
        'outcome': outcome, 'started': started, 'ended': now(), 'version': version or None,
        'line_sha256': decide.digest(command) if command else None, 'message': '\n'.join(said)})


class Record:
    """What the host held before a change, and the steps it began, kept on disk until the change is committed or
    undone; root's alone, as it holds the agent's line."""

    def __init__(self, data):
        self.data = data

    @classmethod
    def begin(cls, wanted, found, version):
        """A new record of the change of a host found so, towards wanted, with version."""
        return cls({'started': now(), 'before': encode_found(found), 'steps': [], 'version': version,
                    'wanted': dict((name, wanted[name]) for name in (
                        'state', 'command', 'settle_seconds', 'health_command', 'repository_url', 'repository_key'))})

    @classmethod
    def load(cls):
        """The record on disk, or None."""
        data = system.load_json(system.RECORD)
        return cls(data) if data else None

    def save(self):
        """Writes the record, durably."""
        system.save_json(system.RECORD, self.data)

    def begin_step(self, step):
        """Records that step is about to be taken, durably."""
        self.data['steps'].append(step.record())
        self.save()

    @staticmethod
    def clear():
        """Removes the record, durably: the change is committed or undone."""
        system.write_file(system.RECORD, system.owned_file(None))

    def before(self):
        """The host's state before the change."""
        return decode_found(self.data['before'])

    def steps(self):
        """The steps the change began, in order."""
        return [steps.from_record(step) for step in self.data['steps']]


class Change:
    """A change's context, which its steps read: what is wanted, what the host held before, apt's lists and how
    long dpkg's lock is waited for; and what the change did, put back, and could not put back."""

    def __init__(self, wanted, before, lists, wait, boot=False):
        self.wanted, self.before, self.lists, self.wait, self.boot = wanted, before, lists, wait, boot
        self.attempted, self.done, self.notes, self.rolled_back, self.failures = [], [], [], [], []

    def note(self, words):
        """Keeps a note for the controller, where there is one."""
        if words:
            self.notes.append(words)

    def carry_out(self, planned, record):
        """Takes each step in turn, recording it first; raises at the first that fails."""
        for step in planned:
            self.attempted.append(step)
            record.begin_step(step)
            self.note_done(step.apply(self))

    def note_done(self, did):
        """Keeps what a step did."""
        if did:
            self.done.append(did)

    def roll_back(self, phases=(steps.PACKAGE, steps.FILES, steps.AGENT)):
        """Undoes the steps attempted, in the phases given: each whatever became of the one before. Between the
        files and the agent, the service's enablement is put back, where a step may have changed it."""
        if steps.PACKAGE in phases and any(step.touches_package for step in self.attempted):
            self.undo(system.repair_dpkg, self.wait)
        for phase in phases:
            if phase == steps.AGENT and any(step.touches_package or isinstance(step, steps.Enable)
                                            for step in self.attempted):
                self.undo(self.put_back_enablement)
            for step in reversed(self.attempted):
                if step.phase == phase:
                    self.undo(step.undo, self)

    def undo(self, action, *arguments):
        """Takes one action of a rollback, keeping what it put back, or why it could not."""
        try:
            did = action(*arguments)
        except Exception as error:  # pylint: disable=broad-except
            self.failures.append(failure_words(error))
        else:
            if did:
                self.rolled_back.append(did)

    def put_back_enablement(self):
        """Enables or disables the service again, as it was, where the package is back."""
        enabled = self.before['service']['enabled']
        if enabled in ('enabled', 'disabled') and system.package_state()['status'] == 'installed':
            did = system.set_enabled(enabled)
            return '%s again' % did if did else None
        return None


def failure_words(error):
    """What went wrong, in the words of the tool that failed, or of Python where it was no tool."""
    if isinstance(error, HostError):
        return str(error)
    return '%s: %s' % (type(error).__name__, error)


def in_background(function, *arguments):
    """Starts function in a thread of its own; returns what waits for it and gives its result, or raises what it
    raised."""
    outcome = {}

    def call():
        try:
            outcome['value'] = function(*arguments)
        except BaseException as error:  # pylint: disable=broad-except
            outcome['error'] = error
    thread = threading.Thread(target=call)
    thread.start()

    def result():
        thread.join()
        if 'error' in outcome:
            raise outcome['error']
        return outcome.get('value')
    return result


def assess(wanted, lists, wait):
    """Reads the host and the repository, checks the wanted state, and plans the change; raises HostError.

    The repository is read, with apt's full signature check, where the
    version to install depends on what it publishes: with none installed,
    another asked for, or the latest. The host is read meanwhile.
    Returns the host found and the plan (yrnagent_steps.plan).
    """
    present = wanted['state'] == 'present'
    package = system.package_state()
    reading = in_background(system.read_host, package)
    parsing = in_background(system.parses, wanted['command']) if present else None
    published = []
    if present and (not package['version'] or wanted['version'] not in ('', package['version'])):
        published = system.read_repository(lists, system.release(), wait)
    found = reading()
    refused = parsing() if parsing else None
    if refused:
        raise HostError("the command line does not parse in the host's /bin/sh: " + refused)
    return found, steps.plan(wanted, found, published)


def diffs(before, after, restart, version, previous, check, secret):
    """Ansible's diffs of a change: each managed file that differs, then the version and the restart.

    With secret, the agent's file is not shown: only that its line changes.
    """
    shown = []
    for path in decide.MANAGED_FILES:
        if before[path]['content'] == after[path]['content']:
            continue
        if path == decide.DEFAULT_FILE and secret:
            shown.append(dict(prepared="the agent's command line in %s %s\n" % (
                path, 'would change' if check else 'changed')))
        else:
            shown.append(dict(before_header=path, after_header=path, before=shown_text(before[path]['content']),
                              after=shown_text(after[path]['content'])))
    if version and version != previous:
        shown.append(dict(prepared='%s %s %s %s\n' % (decide.PACKAGE, version, 'would replace' if check else 'replaced',
                                                      previous or 'nothing')))
    elif previous and not version:
        shown.append(dict(prepared='%s %s %s\n' % (decide.PACKAGE, previous, 'would be purged' if check else
                                                   'was purged')))
    if restart:
        shown.append(dict(prepared='the agent %s through the health gate: %s\n' % (
            'would be restarted' if check else 'was restarted', restart)))
    return shown


def shown_text(content):
    """A file's content as a diff shows it: empty for no file."""
    return '' if content is None else content.decode('utf-8', 'replace')


def predicted_files(wanted, found, planned):
    """The managed files as the planned steps would leave them."""
    files = dict(found['files'])
    for step in planned:
        if isinstance(step, steps.WriteFile):
            files[step.path] = step.state
        elif isinstance(step, steps.Line):
            current = files[decide.DEFAULT_FILE]
            files[decide.DEFAULT_FILE] = dict(current, content=decide.with_command(
                current['content'], wanted['command'], found['comment_continues']))
    return files


def interruption(kept):
    """A warning for the controller where the host's last change was cut short, naming the host; or None."""
    if not kept or kept.get('outcome') != 'interrupted':
        return None
    return 'The last change of the agent on %s was interrupted: %s' % (os.uname()[1], kept.get('message', ''))


# Programs and units on the host.

def install_program(sources):
    """Keeps this code on the host, for the boot's recovery: sources maps each module's name to its text."""
    system.make_folder(MODULES_DIR)
    for name in MODULES:
        wanted = system.owned_file(sources[name].encode('utf-8'))
        if not system.same_file(system.read_file('%s/%s.py' % (MODULES_DIR, name)), wanted):
            system.write_file('%s/%s.py' % (MODULES_DIR, name), wanted)
    entry = system.owned_file(ENTRY_TEXT.encode('utf-8'))
    if not system.same_file(system.read_file(ENTRY), entry):
        system.write_file(ENTRY, entry)


def install_units():
    """Installs the service's drop-in that tries lines, and the unit that puts back at boot a change cut short,
    enabled, where they are not."""
    unit, drop_in = (system.owned_file(text.encode('utf-8')) for text in (RECOVERY_UNIT_TEXT, system.DROP_IN_TEXT))
    if system.same_file(system.read_file(RECOVERY_UNIT_FILE), unit) and \
            system.same_file(system.read_file(system.DROP_IN), drop_in) and \
            os.path.lexists(system.on_host(RECOVERY_WANTS)):
        return
    system.write_file(system.DROP_IN, drop_in)
    system.write_file(RECOVERY_UNIT_FILE, unit)
    system.checked(['systemctl', 'enable', RECOVERY_UNIT])  # which has systemd read the units again
    system.sync_folder(os.path.dirname(RECOVERY_WANTS))


def forget():
    """Removes the module's own files from the host: the recovery unit, this code, the lists and the package
    files kept."""
    if system.read_file(RECOVERY_UNIT_FILE)['content'] is not None:
        system.run(['systemctl', 'disable', RECOVERY_UNIT])
        system.write_file(RECOVERY_UNIT_FILE, system.owned_file(None))
        system.write_file(system.DROP_IN, system.owned_file(None))
        system.remove_empty_folder(os.path.dirname(system.DROP_IN))
        system.daemon_reload()
    for folder in (system.STATE_DIR, system.CACHE_DIR):
        system.remove_tree(folder)


# The transaction.

def change(request):
    """Carries out a request, {'wanted': ..., 'wait': seconds, 'secret': bool}, as one transaction under the
    host's lock, and returns what happened: {'changed', 'failed', 'msg', 'done', 'rolled_back', 'notes',
    'restart', 'stale', 'version', 'previous_version', 'diff', 'last_change'}."""
    wanted, wait = request['wanted'], request['wait']
    result = {'changed': False, 'failed': False, 'msg': '', 'done': [], 'rolled_back': [], 'notes': [],
              'restart': None, 'stale': False, 'version': '', 'previous_version': '', 'diff': [], 'last_change': None}
    try:
        descriptor = system.take_lock(True, wait)
    except HostError as error:
        return dict(result, failed=True, msg=str(error))
    try:
        return locked_change(wanted, wait, request.get('secret', False), result)
    finally:
        os.close(descriptor)


def locked_change(wanted, wait, secret, result):
    """The transaction, under the host's lock: returns result filled in."""
    record = Record.load()
    if record:
        result['notes'].append(recover(record, boot=False))
    result['last_change'] = system.last_change()
    started = now()
    lists = system.Lists(wanted['repository_url'], wanted['repository_key'], system.STATE_DIR + '/apt',
                         system.CACHE_DIR)
    try:
        found, decided = assess(wanted, lists, wait)
        install_units()
    except Exception as error:  # pylint: disable=broad-except
        message = '%s\nNothing was changed.' % failure_words(error)
        keep_outcome('failed', started, None, wanted['command'], message)
        return dict(result, failed=True, msg=message)
    result.update(restart=decided['restart'], stale=decided['stale'], version=decided['version'],
                  previous_version=found['package']['version'])
    record = Record.begin(wanted, found, decided['version'])
    transaction = Change(wanted, found, lists, wait)
    failure = None
    try:
        record.save()
        try:
            transaction.carry_out(decided['steps'], record)
        except Exception as error:  # pylint: disable=broad-except
            failure = error
            transaction.roll_back()
        Signals.close()
    except Interrupted:
        return interrupted(transaction, record, result)
    Record.clear()
    package = system.package_state()
    if failure is None and package['status'] == 'installed':
        system.drop_other_package_files(package['version'])
    result.update(done=transaction.done, rolled_back=transaction.rolled_back, notes=result['notes'] + transaction.notes,
                  changed=bool(transaction.done) or failure is not None and bool(transaction.attempted))
    if failure is None:
        keep_outcome('applied', started, decided['version'], wanted['command'], '\n'.join(transaction.done))
        if decided['forget'] and found['folders']:
            result.update(changed=True, done=result['done'] + ["removed the module's own files"])
        if decided['forget']:
            forget()
        after = system.read_host() if wanted['state'] == 'present' else None
        result['stale'] = bool(after) and after['service']['stale'] and after['service']['active'] == 'active'
    else:
        message = '%s failed: %s' % (transaction.attempted[-1].describe(), failure_words(failure))
        if transaction.rolled_back:
            message += '\nrolled back: ' + '\n'.join(transaction.rolled_back)
        else:
            message += '\nNothing to roll back: this run changed nothing that differs from before.'
        if transaction.failures:
            message += '\nThe rollback failed: ' + '\n'.join(transaction.failures)
        keep_outcome('failed' if transaction.failures else 'rolled back', started, decided['version'],
                     wanted['command'], message)
        result.update(failed=True, msg=message, stale=False, version=system.package_state()['version'])
    if result['changed']:
        after_files = dict((path, system.read_file(path)) for path in decide.MANAGED_FILES)
        result['diff'] = diffs(found['files'], after_files, decided['restart'] if transaction.done else None,
                               result['version'], result['previous_version'], False, secret)
    return result


def interrupted(transaction, record, result):
    """SIGTERM or SIGINT during the steps: puts the files back at once, unless dpkg is at work, and leaves the
    record, and the rest, to the boot's recovery or the next run."""
    Signals.close()
    if not transaction.attempted:
        Record.clear()
        return dict(result, failed=True, msg='interrupted before any change')
    in_flight = transaction.attempted[-1]
    if not in_flight.touches_package:
        transaction.roll_back(phases=(steps.FILES,))
    record.data['interrupted'] = in_flight.describe()
    record.save()
    message = 'interrupted during %s' % record.data['interrupted']
    if transaction.rolled_back:
        message += '\nput back at once: ' + '\n'.join(transaction.rolled_back)
    message += '\nThe rest is put back at the next boot, or by the next run.'
    return dict(result, failed=True, changed=True, msg=message, done=transaction.done,
                rolled_back=transaction.rolled_back)


def recover(record, boot):
    """Puts the host back to the state that a change cut short recorded, then clears the record; keeps the
    outcome, `interrupted`, and returns what it says."""
    wanted = dict(record.data['wanted'], restart_on_upgrade=False, canary=False, version='')
    before = record.before()
    lists = system.Lists(wanted['repository_url'], wanted['repository_key'], system.STATE_DIR + '/apt',
                         system.CACHE_DIR)
    lists.release = before['release']
    transaction = Change(wanted, before, lists, 60, boot)
    transaction.attempted = record.steps()
    transaction.roll_back()
    if boot and (before['package']['status'] != 'installed' or before['service']['enabled'] != 'enabled'):
        # The agent's unit is queued for this boot; it did not start at boot before the change.
        system.run(['systemctl', '--no-block', 'stop', decide.UNIT])
    in_flight = record.data.get('interrupted') or (transaction.attempted[-1].describe() if transaction.attempted
                                                   else 'its first step')
    message = 'interrupted during %s, put back %s' % (in_flight, 'at boot' if boot else 'by the next run')
    if transaction.rolled_back:
        message += ': ' + '; '.join(transaction.rolled_back)
    if transaction.failures:
        message += '\nThe rollback failed: ' + '\n'.join(transaction.failures)
    keep_outcome('interrupted', record.data['started'], record.data['version'], wanted['command'], message)
    Record.clear()
    return message


def boot_recovery():
    """Puts back, at boot, a change that a power cut or a shutdown cut short; returns the exit status."""
    descriptor = system.take_lock(True, 60)
    try:
        record = Record.load()
        if record is None:
            return 0
        message = recover(record, boot=True)
    finally:
        os.close(descriptor)
    sys.stdout.write(message + '\n')
    return 1 if 'The rollback failed' in message else 0


def run_change(folder):
    """Carries out the request in folder, writes the result beside it, and prints what it did for the journal.

    The request is removed once read: it may hold the agent's line. The
    environment of the module's task comes with it: a proxy, say.
    """
    path = os.path.join(folder, 'request.json')
    with open(path) as stream:
        request = json.load(stream)
    os.unlink(path)
    for name, value in request.get('environment', {}).items():
        if name not in ('INVOCATION_ID', 'JOURNAL_STREAM', 'NOTIFY_SOCKET', 'SYSTEMD_EXEC_PID'):
            os.environ[name] = value
    Signals.catch()
    try:
        result = change(request)
    except (Interrupted, Exception) as error:  # pylint: disable=broad-except
        # Before the first step, or after the last: what could be put back was, and a record left is the
        # boot's or the next run's to finish.
        result = {'failed': True, 'changed': False, 'done': [], 'rolled_back': [], 'notes': [], 'restart': None,
                  'stale': False, 'version': '', 'previous_version': '', 'diff': [], 'last_change': None,
                  'msg': 'interrupted before any change' if isinstance(error, Interrupted) else
                  'the change failed outside its steps: %s' % failure_words(error)}
    Signals.close()
    target = os.path.join(folder, 'result.json')
    descriptor = os.open(target + '.partial', os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(descriptor, 'w') as stream:
        json.dump(result, stream)
    os.rename(target + '.partial', target)
    sys.stdout.write((result['msg'] if result['failed'] else '\n'.join(result['done']) or 'nothing to change') + '\n')
    return 0


def main(arguments):
    """The entry on the host: `change FOLDER` or `recover`."""
    if arguments[:1] == ['change'] and len(arguments) == 2:
        return run_change(arguments[1])
    if arguments == ['recover']:
        return boot_recovery()
    sys.stderr.write('usage: yrnagent-change change FOLDER | recover\n')
    return 2
