# -*- coding: utf-8 -*-
# The shared helpers: reading brisklode-cli's events, its status words and its errors.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import unittest

from ansible_collections.velmor.brisklode.plugins.module_utils import brisklode_cli as cli
from ansible_collections.velmor.brisklode.tests.unit.plugins.modules.harness import lines


class Failed(Exception):
    pass


class FakeModule(object):
    def __init__(self, stdout='', rc=0, stderr=''):
        self.params = dict(cli_path=None, timeout=None)
        self.reply = (rc, stdout, stderr)

    def run_command(self, command, **kwargs):
        return self.reply

    def fail_json(self, **result):
        raise Failed(result)

    def get_bin_path(self, name, required=False):
        return '/usr/bin/' + name


class EventTests(unittest.TestCase):
    def test_results_keep_status_and_reason_and_an_old_status_byte_moves_aside(self):
        run = cli.run_json(FakeModule(lines(
            {'event': 'start', 'command': 'inventory'},
            {'event': 'result', 'target': 'telnet a:3000', 'ok': False, 'status': 'not-started', 'reason': 'canary'},
            {'event': 'result', 'target': 'telnet b:3000', 'ok': True, 'status': 7},
            {'event': 'result', 'target': 'telnet c:3000', 'ok': False, 'skipped': True},
            {'event': 'summary', 'succeeded': 1, 'ok': 1, 'not_started': 1}), rc=1), ['inventory'])
        results = [cli.modem_result(e) for e in run.all('result')]
        self.assertEqual(run.command, ['/usr/bin/brisklode-cli', '--json', 'inventory'])
        self.assertEqual([r['status'] for r in results], ['not-started', 'ok', 'skipped'])
        self.assertEqual(results[1]['status_byte'], 7)
        self.assertNotIn('event', results[0])
        self.assertEqual(cli.summary_of(run), {'ok': 1, 'not-started': 1})
        self.assertFalse(run.killed)

    def test_a_line_that_is_not_json_fails_the_module(self):
        with self.assertRaises(Failed) as caught:
            cli.run_json(FakeModule('Connecting...\n'), ['identify'])
        self.assertIn('not JSON', caught.exception.args[0]['msg'])

    def test_error_events_and_usage_errors_fail_with_their_message_a_target_failure_does_not(self):
        module = FakeModule()
        run = cli.Run(1, [{'event': 'error', 'message': 'Cannot open /x: No such file'}], '', ['c'])
        with self.assertRaises(Failed) as caught:
            cli.fail_on_cli_error(module, run)
        self.assertEqual(caught.exception.args[0]['msg'], 'brisklode-cli: Cannot open /x: No such file')
        run = cli.Run(2, [], '\nbrisklode-cli: Unknown option --x\n\nUsage: ...\n', ['c'])
        with self.assertRaises(Failed) as caught:
            cli.fail_on_cli_error(module, run)
        self.assertEqual(caught.exception.args[0]['msg'], 'brisklode-cli: brisklode-cli: Unknown option --x')
        cli.fail_on_cli_error(module, cli.Run(1, [{'event': 'result', 'status': 'failed'}], 'one failed', ['c']))
        self.assertTrue(cli.Run(-9, [], '', ['c']).killed)
        self.assertTrue(cli.Run(143, [], '', ['c']).killed)


if __name__ == '__main__':
    unittest.main()
