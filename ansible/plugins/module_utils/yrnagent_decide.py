# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""What a host's files mean, decided without touching the host.

The paths and names of the yrnagent service; how systemd reads the agent's
environment file and how the module writes a command line into it; Debian
versions as dpkg orders them; the version that a request leaves installed;
and the texts of the apt entry and pin. Plain Python 3 on the standard
library, as the rest of the code that runs on a host.
"""

from __future__ import absolute_import, division, print_function

import hashlib
import json
import re

__metaclass__ = type

PACKAGE = 'yrnagentrun'
UNIT = 'yrnagent'
LAUNCHER = '/usr/sbin/YRNAgentRun'
PID_FILE = '/etc/yrnagent.pid'
DEFAULT_FILE = '/etc/default/yrnagent'
SOURCES_FILE = '/etc/apt/sources.list.d/yrnagent.sources'
KEY_FILE = '/etc/apt/keyrings/yrnagent.asc'
PIN_FILE = '/etc/apt/preferences.d/yrnagent'
# The files a change manages, put back in this order.
MANAGED_FILES = (DEFAULT_FILE, PIN_FILE, SOURCES_FILE, KEY_FILE)
COMMAND_KEY = 'YRNAGENT_COMMAND'


class HostError(Exception):
    """A step that could not be carried out, in the words of the tool that failed."""


def digest(text):
    """The SHA-256 of text's UTF-8 bytes, in hexadecimal: how a command line is named where it must not be shown."""
    return hashlib.sha256(text.encode('utf-8', 'surrogateescape')).hexdigest()


def asked(wanted):
    """A digest of the wanted state that decides whether a host is pending, to tell one request from another.

    The role computes the same from its variables: the JSON of this list.
    """
    return digest(json.dumps([wanted['state'], wanted['command'], wanted['repository_url'], wanted['repository_key'],
                              wanted['version'], wanted['settle_seconds'], wanted['health_command'],
                              wanted['restart_on_upgrade']]))


# The agent's environment file, read as systemd reads an EnvironmentFile=.

_NEWLINE = '\n\r'
_WHITESPACE = ' \t\n\r'
_ESCAPED_IN_DOUBLE_QUOTES = '"\\`$'
_NAME = re.compile(r'[A-Za-z_][A-Za-z0-9_]*\Z')


def environment(content, comment_continues=False):
    """The variables that systemd takes from an environment file holding content (bytes), or None when it
    ignores the whole file.

    Comments begin a line with # or ;. A value may be unquoted, where a
    backslash keeps the character after it and blanks at its end are
    dropped; in single quotes, which keep everything; or in double quotes,
    where a backslash keeps a \\ " ` or $ after it and is kept before any
    other. Quotes mean quoting only where a value or a quoted part of it
    begins: after unquoted text they are plain characters. The last
    assignment of a name counts, and one whose name is no shell name is
    left out. A NUL byte anywhere, or a name or value that is not UTF-8,
    makes systemd ignore the file. systemd before 254 continues a comment
    onto the next line after a backslash (comment_continues).
    """
    if b'\0' in content:
        return None
    text = content.decode('latin-1')
    pairs = []
    state, key, value = 'pre-key', '', None
    key_blank = value_blank = None  # where trailing blanks begin in the key and the value

    def push():
        pairs.append((key[:key_blank] if key_blank is not None else key, value or ''))

    for character in text:
        if state == 'pre-key':
            if character in '#;':
                state = 'comment'
            elif character not in _WHITESPACE:
                state, key, key_blank = 'key', character, None
        elif state == 'key':
            if character in _NEWLINE:
                state = 'pre-key'
            elif character == '=':
                state, value, value_blank = 'pre-value', None, None
            else:
                if character not in _WHITESPACE:
                    key_blank = None
                elif key_blank is None:
                    key_blank = len(key)
                key += character
        elif state == 'pre-value':
            if character in _NEWLINE:
                push()
                state = 'pre-key'
            elif character == "'":
                state = 'single'
            elif character == '"':
                state = 'double'
            elif character == '\\':
                state = 'value-escape'
            elif character not in _WHITESPACE:
                state, value = 'value', (value or '') + character
        elif state == 'value':
            if character in _NEWLINE:
                if value_blank is not None:
                    value = value[:value_blank]
                push()
                state = 'pre-key'
            elif character == '\\':
                state, value_blank = 'value-escape', None
            else:
                if character not in _WHITESPACE:
                    value_blank = None
                elif value_blank is None:
                    value_blank = len(value)
                value += character
        elif state == 'value-escape':
            state = 'value'
            if character not in _NEWLINE:
                value = (value or '') + character
        elif state == 'single':
            if character == "'":
                state = 'pre-value'
            else:
                value = (value or '') + character
        elif state == 'double':
            if character == '"':
                state = 'pre-value'
            elif character == '\\':
                state = 'double-escape'
            else:
                value = (value or '') + character
        elif state == 'double-escape':
            state = 'double'
            if character in _ESCAPED_IN_DOUBLE_QUOTES:
                value = (value or '') + character
            elif character != '\n':
                value = (value or '') + '\\' + character
        elif state == 'comment':
            if character == '\\':
                state = 'comment-escape'
            elif character in _NEWLINE:
                state = 'pre-key'
        elif state == 'comment-escape':
            state = 'pre-key' if character in _NEWLINE and not comment_continues else 'comment'
    if state in ('pre-value', 'value', 'value-escape', 'single', 'double', 'double-escape'):
        if state == 'value' and value_blank is not None:
            value = value[:value_blank]
        push()

    variables = {}
    for name, raw in pairs:
        try:
            name, raw = name.encode('latin-1').decode('utf-8'), raw.encode('latin-1').decode('utf-8')
        except UnicodeDecodeError:
            return None
        variables.pop(name, None)
        variables[name] = raw
    return dict((name, raw) for name, raw in variables.items() if _NAME.match(name))


def environment_value(content, key=COMMAND_KEY, comment_continues=False):
    """The value that systemd gives variable key from environment file content (bytes), or None when unset."""
    variables = environment(content, comment_continues)
    return None if variables is None else variables.get(key)


def quoted(command):
    """The assignment that gives the service command line `command`, double-quoted."""
    return '%s="%s"' % (COMMAND_KEY, re.sub(r'([\\"`$])', r'\\\1', command))


def line_file(command):
    """An environment file that gives the service command line `command` alone."""
    return (quoted(command) + '\n').encode('utf-8', 'surrogateescape')


def with_command(content, command, comment_continues=False):
    """`content` (bytes, None for no file) with the agent's command line set to `command`.

    The last line that assigns it is replaced; with none, the line is added
    at the end. Raises HostError when systemd would still read another value.
    """
    line = quoted(command).encode('utf-8', 'surrogateescape')
    lines = (content or b'').splitlines(True)
    assigning = re.compile(br'^%s=' % COMMAND_KEY.encode())
    matching = [index for index, text in enumerate(lines) if assigning.match(text)]
    if matching:
        lines[matching[-1]] = line + b'\n'
    else:
        if lines and not lines[-1].endswith((b'\n', b'\r')):
            lines[-1] += b'\n'
        lines.append(line + b'\n')
    result = b''.join(lines)
    if environment_value(result, comment_continues=comment_continues) != command:
        raise HostError('%s assigns %s in a way that a line %s= cannot override; '
                        'set it there on one line of its own' % (DEFAULT_FILE, COMMAND_KEY, COMMAND_KEY))
    return result


def sources_text(url, release):
    """The deb822 entry for repository url on release, trusting the key in KEY_FILE alone."""
    return ('# Written by the yrnagent Ansible role.\nTypes: deb\nURIs: %s\nSuites: %s\nComponents: main\n'
            'Signed-By: %s\n' % (url, release, KEY_FILE)).encode('utf-8')


def pin_text(version):
    """The apt preferences that keep the package at version."""
    return ('Explanation: Written by the yrnagent Ansible role: upgrades, by hand or\n'
            'Explanation: unattended, leave the package at the version the role installed.\n'
            'Package: %s\nPin: version %s\nPin-Priority: 1000\n' % (PACKAGE, version)).encode('utf-8')


def sources_fields(content):
    """The URIs and Suites of a deb822 entry, as a dict; empty for none."""
    fields = {}
    for line in (content or b'').decode('utf-8', 'replace').splitlines():
        name, colon, value = line.partition(':')
        if colon and not line.startswith(('#', ' ', '\t')):
            fields[name.strip()] = value.strip()
    return fields


def pinned_version(content):
    """The version that a pin file holds the package at, or None."""
    found = re.search(br'^Pin: version (\S+)', content or b'', re.M)
    return found.group(1).decode('utf-8', 'replace') if found else None


# Debian versions, compared as dpkg does.

def _order(character):
    """Where a character of a version's non-digit part sorts, as dpkg has it: ~, the end, letters, the rest."""
    if character == '~':
        return -1
    if character.isalpha():
        return ord(character)
    return ord(character) + 256 if character else 0


def _compare_part(a, b):
    """Compares two upstream versions or revisions, as dpkg does: non-digit and digit runs in turn."""
    while a or b:
        a_text, b_text = re.match(r'[^0-9]*', a).group(), re.match(r'[^0-9]*', b).group()
        for index in range(max(len(a_text), len(b_text))):
            difference = _order(a_text[index:index + 1]) - _order(b_text[index:index + 1])
            if difference:
                return difference
        a, b = a[len(a_text):], b[len(b_text):]
        a_digits, b_digits = re.match(r'[0-9]*', a).group(), re.match(r'[0-9]*', b).group()
        difference = int(a_digits or 0) - int(b_digits or 0)
        if difference:
            return difference
        a, b = a[len(a_digits):], b[len(b_digits):]
    return 0


def compare_versions(a, b):
    """Negative, zero or positive as Debian version a sorts before, with or after b.

    The epoch ends at the first colon, the revision begins after the last
    hyphen: an upstream version may hold hyphens of its own.
    """
    def split(version):
        epoch, rest = version.split(':', 1) if ':' in version else ('0', version)
        upstream, revision = rest.rsplit('-', 1) if '-' in rest else (rest, '0')
        return int(epoch or 0), upstream, revision
    a_epoch, a_upstream, a_revision = split(a)
    b_epoch, b_upstream, b_revision = split(b)
    return (a_epoch - b_epoch) or _compare_part(a_upstream, b_upstream) or _compare_part(a_revision, b_revision)


def newest(versions):
    """The newest of the Debian versions given, or None for none."""
    best = None
    for version in versions:
        if best is None or compare_versions(version, best) > 0:
            best = version
    return best


def target_version(asked_version, installed, published):
    """The version that asking for asked_version leaves installed, or None when it is not published."""
    if asked_version == '':
        return installed or newest(published)
    if asked_version == 'latest':
        return newest(published)
    return asked_version if asked_version == installed or asked_version in published else None
