# -*- coding: utf-8 -*-
# Copyright: YRNAgentRun maintainers
# MIT License (see LICENSE)
"""Lets the unit tests import the collection by its name, ansible_collections.yrnagentrun.agent, as Ansible does.

Installed, the collection sits under that name already; in a checkout it is
the folder ansible/, which is then reached through a link of that name.
"""

from __future__ import absolute_import, division, print_function

import atexit
import os
import shutil
import sys
import tempfile

__metaclass__ = type

COLLECTION = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
if not COLLECTION.endswith(os.path.join('ansible_collections', 'yrnagentrun', 'agent')):
    ROOT = tempfile.mkdtemp()
    atexit.register(shutil.rmtree, ROOT)
    os.makedirs(os.path.join(ROOT, 'ansible_collections', 'yrnagentrun'))
    os.symlink(COLLECTION, os.path.join(ROOT, 'ansible_collections', 'yrnagentrun', 'agent'))
    sys.path.insert(0, ROOT)
