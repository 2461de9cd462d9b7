# -*- coding: utf-8 -*-
# The log module against recorded brisklode-cli output: which logs were written, what replaces what, check mode.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import os
import shutil
import tempfile
import unittest

from ansible_collections.velmor.brisklode.plugins.modules import brisklode_log
from ansible_collections.velmor.brisklode.tests.unit.plugins.modules.harness import lines, run_module

A, B = 'telnet 198.18.21.10:3000', 'telnet 198.18.21.11:3000'


def result(target, status, **fields):
    out = {'event': 'result', 'target': target, 'ok': status == 'ok', 'status': status, 'reason': '',
           'message': '...', 'warning': '', 'serial_number': None, 'call_sign': None, 'model': 'VX-4410'}
    out.update(fields)
    return out


def summary(**counts):
    out = {'event': 'summary', 'ok': 0, 'failed': 0, 'skipped': 0, 'cancelled': 0, 'not_started': 0}
    out.update(counts)
    return out


class LogTests(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)
        self.dest = os.path.join(self.folder, 'logs')

    def test_the_logs_written_are_the_change_and_a_modem_without_one_fails_the_task(self):
        out = lines({'event': 'start', 'command': 'log'},
                    result(A, 'ok', bytes=4096, file=self.dest + '/198.18.21.10_3000.log'),
                    result(B, 'failed', reason='transfer', bytes=0), summary(ok=1, failed=1))
        res, failed, calls, _ = run_module(brisklode_log.main, dict(dest=self.dest, existing='replace'), [(1, out, '')])
        self.assertEqual(calls[0]['command'][2:], ['--discovered', 'log', self.dest, '--overwrite'])
        self.assertTrue(os.path.isdir(self.dest))
        self.assertTrue(failed)
        self.assertTrue(res['changed'])
        self.assertEqual(res['files'], [self.dest + '/198.18.21.10_3000.log'])
        self.assertEqual(res['msg'], 'no log from: %s' % B)
        # By default an earlier log is kept (the command line gives the new one a name of its own); a run in
        # which no log was written changed nothing.
        out = lines({'event': 'start', 'command': 'log'}, result(A, 'skipped', reason='type'), summary(skipped=1))
        res, failed, calls, _ = run_module(brisklode_log.main, dict(dest=self.dest, type='U'), [(0, out, '')])
        self.assertNotIn('--overwrite', calls[0]['command'])
        self.assertFalse(failed)
        self.assertFalse(res['changed'])

    def test_check_mode_identifies_and_predicts_without_writing(self):
        out = lines({'event': 'start', 'command': 'identify'}, result(A, 'ok', firmware='7.2'),
                    result(B, 'failed', reason='connect'), summary(ok=1, failed=1))
        res, failed, calls, _ = run_module(brisklode_log.main, dict(dest=self.dest, existing='replace'), [(1, out, '')],
                                           check_mode=True)
        self.assertEqual(calls[0]['command'][2:], ['--discovered', 'identify'])
        self.assertFalse(os.path.exists(self.dest))
        self.assertTrue(failed)
        self.assertTrue(res['changed'])
        self.assertEqual(res['files'], [])
        out = lines({'event': 'start', 'command': 'identify'}, result(B, 'failed', reason='connect'), summary(failed=1))
        res, failed, _, _ = run_module(brisklode_log.main, dict(dest=self.dest), [(1, out, '')], check_mode=True)
        self.assertFalse(res['changed'])

    def test_a_run_that_fails_before_any_modem_still_returns_its_lists(self):
        out = lines({'event': 'error', 'message': 'No modem answered discovery'})
        res, failed, _, _ = run_module(brisklode_log.main, dict(dest=self.dest), [(1, out, '')])
        self.assertTrue(failed)
        self.assertEqual((res['msg'], res['modems'], res['files']), ('brisklode-cli: No modem answered discovery', [], []))


if __name__ == '__main__':
    unittest.main()
