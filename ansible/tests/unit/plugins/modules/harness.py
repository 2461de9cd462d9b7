# -*- coding: utf-8 -*-
# Runs a module's main() in-process with its arguments, a scripted command line, and exit_json/fail_json caught.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

from ansible.module_utils import basic
from ansible.module_utils.common.text.converters import to_bytes

try:
    from unittest import mock
except ImportError:  # Python 2
    import mock


class Finished(Exception):
    pass


def lines(*events):
    """Recorded brisklode-cli output: one JSON line per event."""
    return ''.join(json.dumps(event) + '\n' for event in events)


def run_module(main, args, replies=(), check_mode=False, diff=False):
    """Runs MAIN with ARGS; the command line answers with REPLIES ((rc, stdout, stderr) in turn).

    A reply may be a function of the command, for a command line that leaves more than its output behind.
    Returns (result, failed, calls, warnings); calls holds each command line and its standard input."""
    module_args = dict(args, _ansible_check_mode=check_mode, _ansible_diff=diff)
    basic._ANSIBLE_ARGS = to_bytes(json.dumps({'ANSIBLE_MODULE_ARGS': module_args}))
    replies = list(replies)
    calls, warnings, outcome = [], [], {}

    def run_command(self, command, data=None, **kwargs):
        calls.append(dict(command=command, data=data))
        reply = replies.pop(0)
        return reply(command) if callable(reply) else reply

    def finish(failed):
        def done(self, **result):
            outcome.update(result=result, failed=failed)
            raise Finished()
        return done

    with mock.patch.multiple(basic.AnsibleModule, run_command=run_command, exit_json=finish(False),
                             fail_json=finish(True), warn=lambda self, text: warnings.append(text),
                             get_bin_path=lambda self, name, required=False, opt_dirs=None: '/usr/bin/' + name):
        try:
            main()
        except Finished:
            pass
    return outcome['result'], outcome['failed'], calls, warnings
