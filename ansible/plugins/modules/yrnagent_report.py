#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""The yrnagent_report action's documentation: the action runs on the controller alone."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: yrnagent_report
short_description: Reports the fleet that yrnagent_info read, as a table and a JSON file on the controller
description:
  - Runs on the controller alone, from the results that each host's C(yrnagentrun.agent.yrnagent_info) task
    registered as C(yrnagent_status_read); it reaches no host.
  - Shows a table, a line a host, and writes the report as JSON to I(path), replacing it whole, in check mode
    as well. The report holds digests of command lines, never a line.
  - Where a host's variables give C(yrnagent_command) or C(yrnagent_version), as for the rollout, it marks the
    host that differs from them. C(latest) is not compared, as that would take the repository.
  - Fails, naming each, where a host cannot be reached, its agent is not active, it runs another line than its
    file holds, or it differs from the wanted state given.
version_added: 1.0.0
author:
  - YRNAgentRun maintainers (@yrnagentrun)
options:
  hosts:
    description:
      - The hosts to report, in this order; those with no C(yrnagent_status_read) were not read by this run,
        and are left out.
    type: list
    elements: str
    required: true
  path:
    description:
      - The report's path on the controller.
    type: path
    default: yrnagent-status.json
attributes:
  check_mode:
    support: full
    description: Reports and writes the report in check mode too; it changes no host.
  diff_mode:
    support: none
    description: Changes nothing, so has nothing to show.
  platform:
    support: full
    platforms: all
    description: Runs on the controller; the hosts are read by yrnagent_info.
notes:
  - The playbook C(yrnagentrun.agent.status) reads every host and reports with it.
"""

EXAMPLES = r"""
- name: Read the agent
  yrnagentrun.agent.yrnagent_info:
  register: yrnagent_status_read
  ignore_unreachable: true

- name: Report the fleet
  yrnagentrun.agent.yrnagent_report:
    hosts: "{{ ansible_play_hosts_all }}"
    path: /var/tmp/yrnagent-status.json
  run_once: true
"""

RETURN = r"""
path:
  description: Where the report was written.
  returned: always
  type: str
  sample: /root/rollout/yrnagent-status.json
hosts:
  description: How many hosts the report holds.
  returned: always
  type: int
  sample: 3
"""
