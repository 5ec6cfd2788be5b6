#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""The yrnagent_info module: what the yrnagent service runs on a host, whether it is well, and what its last change
did; it changes nothing."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: yrnagent_info
short_description: Reads what the background agent runs on a host, and what the host's last change did
description:
  - Reads the C(yrnagentrun) package and the C(yrnagent) service on a Debian host, changing nothing.
  - The version installed; whether the agent's unit is active, since when, and how many times systemd
    restarted it; whether the pid file holds MainPID + 2; a digest of the command line the running
    launcher was given, never the line itself, and whether it differs from the line that
    C(/etc/default/yrnagent) gives, read as systemd reads it; whether the agent runs a launcher that an
    upgrade replaced; the repository and the pin; and the outcome of the host's last change.
  - It waits for no lock and reads no repository, and so reaches neither apt nor the network.
version_added: 1.0.0
author:
  - YRNAgentRun maintainers (@yrnagentrun)
options: {}
attributes:
  check_mode:
    support: full
    description: Reads the same in check mode; it never changes anything.
  diff_mode:
    support: none
    description: Changes nothing, so has nothing to show.
  platform:
    support: full
    platforms: debian
    description: Debian 12 and 13, with systemd.
notes:
  - The playbook C(yrnagentrun.agent.status) reads every host of the group C(yrnagent) with it.
"""

EXAMPLES = r"""
- name: Read the agent
  yrnagentrun.agent.yrnagent_info:
  register: agent

- name: Fail where the agent does not run the line its file holds
  ansible.builtin.assert:
    that: not agent.line_drift
"""

RETURN = r"""
release:
  description: The host's Debian codename.
  returned: always
  type: str
  sample: bookworm
architecture:
  description: The host's Debian architecture.
  returned: always
  type: str
  sample: amd64
version:
  description: The version of the package installed, or null.
  returned: always
  type: str
  sample: 1.0.0
active:
  description: Whether the agent's unit is active.
  returned: always
  type: bool
  sample: true
since:
  description: When the unit last became active, ISO 8601, UTC; null while it is not.
  returned: always
  type: str
  sample: "2026-12-11T09:30:00Z"
restarts:
  description: How many times systemd restarted the launcher since the unit was last started by hand or by a change.
  returned: always
  type: int
  sample: 0
pid_file_ok:
  description: Whether C(/etc/yrnagent.pid) holds the launcher's process id plus 2.
  returned: always
  type: bool
  sample: true
line_sha256:
  description: The SHA-256 of the command line the running launcher was given, its bytes; null where none runs.
  returned: always
  type: str
  sample: 9b1c6f0d2a3e4b5c6d7e8f9a0b1c2d3e4f5a6b7c8d9e0f1a2b3c4d5e6f7a8b9c
line_drift:
  description: Whether the running launcher's line differs from the line the agent's file gives.
  returned: always
  type: bool
  sample: false
launcher_replaced:
  description: Whether the agent runs a launcher file that an upgrade replaced.
  returned: always
  type: bool
  sample: false
repository:
  description: The repository entry the host has for the package, or null.
  returned: always
  type: dict
  contains:
    url:
      description: Its address.
      type: str
    suite:
      description: The release it names.
      type: str
pin:
  description: The version that apt is pinned to, or null.
  returned: always
  type: str
  sample: 1.0.0
change_in_flight:
  description: Whether a change of the agent is in progress, or one cut short waits to be put back.
  returned: always
  type: bool
  sample: false
last_change:
  description: The outcome of the host's last change, as the host keeps it, or null.
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
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_system as system
from ansible_collections.yrnagentrun.agent.plugins.module_utils.yrnagent_decide import HostError


def main():
    """Reads the host and exits with what it found."""
    module = AnsibleModule(argument_spec={}, supports_check_mode=True)
    try:
        found = system.agent_status()
    except HostError as error:
        module.fail_json(msg=str(error))
    module.exit_json(changed=False, **found)


if __name__ == '__main__':
    main()
