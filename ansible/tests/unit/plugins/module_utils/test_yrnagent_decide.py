# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""The pure decisions: the agent's file read as systemd reads it, lines written into it, Debian versions."""

from __future__ import absolute_import, division, print_function

import shutil
import subprocess

import pytest
from ansible_collections.yrnagentrun.agent.plugins.module_utils import yrnagent_decide as decide

__metaclass__ = type

LINE = '/opt/agent "front office" \'single "double"\' "it\'s" \'$HOME stays\' 100% \'C:\\agent\' \\$'

# What systemd 252 (Debian 12) and 257 (Debian 13) gave the service from each file, read off booted hosts;
# a third element where they differ is 257's. None: the variable is unset.
SYSTEMD_READS = [
    (b'YRNAGENT_COMMAND=', ''),
    (b'# comment\nYRNAGENT_COMMAND=\'a "b" $c\'\n', 'a "b" $c'),
    (b'YRNAGENT_COMMAND="a \\"b\\" \\$c \\\\ \\n"', 'a "b" $c \\ \\n'),
    (b'YRNAGENT_COMMAND=plain\\ words   \n', 'plain words'),
    (b'YRNAGENT_COMMAND=first\nYRNAGENT_COMMAND=second\n', 'second'),
    (b'; YRNAGENT_COMMAND=commented\n', None),
    (b"  YRNAGENT_COMMAND = 'spaced'\n", 'spaced'),
    (b'YRNAGENT_COMMAND=\'joined\'" words"\n', 'joined words'),
    (b"SITE_NOTE=Bob's site\nYRNAGENT_COMMAND=agent\n", 'agent'),
    (b'YRNAGENT_COMMAND=agent --site "front office"\n', 'agent --site "front office"'),
    (b"YRNAGENT_COMMAND='a' 'b'  c\n", 'abc'),
    (b"YRNAGENT_COMMAND='unterminated", 'unterminated'),
    (b'YRNAGENT_COMMAND="unterminated\\', 'unterminated'),
    (b'# continued \\\nYRNAGENT_COMMAND=after-comment\n', None, 'after-comment'),
    (b'YRNAGENT_COMMAND=x\\\ny\n', 'xy'),
    (b"YRNAGENT_COMMAND='multi\nline'\n", 'multi\nline'),
    (b'YRNAGENT_COMMAND=a\x01b\n', 'a\x01b'),
    (b'YRNAGENT_COMMAND=ok\nOTHER=\xff\n', None),
    (b'YRNAGENT_COMMAND=before\x00YRNAGENT_COMMAND=after\n', None),
    (b'YRNAGENT_COMMAND=good\n1BAD=x\nYRNAGENT_COMMAND=also\n', 'also'),
    (b'YRNAGENT_COMMAND=tab\there \t \n', 'tab\there'),
    (b'YRNAGENT_COMMAND=a\rYRNAGENT_COMMAND=b\r', 'b'),
    (b'export YRNAGENT_COMMAND=exported\n', None),
    (b'YRNAGENT_COMMAND=caf\xc3\xa9\n', u'caf\u00e9'),
    (b'YRNAGENT_COMMAND=a\x7fb\n', 'a\x7fb'),
    (b'YRNAGENT_COMMAND="in \\a double"\n', 'in \\a double'),
    (b'=YRNAGENT_COMMAND=odd\n', None),
    (b'YRNAGENT_COMMAND=x # not a comment\n', 'x # not a comment'),
]


@pytest.mark.parametrize('case', SYSTEMD_READS, ids=[repr(case[0])[2:30] for case in SYSTEMD_READS])
def test_the_agents_file_is_read_as_systemd_reads_it(case):
    content, old, new = case if len(case) == 3 else case + (case[1],)
    assert decide.environment_value(content, comment_continues=True) == old, 'systemd 252'
    assert decide.environment_value(content, comment_continues=False) == new, 'systemd 257'


@pytest.mark.parametrize('command', [LINE, '', 'a\\b', '`x` "$y"', u'caf\u00e9 100%', "Bob's \\'quote\\'"])
def test_a_written_line_reads_back_byte_for_byte(command):
    written = decide.with_command(b'# head\nYRNAGENT_COMMAND=\nTAIL=1', command)
    assert decide.environment_value(written) == command
    assert written.startswith(b'# head\n') and written.endswith(b'TAIL=1')
    assert decide.environment_value(decide.line_file(command)) == command


@pytest.mark.parametrize('content, expected', [
    (None, b'YRNAGENT_COMMAND="x"\n'),
    (b'A=1', b'A=1\nYRNAGENT_COMMAND="x"\n'),
    (b'YRNAGENT_COMMAND=a\nB=2\nYRNAGENT_COMMAND=b\n', b'YRNAGENT_COMMAND=a\nB=2\nYRNAGENT_COMMAND="x"\n'),
])
def test_the_last_assignment_is_replaced_or_one_added(content, expected):
    assert decide.with_command(content, 'x') == expected


@pytest.mark.parametrize('content', [b'YRNAGENT_COMMAND=x\n YRNAGENT_COMMAND=late\n', b'A=1\nB=\xff\n'])
def test_a_file_that_a_line_cannot_set_is_refused(content):
    with pytest.raises(decide.HostError, match='cannot override'):
        decide.with_command(content, 'x2')


VERSION_PAIRS = [
    ('1.0.0', '1.0.0+later1'), ('1.0.0~rc1', '1.0.0'), ('1.0.0', '1.0.1'), ('1.9', '1.10'), ('1.0-1', '1.0-2'),
    ('2.0', '1:1.0'), ('1.0a', '1.0b'), ('1.0', '1.0a'), ('1.0-beta-10', '1.0-beta-9'), ('1.0-rc-2', '1.0-rc1-1'),
    ('1.0~~', '1.0~'), ('1.0-1~bpo1', '1.0-1'), ('0:1.0', '1.0-0.1'), ('1.0+b1', '1.0.1'),
]


@pytest.mark.parametrize('one, other', VERSION_PAIRS)
def test_versions_sort_as_dpkg_sorts_them(one, other):
    """Checked against dpkg itself, where it is here."""
    ours = decide.compare_versions(one, other)
    assert (decide.compare_versions(other, one) < 0) == (ours > 0)
    if shutil.which('dpkg'):
        for relation, holds in (('lt', ours < 0), ('eq', ours == 0), ('gt', ours > 0)):
            assert (subprocess.call(['dpkg', '--compare-versions', one, relation, other]) == 0) == holds, relation


def test_a_revision_is_what_follows_the_last_hyphen():
    assert decide.compare_versions('1.0-beta-10', '1.0-beta-9') > 0
    assert decide.newest(['1.0-rc-2', '1.0-rc-10', '1.0-rc-9']) == '1.0-rc-10'


@pytest.mark.parametrize('asked, installed, published, target', [
    ('', '', ['1.0.0', '1.0.0+later1'], '1.0.0+later1'),
    ('', '1.0.0', ['1.0.0+later1'], '1.0.0'),
    ('latest', '1.0.0', ['1.0.0', '1.0.0+later1'], '1.0.0+later1'),
    ('1.0.0', '1.0.0+later1', ['1.0.0', '1.0.0+later1'], '1.0.0'),
    ('1.0.0', '1.0.0', [], '1.0.0'),
    ('2.0', '1.0.0', ['1.0.0'], None),
    ('latest', '', [], None),
])
def test_the_version_asked_for(asked, installed, published, target):
    assert decide.target_version(asked, installed, published) == target
