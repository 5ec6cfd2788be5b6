# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""The yrnagent_report action: the fleet's table and JSON report, made on the controller from what
yrnagent_info read on each host."""

from __future__ import absolute_import, division, print_function

import hashlib
import json
import os
import tempfile
import time

from ansible.plugins.action import ActionBase
from ansible.utils.display import Display

__metaclass__ = type

display = Display()
READ = 'yrnagent_status_read'
COLUMNS = ('host', 'system', 'version', 'agent', 'restarts', 'line', 'last change')


def iso_now():
    """The time, in ISO 8601, UTC."""
    return time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())


def entry(read):
    """A host's entry in the report, from what yrnagent_info returned for it, or from its unreachable result."""
    if read.get('unreachable') or read.get('failed') or 'active' not in read:
        return {'reachable': False, 'version': None, 'active': False, 'since': None, 'restarts': 0,
                'pid_file_ok': False, 'line_sha256': None, 'line_drift': False, 'launcher_replaced': False,
                'last_change': None}
    host = dict((name, read[name]) for name in ('version', 'active', 'since', 'restarts', 'pid_file_ok', 'line_sha256',
                                                'line_drift', 'launcher_replaced', 'last_change'))
    host['reachable'] = True
    return host


def differences(host, wanted_command, wanted_version):
    """How a host differs from the wanted line and version, where given, in a few words each."""
    differs = []
    if wanted_command and host['line_sha256'] != hashlib.sha256(wanted_command.encode('utf-8')).hexdigest():
        differs.append('another line')
    if wanted_version not in ('', 'latest') and host['version'] != wanted_version:
        differs.append('version %s' % (host['version'] or 'none'))
    return differs


def troubles(host):
    """What is not well with a host, in a few words each."""
    if not host['reachable']:
        return ['unreachable']
    found = [] if host['active'] else ['agent not active']
    if host['line_drift']:
        found.append('runs another line than its file')
    if host['differs']:
        found.append('differs from the wanted state: %s' % ', '.join(host['differs']))
    return found


def row(name, host, read):
    """The table's line for a host."""
    if not host['reachable']:
        return (name, '-', '-', 'unreachable', '-', '-', '-')
    agent = ('active since %s' % (host['since'] or '?').replace('T', ' ').rstrip('Z')) if host['active'] else \
        'not active'
    line = 'drifts' if host['line_drift'] else 'as its file' if host['active'] else '-'
    if host.get('differs'):
        line += ', differs: ' + ', '.join(host['differs'])
    last = host['last_change']
    return (name, '%s/%s' % (read.get('release', '?'), read.get('architecture', '?')), host['version'] or 'none',
            agent + (', launcher replaced' if host['launcher_replaced'] else ''), str(host['restarts']), line,
            '%s %s' % (last['outcome'], last['ended'].replace('T', ' ').rstrip('Z')) if last else 'none')


def table(rows):
    """The rows as a table of aligned columns, its heading first."""
    widths = [max(len(cells[index]) for cells in [COLUMNS] + rows) for index in range(len(COLUMNS))]
    return '\n'.join('  '.join(cell.ljust(width) for cell, width in zip(cells, widths)).rstrip()
                     for cells in [COLUMNS] + rows)


def write(path, report):
    """Writes the report to path, replacing it whole."""
    folder = os.path.dirname(os.path.abspath(path))
    descriptor, scratch = tempfile.mkstemp(prefix='.yrnagent-status.', dir=folder)
    with os.fdopen(descriptor, 'w') as stream:
        json.dump(report, stream, indent=2, sort_keys=True)
        stream.write('\n')
    os.chmod(scratch, 0o644)
    os.rename(scratch, path)


class ActionModule(ActionBase):
    """Reports the fleet from the hosts' yrnagent_status_read results; fails where a host is not well."""

    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(('hosts', 'path'))
    _supports_check_mode = True

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        hostvars = task_vars['hostvars']
        path = self._task.args.get('path') or 'yrnagent-status.json'
        report = {'generated': iso_now(), 'hosts': {}}
        rows, unwell = [], []
        for name in self._task.args.get('hosts') or []:
            facts = hostvars[name]
            if READ not in facts:
                continue  # not in this run's hosts
            read = facts[READ]
            host = entry(read)
            host['differs'] = differences(host, facts.get('yrnagent_command') or '',
                                          facts.get('yrnagent_version') or '') if host['reachable'] else []
            rows.append(row(name, host, read))
            said = troubles(host)
            if said:
                unwell.append('%s (%s)' % (name, '; '.join(said)))
            host.pop('differs', None)
            report['hosts'][name] = host
        write(path, report)
        display.display(table(rows))
        result.update(changed=False, path=os.path.abspath(path), hosts=len(report['hosts']))
        if unwell:
            result.update(failed=True, msg='%d of %d hosts are not well: %s' % (len(unwell), len(rows), ', '.join(unwell)))
        else:
            result['msg'] = 'all %d hosts are well' % len(rows)
        return result
