#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""The yrnagent module: one call that reads a host, checks a wanted state, and carries out the change."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: yrnagent
short_description: Runs the background agent's launcher as the wanted state says, as one transaction
description:
  - Brings a Debian host to a wanted state of the C(yrnagentrun) package and its C(yrnagent) service,
    the agent's command line, the signed apt repository, its key and the pin.
  - It first reads the host and checks the wanted state, changing nothing, in one call. The host's
    C(/bin/sh) must parse the command line. Where the version to install depends on what the repository
    publishes (none is installed, another is asked for, or C(latest)), its lists are read with apt's full
    signature check into a folder of the module's own, and it must publish the version asked for.
  - The agent's running command line, the first argument its launcher was given, is compared with the
    wanted one, and C(/etc/default/yrnagent) is read exactly as the host's systemd reads it. An agent
    that runs another line, or none, is restarted; one that already runs the wanted line is not,
    however its file quotes it.
  - The change runs in a transient systemd unit under a host-wide lock, and runs to its end when the
    controller or its connection goes away. It records what the host held in C(/var/lib/yrnagent),
    durably, before its first step. It writes the apt files, installs the version, and starts the
    agent with the new line through a health gate, the line tried from C(/run/yrnagent/line), which a
    drop-in of the module's own names, and written to C(/etc/default/yrnagent) only once the gate has
    passed. When any step fails, it puts
    back everything it changed, the package from the file of the previous version that the host keeps
    in C(/var/cache/yrnagent), and reports what it put back and what it could not.
  - A change cut short by a power cut, a shutdown or a kill is put back at the next boot, before the
    agent starts, by the unit C(yrnagent-recover.service), which the module installs; or by the next
    run, first. The next run warns that it was interrupted, naming the host.
  - A run that finds another change in progress waits for it, up to I(wait_seconds), and then starts from
    the state it left. apt's and dpkg's locks are waited for in the same way.
version_added: 1.0.0
author:
  - YRNAgentRun maintainers (@yrnagentrun)
options:
  command:
    description:
      - The agent's whole shell command line, exactly as the launcher is to receive it.
      - Required when I(state=present). It may not hold a newline or a NUL byte, and the host's C(/bin/sh)
        must parse it.
      - Never written to the host's journal; with I(secret), shown nowhere.
    type: str
    default: ""
  state:
    description:
      - C(present) installs and runs the agent; C(absent) stops the agent through its control script,
        purges the package, and removes the repository entry, its key, the pin and the module's own
        files. A removal that fails is rolled back as a change is.
    type: str
    choices: [present, absent]
    default: present
  repository_url:
    description:
      - The signed apt repository. With it, the host gets a deb822 entry for its own release, trusting
        I(repository_key) alone. Without it, apt must already know the package, from the host's own lists
        as they are.
    type: str
    default: ""
  repository_key:
    description:
      - The repository's OpenPGP public key, ASCII-armoured. Set together with I(repository_url).
    type: str
    default: ""
  version:
    description:
      - Empty installs the newest version where none is installed, and never upgrades.
      - A version installs exactly that one, up or down, and pins it there for apt.
      - C(latest) installs the newest one.
    type: str
    default: ""
  settle_seconds:
    description:
      - How long the agent must stay up after each start the module makes, with the same launcher
        process and no restart by systemd, to pass the health gate; 1 or more.
    type: int
    default: 15
  health_command:
    description:
      - A shell command line run at the end of that window, which must exit 0 within 60 s. Empty runs none.
      - Never written to the host's journal; with I(secret), shown nowhere.
    type: str
    default: ""
  restart_on_upgrade:
    description:
      - Restarts, through the health gate, an agent whose launcher an upgrade replaced. Without it, such
        an agent is named in a warning, with the host's name.
    type: bool
    default: false
  canary:
    description:
      - Restarts the agent through the health gate when its version changes, to prove the new launcher,
        even without I(restart_on_upgrade).
    type: bool
    default: false
  secret:
    description:
      - The command line and the health command hold secrets, such as a token. They appear in no output
        of the module, masked wherever their text would, and its diff says only that the line changes.
    type: bool
    default: false
  wait_seconds:
    description:
      - How long a change waits for another change of the agent, and for apt's and dpkg's locks, before
        it fails having changed nothing.
    type: int
    default: 900
attributes:
  check_mode:
    support: full
    description: Reads and checks, and reports what would change, changing nothing but the lists' cache.
  diff_mode:
    support: full
    description: Shows each file it would change or changed, the version, and why the agent is restarted.
  platform:
    support: full
    platforms: debian
    description: Debian 12 and 13, with systemd.
notes:
  - Needs systemd and apt on the host, and python3 3.6 or later.
  - The role C(yrnagentrun.agent.yrnagent) calls it first in check mode on every host, then for real on
    the hosts that it would change.
  - Any local user can read the running command line from C(/proc), since the launcher takes it as its
    argument; I(secret) keeps it out of Ansible's output and the host's journal, not out of C(/proc).
"""

EXAMPLES = r"""
- name: Run the agent with this command line, at version 1.0.0
  yrnagentrun.agent.yrnagent:
    command: /opt/VTQ/Tessivane/Agent/bin/agent --foreground --site "front office"
    repository_url: http://apt.example.net
    repository_key: "{{ lookup('ansible.builtin.file', 'yrnagent-archive-key.asc') }}"
    version: 1.0.0
    settle_seconds: 30

- name: Run an agent that takes a token, which no output shows
  yrnagentrun.agent.yrnagent:
    command: "/opt/VTQ/Tessivane/Agent/bin/agent --token {{ agent_token }}"
    secret: true

- name: Remove the agent and its repository
  yrnagentrun.agent.yrnagent:
    state: absent
"""

RETURN = r"""
pending:
  description: Whether the host differs from the wanted state, another change of it is in progress, or one
    cut short waits to be put back.
  returned: always
  type: bool
  sample: true
asked:
  description: A SHA-256 digest of the wanted state, which tells the check made for one request from another.
  returned: always
  type: str
  sample: 3f2a9c0d5e6b7a8f9e0d1c2b3a4f5e6d7c8b9a0f1e2d3c4b5a6f7e8d9c0b1a2f
version:
  description: The version of the package installed after the call, or that would be in check mode; empty for none.
  returned: always
  type: str
  sample: 1.0.0
previous_version:
  description: The version installed before the call, empty for none.
  returned: always
  type: str
  sample: ""
restart:
  description: Why the agent is, or would be, restarted through the health gate, or null.
  returned: always
  type: str
  sample: the agent ran another command line
stale:
  description: Whether the agent is left running a launcher that an upgrade replaced.
  returned: always
  type: bool
  sample: false
done:
  description: What the change did, step by step; empty in check mode.
  returned: always
  type: list
  elements: str
  sample: ["wrote /etc/apt/keyrings/yrnagent.asc", "installed yrnagentrun 1.0.0"]
rolled_back:
  description: What a failed change put back; empty where none failed, and in check mode.
  returned: always
  type: list
  elements: str
  sample: ["put back yrnagentrun 1.0.0 from /var/cache/yrnagent/archives/yrnagentrun_1.0.0_amd64.deb"]
last_change:
  description: The outcome of the host's last change before this call, as the host keeps it, or null.
  returned: always
  type: dict
  contains:
    outcome:
      description: C(applied), C(rolled back), C(interrupted) or C(failed).
      type: str
    started:
      description: When it started, ISO 8601, UTC.
      type: str
    ended:
      description: When it ended, or was put back after an interruption, ISO 8601, UTC.
      type: str
    version:
      description: The version it asked for, or null.
      type: str
    line_sha256:
      description: The SHA-256 of the command line it asked for, or null.
      type: str
    message:
      description: What it did, or why it failed.
      type: str
"""

import json
import os
import shutil
import sys
import tempfile
import time

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_change as change
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_decide as decide
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_system as system
from ansible_collections.yrnagentrun.agent.plugins.module_utils.yrnagent_decide import HostError

ARGUMENTS = dict(
    command=dict(type='str', default='', no_log=True),
    state=dict(type='str', default='present', choices=['present', 'absent']),
    repository_url=dict(type='str', default=''),
    repository_key=dict(type='str', default='', no_log=False),
    version=dict(type='str', default=''),
    settle_seconds=dict(type='int', default=15),
    health_command=dict(type='str', default='', no_log=True),
    restart_on_upgrade=dict(type='bool', default=False),
    canary=dict(type='bool', default=False),
    secret=dict(type='bool', default=False),
    wait_seconds=dict(type='int', default=900),
)
WANTED = ('command', 'state', 'repository_url', 'repository_key', 'version', 'settle_seconds', 'health_command',
          'restart_on_upgrade', 'canary')


def check(module, wanted):
    """Reads the host and checks the wanted state, changing nothing; exits with what would change."""
    descriptor = system.take_lock(False, 0)
    busy = descriptor is None
    cut_short = not busy and change.Record.load() is not None
    scratch = None
    try:
        # The lists' cache is the module's own once a change made it; until then, and while another change
        # holds the host, the lists are read into a scratch folder.
        folder, cache = system.STATE_DIR + '/apt', system.CACHE_DIR
        if busy or not os.path.isdir(system.STATE_DIR + '/apt'):
            scratch = tempfile.mkdtemp(prefix='yrnagent-check.')
            os.chmod(scratch, 0o755)  # apt fetches as its own user
            folder, cache = scratch + '/apt', scratch + '/cache'
        lists = system.Lists(wanted['repository_url'], wanted['repository_key'], folder, cache)
        found, decided = change.assess(wanted, lists, module.params['wait_seconds'])
        kept = system.last_change()
    except HostError as error:
        module.fail_json(msg=str(error))
    finally:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)
        if descriptor not in (None, -1):
            os.close(descriptor)
    planned = decided['steps']
    differs = bool(planned) or decided['forget']
    result = dict(changed=differs, pending=differs or busy or cut_short, asked=decide.asked(wanted),
                  version=decided['version'], previous_version=found['package']['version'], restart=decided['restart'],
                  stale=decided['stale'], done=[], rolled_back=[], last_change=kept)
    if module._diff:
        result['diff'] = change.diffs(found['files'], change.predicted_files(wanted, found, planned),
                                      decided['restart'], decided['version'], found['package']['version'], True,
                                      module.params['secret'])
        if decided['stale'] and planned:
            result['diff'].append(dict(prepared="the agent would keep running the launcher that this upgrade replaces, "
                                                "until its next start\n"))
    if decided['stale'] and not planned:
        name_stale_launcher(module)
    warn_interrupted(module, kept)
    if busy:
        result['msg'] = 'another change of the agent is in progress on this host'
    elif cut_short:
        result['msg'] = 'a change of the agent on this host was cut short; the next change puts it back first'
    module.exit_json(**result)


def carry_out(module, wanted):
    """Carries out the change in a transient systemd unit, which runs to its end whatever becomes of this call,
    and exits with its result."""
    import inspect  # here alone: it costs every check its import otherwise
    change.install_program(dict((name, inspect.getsource(sys.modules[
        'ansible_collections.yrnagentrun.agent.plugins.module_utils.' + name])) for name in change.MODULES))
    system.make_folder(system.RUN_DIR, 0o700)
    drop_stale_folders(module)
    folder = tempfile.mkdtemp(prefix='change-', dir=system.RUN_DIR)
    request = dict(wanted=wanted, wait=module.params['wait_seconds'], secret=module.params['secret'],
                   environment=dict(os.environ))
    descriptor = os.open(os.path.join(folder, 'request.json'), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(descriptor, 'w') as stream:
        json.dump(request, stream)
    unit = 'yrnagent-%s' % os.path.basename(folder)
    # Not systemd-run --wait, which needs a D-Bus daemon that a minimal host lacks. KillMode=mixed: a
    # shutdown's SIGTERM reaches the change alone, which lets dpkg finish while it puts the files back.
    status, out, err = module.run_command(['systemd-run', '--quiet', '--collect', '--unit', unit,
                                           '--property=KillMode=mixed', '--property=TimeoutStopSec=30',
                                           '--description', 'A change of the yrnagent service',
                                           sys.executable, '-I', '-S', change.ENTRY, 'change', folder])
    if status != 0:
        shutil.rmtree(folder, ignore_errors=True)
        module.fail_json(msg='systemd-run could not start the change: %s' % (err or out).strip())
    result = wait_for_result(module, unit, os.path.join(folder, 'result.json'))
    shutil.rmtree(folder, ignore_errors=True)
    for note in result.pop('notes'):
        module.warn(note)
    failed = result.pop('failed')
    diff = result.pop('diff')
    result.update(pending=False, asked=decide.asked(wanted))
    if result['stale']:
        name_stale_launcher(module)
    warn_interrupted(module, result['last_change'])
    if module._diff and diff:
        result['diff'] = diff
    if failed:
        module.fail_json(**result)
    module.exit_json(**result)


def drop_stale_folders(module):
    """Removes the folders of earlier changes whose controller went away before it read their result."""
    for name in os.listdir(system.RUN_DIR):
        path = os.path.join(system.RUN_DIR, name)
        if name.startswith('change-') and time.time() - os.stat(path).st_mtime > 60:
            state = module.run_command(['systemctl', 'show', '--property=ActiveState', 'yrnagent-' + name])[1]
            if state.strip() not in ('ActiveState=active', 'ActiveState=activating'):
                shutil.rmtree(path, ignore_errors=True)


def wait_for_result(module, unit, path):
    """The result that the change in unit writes to path, once it has; fails when the unit ends without one."""
    while True:
        try:
            with open(path) as stream:
                return json.load(stream)
        except (IOError, OSError):
            pass
        state = module.run_command(['systemctl', 'show', '--property=ActiveState', unit])[1].strip()
        if state not in ('ActiveState=active', 'ActiveState=activating') and not os.path.exists(path):
            journal = module.run_command(['journalctl', '-u', unit, '-n', '20', '-o', 'cat', '--no-pager', '-q'])[1]
            module.fail_json(msg='the change in unit %s ended without a result: %s' % (unit, journal.strip()))
        time.sleep(0.5)


def refusal(wanted):
    """What is wrong with the wanted state, beyond its options' types, or None."""
    if wanted['state'] == 'present' and not wanted['command'].strip():
        return "command must be set to the agent's command line unless state is absent"
    if '\n' in wanted['command'] or '\0' in wanted['command']:
        return ("command holds a newline or a NUL byte, which the service's environment file cannot carry: "
                "give the agent its whole command line on one line")
    if bool(wanted['repository_url']) != bool(wanted['repository_key']) or (
            wanted['repository_key'] and '-----BEGIN PGP PUBLIC KEY BLOCK-----' not in wanted['repository_key']):
        return ('repository_url and repository_key are set together, the key as an ASCII-armoured OpenPGP public key '
                'block')
    if wanted['settle_seconds'] < 1:
        return 'settle_seconds must be 1 or more'
    return None


def name_stale_launcher(module):
    """Warns that the agent runs under a launcher that an upgrade replaced, naming the host."""
    module.warn('The agent on %s runs under a launcher that an upgrade replaced; it stays until the agent\'s next start. '
                'restart_on_upgrade restarts it.' % os.uname()[1])


def warn_interrupted(module, kept):
    """Warns, naming the host, where its last change was interrupted."""
    words = change.interruption(kept)
    if words:
        module.warn(words)


def main():
    """Checks the wanted state, then in check mode reports, or else carries out the change."""
    module = AnsibleModule(argument_spec=ARGUMENTS, supports_check_mode=True)
    if not module.params['secret']:
        # Kept out of the host's journal always, but shown to the controller unless secret.
        module.no_log_values.difference_update([module.params['command'], module.params['health_command']])
    wanted = dict((name, module.params[name]) for name in WANTED)
    refused = refusal(wanted)
    if refused:
        module.fail_json(msg=refused)
    if module.check_mode:
        check(module, wanted)
    carry_out(module, wanted)


if __name__ == '__main__':
    main()
