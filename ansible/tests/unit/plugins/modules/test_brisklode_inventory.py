# -*- coding: utf-8 -*-
# The inventory module against recorded brisklode-cli output: missing and unidentified modems, a killed run.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import unittest

from ansible_collections.velmor.brisklode.plugins.modules import brisklode_inventory
from ansible_collections.velmor.brisklode.tests.unit.plugins.modules.harness import lines, run_module


def found(address, status='ok'):
    return {'event': 'result', 'target': 'telnet %s:3000' % address, 'ok': status == 'ok', 'status': status,
            'reason': '' if status == 'ok' else 'identity', 'message': 'No identity reply', 'warning': '',
            'address': address, 'port': 3000, 'serial_number': '0000000005100100', 'call_sign': 'S1M0',
            'status_byte': 0, 'model': 'VX-4410', 'firmware': '7.2', 'type': 'U'}


OUT = lines({'event': 'start', 'command': 'inventory'}, found('198.18.21.11', 'failed'), found('198.18.21.9'),
            {'event': 'summary', 'command': 'inventory', 'ok': 1, 'failed': 1, 'not_started': 0})


class InventoryTests(unittest.TestCase):
    def test_modems_in_address_order_an_unidentified_one_warned_about(self):
        res, failed, calls, warnings = run_module(brisklode_inventory.main, dict(discovery_timeout=1.5), [(1, OUT, '')])
        self.assertFalse(failed)
        self.assertEqual(calls[0]['command'], ['/usr/bin/brisklode-cli', '--json', 'inventory', '--timeout', '1500'])
        self.assertEqual([m['address'] for m in res['modems']], ['198.18.21.9', '198.18.21.11'])
        self.assertEqual(res['ansible_facts']['brisklode_modems'], res['modems'])
        self.assertEqual(res['unidentified'], ['198.18.21.11'])
        self.assertEqual(warnings, ['198.18.21.11 answered discovery but not the identity check: No identity reply'])

    def test_fewer_modems_than_expected_or_a_killed_run_fail(self):
        res, failed, _, _ = run_module(brisklode_inventory.main, dict(expected_count=3), [(1, OUT, '')])
        self.assertTrue(failed)
        self.assertEqual(res['msg'], '2 modem(s) found, 3 expected')
        self.assertEqual(res['count'], 2)
        res, failed, _, _ = run_module(brisklode_inventory.main, dict(timeout=30), [(124, OUT, '')])
        self.assertTrue(failed)
        self.assertEqual(res['msg'], 'brisklode-cli stopped at the deadline of 30 s')
        self.assertEqual(res['count'], 2)


if __name__ == '__main__':
    unittest.main()
