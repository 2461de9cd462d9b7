# -*- coding: utf-8 -*-
# The update module against recorded brisklode-cli output: what changed, what failed, the plan, the deadline.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import os
import shutil
import tempfile
import unittest

from ansible_collections.velmor.brisklode.plugins.modules import brisklode_update
from ansible_collections.velmor.brisklode.tests.unit.plugins.modules.harness import lines, run_module

SHA = 'cf' * 32
IMAGE = {'path': '/srv/fw-7.3.qz7', 'size': 65536, 'sha256': SHA}
A, B, C = 'telnet 198.18.21.10:3000', 'telnet 198.18.21.11:3000', 'telnet 198.18.21.12:3000'


def start(*targets):
    return {'event': 'start', 'command': 'update', 'targets': len(targets), 'target_list': list(targets),
            'image': None, 'images_by_type': {'U': IMAGE}}


def result(target, status, reason='', sent=65536, before='7.2', after=None, warning=''):
    return {'event': 'result', 'target': target, 'ok': status == 'ok', 'status': status, 'reason': reason,
            'message': '...', 'warning': warning, 'model': 'VX-4410', 'firmware': before, 'type': 'U',
            'bytes': sent, 'protocol': 'fast', 'image_sha256': SHA, 'image_sent': sent == IMAGE['size'],
            'firmware_before': before, 'firmware_after': after, 'seconds': 2.0}


def progress(target, stage, sent):
    return {'event': 'progress', 'target': target, 'stage': stage, 'percent': 100, 'detail': '', 'bytes': sent}


def summary(**counts):
    out = {'event': 'summary', 'command': 'update', 'ok': 0, 'failed': 0, 'skipped': 0, 'cancelled': 0,
           'not_started': 0, 'seconds': 3.5}
    out.update(counts)
    return out


def plan(target, action, reason='', firmware='7.2', type_code='U'):
    return {'event': 'plan', 'target': target, 'action': action, 'reason': reason, 'message': '...',
            'warning': '', 'serial_number': '0000000005100100', 'call_sign': 'S1M0', 'model': 'VX-4410',
            'type': type_code, 'firmware': firmware, 'image': IMAGE if action == 'update' else None,
            'transfer': 'fast' if action == 'update' else None, 'canary': target == A}


def planned(*targets):
    """The reply of a plan in which every target would be updated."""
    return 0, lines(*([start(*targets)] + [plan(t, 'update') for t in targets] +
                      [result(t, 'not-started', 'plan', sent=0) for t in targets] +
                      [summary(not_started=len(targets))])), ''


ARGS = dict(images={'U': '/srv/fw-7.3.qz7'}, expect_firmware='7.3', discovered=True)


class UpdateOutcomeTests(unittest.TestCase):
    def test_an_image_that_went_in_is_changed_even_when_the_task_fails(self):
        # A came back at the wrong version, B at the same one (a warning), C lost its link at the verdict
        # after the whole image (the command line says image_sent), D's transfer broke off.
        D = 'telnet 198.18.21.13:3000'
        out = lines(start(A, B, C, D),
                    result(A, 'failed', 'version', after='7.1'),
                    result(B, 'ok', 'unchanged', after='7.2', warning='firmware version unchanged after the update (7.2)'),
                    result(C, 'failed', 'verify'),
                    result(D, 'failed', 'transfer', sent=4096),
                    summary(ok=1, failed=3))
        res, failed, calls, warnings = run_module(brisklode_update.main, ARGS, [planned(A, B, C, D), (1, out, '')],
                                                  diff=True)
        self.assertTrue(failed)
        self.assertTrue(res['changed'])
        self.assertEqual(res['updated'], [A, B, C])
        self.assertEqual([m['changed'] for m in res['modems']], [True, True, True, False])
        self.assertIn('3 of 4 modem(s) not updated', res['msg'])
        self.assertEqual(res['counts']['failed'], 3)
        self.assertEqual(res['summary']['not-started'], 0)
        self.assertNotIn('not_started', res['summary'])
        self.assertEqual(warnings, ['%s: firmware version unchanged after the update (7.2)' % B])
        self.assertEqual([(d['before_header'], d['after']) for d in res['diff']],
                         [(A, 'firmware 7.1\n'), (B, 'firmware 7.2\n'), (C, 'firmware None\n')])
        self.assertEqual([c['command'][-1] for c in calls], ['--plan', '--yes'])
        self.assertEqual(calls[1]['command'][:3], ['/usr/bin/brisklode-cli', '--json', '--discovered'])
        self.assertEqual(calls[0]['command'][:-1], calls[1]['command'])

    def test_expected_count_and_every_other_guard_is_checked_on_the_plan_before_anything_is_sent(self):
        # Two of three modems answer, and the one of another type would be skipped: the run never starts.
        out = lines(start(A, B), plan(A, 'update'), plan(B, 'skip', 'type', type_code='I'),
                    result(A, 'not-started', 'plan', sent=0), result(B, 'failed', 'type', sent=0), summary(skipped=1))
        args = dict(ARGS, expected_count=3, fail_on_skipped=True, record='/var/log/r.jsonl')
        res, failed, calls, _ = run_module(brisklode_update.main, args, [(1, out, '')])
        self.assertEqual(len(calls), 1)
        self.assertIn('--plan', calls[0]['command'])
        self.assertTrue(failed)
        self.assertFalse(res['changed'])
        self.assertEqual((res['updated'], [m['changed'] for m in res['modems']]), ([], [False, False]))
        self.assertEqual(res['msg'], 'nothing was sent: 1 of 2 modem(s) would not be updated: %s skip (type); '
                                     '2 modem(s) found, 3 expected' % B)
        # The image the command line read is not the one the controller has.
        res, failed, calls, _ = run_module(brisklode_update.main, dict(ARGS, expect_sha256=['ab' * 32, 'ab' * 32]),
                                           [planned(A)])
        self.assertEqual((failed, len(calls)), (True, 1))
        self.assertEqual(res['msg'], 'nothing was sent: the images read (SHA-256 %s) are not the ones expected (%s)'
                         % (SHA, 'ab' * 32))
        res, failed, calls, _ = run_module(brisklode_update.main, dict(ARGS, expect_sha256=[SHA, SHA]), [planned(A)],
                                           check_mode=True)
        self.assertFalse(failed)

    def test_a_killed_command_line_keeps_what_it_said_and_names_what_is_unknown(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        record = os.path.join(folder, 'rollout.jsonl')
        with open(record, 'w') as f:
            f.write('{"event":"record","target":"telnet 198.18.21.99:3000","status":"ok","bytes":1}\n')

        def killed_while_waiting(command):
            # The record line of B was written, its result line never reached standard output; the journal's
            # run and start lines are no results, whatever fields they carry.
            with open(record, 'a') as f:
                f.write(lines({'event': 'run', 'command': 'update'},
                              {'event': 'start', 'target': C, 'status': 'started', 'bytes': 0},
                              dict(result(B, 'failed', 'reboot'), event='record')))
            return -9, lines(start(A, B, C), plan(A, 'update'), plan(B, 'update'), plan(C, 'update'),
                             result(A, 'ok', after='7.3'), progress(B, 'Waiting for restart', 65536),
                             progress(C, 'Sending', 4096)), ''

        res, failed, calls, warnings = run_module(brisklode_update.main, dict(ARGS, record=record),
                                                  [planned(A, B, C), killed_while_waiting])
        self.assertTrue(failed)
        self.assertTrue(res['changed'])
        self.assertEqual([m['status'] for m in res['modems']], ['ok', 'failed', 'unknown'])
        self.assertTrue(res['modems'][1]['from_record'])
        self.assertEqual(res['updated'], [A, B])
        self.assertEqual(res['unknown'], [C])
        self.assertEqual((res['modems'][2]['type'], res['modems'][2]['firmware']), ('U', '7.2'))
        self.assertIn('killed by signal 9; state unknown: ' + C, res['msg'])
        self.assertEqual(res['rc'], -9)

    def test_a_line_cut_by_the_kill_is_the_killed_run_and_a_modem_without_result_always_fails(self):
        out = lines(start(A, B), result(A, 'ok', after='7.3')) + '{"event": "result", "target": "tel'
        res, failed, _, _ = run_module(brisklode_update.main, ARGS, [planned(A, B), (-9, out, '')])
        self.assertTrue(failed)
        self.assertEqual(res['msg'], 'brisklode-cli killed by signal 9; state unknown: %s' % B)
        # A command line that ended on its own with exit 0 but said nothing of B.
        out = lines(start(A, B), result(A, 'ok', after='7.3'), summary(ok=1))
        res, failed, _, _ = run_module(brisklode_update.main, ARGS, [planned(A, B), (0, out, '')])
        self.assertTrue(failed)
        self.assertEqual(res['unknown'], [B])
        self.assertEqual(res['msg'], 'brisklode-cli exit status 0 without a result for: %s' % B)

    def test_the_deadline_stops_the_command_line_and_every_unreported_modem_is_unknown(self):
        out = lines(start(A, B), progress(A, 'Waiting for restart', 65536))
        res, failed, calls, warnings = run_module(brisklode_update.main, dict(ARGS, timeout=600),
                                                  [planned(A, B), (124, out, '')])
        self.assertEqual(calls[0]['command'][:5], ['/usr/bin/timeout', '--kill-after=15', '--signal=TERM', '600',
                                                   '/usr/bin/brisklode-cli'])
        # The run has what the plan left of the deadline.
        self.assertIn(calls[1]['command'][3], ('599', '600'))
        self.assertTrue(failed)
        self.assertIn('stopped at the deadline of 600 s', res['msg'])
        self.assertEqual(res['unknown'], [A, B])
        self.assertEqual(res['updated'], [A])

    def test_skipped_modems_pass_and_a_modem_lost_after_the_plan_fails(self):
        out = lines(start(A), dict(result(A, 'skipped', 'type', sent=0), type='I'), summary(skipped=1))
        res, failed, _, _ = run_module(brisklode_update.main, ARGS, [planned(A), (0, out, '')])
        self.assertFalse(failed)
        self.assertFalse(res['changed'])
        # A modem that vanished between the plan and the run is still counted against expected_count.
        out = lines(start(A), result(A, 'ok', after='7.3'), summary(ok=1))
        res, failed, _, _ = run_module(brisklode_update.main, dict(ARGS, expected_count=2), [planned(A, B), (0, out, '')])
        self.assertTrue(failed)
        self.assertTrue(res['changed'])
        self.assertEqual(res['msg'], '1 modem(s) found, 2 expected')


class PlanTests(unittest.TestCase):
    def test_check_mode_is_the_command_lines_plan(self):
        # A plain image beside one by type: the plan, not a guess from the identity, says who is updated.
        out = lines(start(A, B, C), plan(A, 'update', type_code='I'), plan(B, 'skip', 'current', '7.3'),
                    plan(C, 'update'),
                    dict(result(A, 'not-started', 'plan', sent=0), type='I'),
                    result(B, 'skipped', 'current', sent=0, before='7.3'),
                    result(C, 'not-started', 'plan', sent=0), summary(skipped=1, not_started=2))
        args = dict(ARGS, firmware='/srv/any.qz7', record='/var/log/r.jsonl')
        res, failed, calls, _ = run_module(brisklode_update.main, args, [(0, out, '')], check_mode=True, diff=True)
        self.assertFalse(failed)
        self.assertTrue(res['changed'])
        self.assertEqual(res['would_update'], [A, C])
        self.assertEqual(res['actions'], {'update': 2, 'skip': 1, 'fail': 0})
        self.assertEqual(res['counts']['not-started'], 2)
        self.assertEqual([d['after'] for d in res['diff']], ['firmware 7.3\n', 'firmware 7.3\n'])
        command = calls[0]['command']
        self.assertIn('--plan', command)
        self.assertIn('/srv/any.qz7', command)
        self.assertNotIn('--record', command)
        self.assertNotIn('--strict', command)
        # With fail_on_skipped the dry run fails where the run would: B would be skipped.
        res, failed, calls, _ = run_module(brisklode_update.main, dict(args, fail_on_skipped=True), [(0, out, '')],
                                           check_mode=True)
        self.assertIn('--strict', calls[0]['command'])
        self.assertTrue(failed)
        self.assertEqual(res['msg'], '1 of 3 modem(s) would not be updated: %s skip (current)' % B)

    def test_a_plan_that_cannot_be_carried_out_fails_as_the_run_would(self):
        out = lines(start(A, B), plan(A, 'update'), plan(B, 'fail', 'not-found'),
                    result(A, 'not-started', 'plan', sent=0), result(B, 'failed', 'not-found', sent=0), summary())
        res, failed, _, _ = run_module(brisklode_update.main, ARGS, [(1, out, '')], check_mode=True)
        self.assertTrue(failed)
        self.assertIn('%s fail (not-found)' % B, res['msg'])
        # A missing image stops the plan before any modem, as it stops the run.
        out = lines({'event': 'error', 'message': 'Cannot open /srv/fw-7.3.qz7: No such file or directory'})
        res, failed, _, _ = run_module(brisklode_update.main, ARGS, [(1, out, '')], check_mode=True)
        self.assertTrue(failed)
        self.assertFalse(res.get('changed'))
        self.assertEqual(res['msg'], 'brisklode-cli: Cannot open /srv/fw-7.3.qz7: No such file or directory')


class InterfaceTests(unittest.TestCase):
    def test_each_serial_target_keeps_its_baud_rate(self):
        out = lines(start('serial /dev/ttyS0', 'serial /dev/ttyS1'), summary())
        args = dict(firmware='/srv/fw.qz7', expect_firmware='7.3',
                    targets=['serial /dev/ttyS0 9600', 'serial /dev/ttyS1 115200', '198.18.21.10'])
        res, failed, calls, _ = run_module(brisklode_update.main, args, [(0, out, '')])
        self.assertEqual(calls[0]['command'][2:5], ['--targets', '-', 'update'])
        self.assertEqual(calls[0]['data'], 'serial /dev/ttyS0 9600\nserial /dev/ttyS1 115200\ntelnet 198.18.21.10\n')

    def test_bad_values_fail_before_the_command_line_runs(self):
        for args in (dict(parallel=0), dict(confirm=-5), dict(force=True, expect_firmware=None),
                     dict(targets=['a'], discovered=True), dict(discovery_timeout=0),
                     dict(targets=['ftp a b'], discovered=False), dict(cli_path='/nonexistent/brisklode-cli')):
            given = dict((key, value) for key, value in dict(ARGS, **args).items() if value is not None)
            res, failed, calls, _ = run_module(brisklode_update.main, given, [(0, '', '')])
            self.assertTrue(failed, args)
            self.assertEqual(calls, [], args)
        self.assertEqual(res['msg'], 'cli_path /nonexistent/brisklode-cli is not an executable file on the site host')


if __name__ == '__main__':
    unittest.main()
