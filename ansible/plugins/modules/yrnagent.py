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
    C(/bin/sh) must parse the command line, and the repository, whose lists are read with apt's full
    signature check into a folder of the module's own, must publish the version asked for.
  - The agent's running command line, as its launcher was given it, is compared with the wanted one,
    not only the file. An agent that runs another line, or none, is restarted; one that already runs
    the wanted line is not, however its file quotes it.
  - The change runs in a transient systemd unit under a host-wide lock, and runs to its end when the
    controller or its connection goes away. It writes the apt files, installs the version, writes
    the command line, and starts the agent through a health gate. When any step fails, it puts back
    everything it changed, in reverse, the package from the file of the previous version that the host
    keeps in C(/var/cache/yrnagent), and reports what it put back and what it could not.
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
    type: str
    default: ""
  state:
    description:
      - C(present) installs and runs the agent; C(absent) purges the package, which stops the agent
        through its control script, and removes the repository entry, its key, the pin and the
        module's own folders.
    type: str
    choices: [present, absent]
    default: present
  repository_url:
    description:
      - The signed apt repository. With it, the host gets a deb822 entry for its own release, trusting
        I(repository_key) alone. Without it, apt must already know the package.
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
"""

EXAMPLES = r"""
- name: Run the agent with this command line, at version 1.0.0
  yrnagentrun.agent.yrnagent:
    command: /opt/VTQ/Tessivane/Agent/bin/agent --foreground --site "front office"
    repository_url: http://apt.example.net
    repository_key: "{{ lookup('ansible.builtin.file', 'yrnagent-archive-key.asc') }}"
    version: 1.0.0
    settle_seconds: 30

- name: Remove the agent and its repository
  yrnagentrun.agent.yrnagent:
    state: absent
"""

RETURN = r"""
pending:
  description: Whether the host differs from the wanted state, or another change of it is in progress.
  returned: always
  type: bool
  sample: true
version:
  description: The version of the package installed after the call, or that would be in check mode.
  returned: always
  type: str
  sample: 1.0.0
previous_version:
  description: The version installed before the call, empty for none.
  returned: always
  type: str
  sample: ""
restart:
  description: Why the agent is restarted through the health gate, or null.
  returned: always
  type: str
  sample: the agent ran another command line
stale:
  description: Whether the agent is left running a launcher that an upgrade replaced.
  returned: always
  type: bool
  sample: false
done:
  description: What the change did, step by step.
  returned: when changed
  type: list
  elements: str
  sample: ["wrote /etc/apt/keyrings/yrnagent.asc", "installed yrnagentrun 1.0.0"]
rolled_back:
  description: What a failed change put back.
  returned: when failed
  type: list
  elements: str
  sample: ["put back /etc/default/yrnagent"]
"""

import json
import os
import shutil
import socket
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_host as host

# The change's program, in its folder: what it did goes to the journal.
ENTRY = 'import sys; sys.path.insert(0, sys.argv[1]); import yrnagent_host; print(yrnagent_host.run_change(sys.argv[2]))'

ARGUMENTS = dict(
    command=dict(type='str', default=''),
    state=dict(type='str', default='present', choices=['present', 'absent']),
    repository_url=dict(type='str', default=''),
    repository_key=dict(type='str', default='', no_log=False),
    version=dict(type='str', default=''),
    settle_seconds=dict(type='int', default=15),
    health_command=dict(type='str', default=''),
    restart_on_upgrade=dict(type='bool', default=False),
    canary=dict(type='bool', default=False),
    wait_seconds=dict(type='int', default=900),
)


def text(content):
    """A file's content as a diff shows it: empty for no file."""
    return '' if content is None else content.decode('utf-8', 'replace')


def diffs(before, after, steps, found, version, check):
    """Ansible's diffs of a change: each managed file that differs, then the version and the restart."""
    shown = []
    for path in host.MANAGED_FILES:
        if before[path]['content'] != after[path]['content']:
            shown.append(dict(before_header=path, after_header=path, before=text(before[path]['content']),
                              after=text(after[path]['content'])))
    previous = found['package']['version']
    if version and version != previous:
        shown.append(dict(prepared='%s %s %s %s\n' % (host.PACKAGE, version, 'would replace' if check else 'replaced',
                                                      previous or 'nothing')))
    elif previous and not version:
        shown.append(dict(prepared='%s %s %s\n' % (host.PACKAGE, previous, 'would be purged' if check else 'was purged')))
    for step in steps:
        if step[0] == 'restart':
            shown.append(dict(prepared='the agent %s through the health gate: %s\n' % (
                'would be restarted' if check else 'was restarted', step[1])))
    return shown


def predicted_files(wanted, found, steps):
    """The managed files as the steps would leave them."""
    files = dict(found['files'])
    for step in steps:
        if step[0] == 'file':
            files[step[1]] = step[2]
        elif step[0] == 'line':
            current = files[host.DEFAULT_FILE]
            files[host.DEFAULT_FILE] = dict(current, content=host.with_command(current['content'], wanted['command']))
    return files


def check(module, wanted):
    """Reads the host and checks the wanted state, changing nothing; exits with what would change."""
    descriptor = host.take_lock(False, 0)
    scratch = None
    try:
        # The lists' cache is the module's own once a change made it; until then, and while another change
        # holds the host, the lists are read into a scratch folder.
        folder, cache = host.STATE_DIR + '/apt', host.CACHE_DIR
        if descriptor is None or not os.path.isdir(host.STATE_DIR):
            scratch = tempfile.mkdtemp(prefix='yrnagent-check.')
            os.chmod(scratch, 0o755)  # apt fetches as its own user
            folder, cache = scratch + '/apt', scratch + '/cache'
        lists = host.Lists(wanted['repository_url'], wanted['repository_key'], folder, cache)
        present = wanted['state'] == 'present'
        # The host is read while apt reads the repository, which takes longest.
        with ThreadPoolExecutor(max_workers=2) as pool:
            reading = pool.submit(host.read_host)
            parsing = pool.submit(host.parses, wanted['command']) if present else None
            published = host.read_repository(lists, host.release(), module.params['wait_seconds']) if present else []
            found = reading.result()
            refused = parsing.result() if parsing else None
        if refused:
            module.fail_json(msg="the command line does not parse in the host's /bin/sh: " + refused)
        decided = host.plan(wanted, found, published)
    except host.HostError as error:
        module.fail_json(msg=str(error))
    finally:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)
        if descriptor not in (None, -1):
            os.close(descriptor)
    steps = decided['steps']
    busy = descriptor is None
    result = dict(changed=bool(steps), pending=bool(steps) or busy, version=decided['version'],
                  previous_version=found['package']['version'], restart=decided['restart'], stale=decided['stale'])
    if module._diff:
        result['diff'] = diffs(found['files'], predicted_files(wanted, found, steps), steps, found,
                               decided['version'], True)
        if decided['stale'] and steps:
            result['diff'].append(dict(prepared="the agent would keep running the launcher that this upgrade replaces, "
                                                "until its next start\n"))
    if decided['stale'] and not steps:
        name_stale_launcher(module)
    if busy:
        result['msg'] = 'another change of the agent is in progress on this host'
    module.exit_json(**result)


def change(module, wanted):
    """Carries out the change in a transient systemd unit, which runs to its end whatever becomes of this call,
    and exits with its result."""
    if not os.path.isdir(host.RUN_DIR):
        os.makedirs(host.RUN_DIR, 0o700)
    folder = tempfile.mkdtemp(prefix='change-', dir=host.RUN_DIR)
    request = os.path.join(folder, 'request.json')
    with open(os.path.join(folder, 'yrnagent_host.py'), 'w') as stream:
        stream.write(host_source())
    with open(request, 'w') as stream:
        json.dump(dict(wanted=wanted, wait=module.params['wait_seconds']), stream)
    unit = 'yrnagent-%s' % os.path.basename(folder)
    # Not systemd-run --wait, which needs a D-Bus daemon that a minimal host lacks.
    status, out, err = module.run_command(['systemd-run', '--quiet', '--collect', '--unit', unit,
                                           '--description', 'A change of the yrnagent service',
                                           sys.executable, '-c', ENTRY, folder, request])
    if status != 0:
        shutil.rmtree(folder, ignore_errors=True)
        module.fail_json(msg='systemd-run could not start the change: %s' % (err or out).strip())
    result = wait_for_result(module, unit, os.path.join(folder, 'result.json'))
    shutil.rmtree(folder, ignore_errors=True)
    before = dict((path, host.decode_file(state)) for path, state in result.pop('before', {}).items())
    after = dict((path, host.decode_file(state)) for path, state in result.pop('after', {}).items())
    for note in result.pop('notes'):
        module.warn(note)
    failed = result.pop('failed')
    result['pending'] = False
    if result['stale']:
        name_stale_launcher(module)
    if module._diff and before and after:
        found = dict(package=dict(version=result['previous_version']))
        restarts = [('restart', result['restart'])] if result['restart'] and result['changed'] else []
        result['diff'] = diffs(before, after, restarts, found, result['version'], False)
    if failed:
        module.fail_json(**result)
    module.exit_json(**result)


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


def host_source():
    """The host module's own text, to run as a program of its own."""
    import inspect
    return inspect.getsource(host)


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
                'restart_on_upgrade restarts it.' % socket.gethostname())


def main():
    """Checks the wanted state, then in check mode reports, or else carries out the change."""
    module = AnsibleModule(argument_spec=ARGUMENTS, supports_check_mode=True)
    wanted = dict((name, module.params[name]) for name in ARGUMENTS if name != 'wait_seconds')
    refused = refusal(wanted)
    if refused:
        module.fail_json(msg=refused)
    if module.check_mode:
        check(module, wanted)
    change(module, wanted)


if __name__ == '__main__':
    main()
