# Unit tests of the collection's module_utils: reading brisklode-cli's events and building its arguments.
import importlib.util
import json
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PATH = os.path.join(HERE, '..', '..', 'ansible', 'plugins', 'module_utils', 'brisklode_cli.py')
module_spec = importlib.util.spec_from_file_location('brisklode_cli', PATH)
cli = importlib.util.module_from_spec(module_spec)
module_spec.loader.exec_module(cli)


class Failed(Exception):
    pass


class FakeModule:
    """What the helpers use of AnsibleModule; run_command answers with canned output."""

    def __init__(self, stdout='', rc=0, stderr='', **params):
        self.params = dict(targets=[], discovered=False, serial_numbers=[], call_signs=[], type=None, timeout=2000,
                           parallel=None, cli_path='/opt/brisklode-cli')
        self.params.update(params)
        self.reply = (rc, stdout, stderr)
        self.commands = []

    def run_command(self, command, environ_update=None):
        self.commands.append(command)
        return self.reply

    def fail_json(self, **result):
        raise Failed(result)

    def get_bin_path(self, name, required=False):
        return '/usr/bin/' + name


def lines(*events):
    return ''.join(json.dumps(e) + '\n' for e in events)


class EventTests(unittest.TestCase):
    def test_results_keep_status_and_reason_and_move_a_status_byte_aside(self):
        module = FakeModule(lines(
            {'event': 'start', 'command': 'update', 'images_by_type': {'U': {'size': 4}}},
            {'event': 'progress', 'target': 'telnet a:3000', 'percent': 50},
            {'event': 'result', 'target': 'telnet a:3000', 'ok': False, 'status': 'not-started', 'reason': 'canary'},
            {'event': 'result', 'target': 'telnet b:3000', 'ok': True, 'status': 7},
            {'event': 'result', 'target': 'telnet c:3000', 'ok': False, 'skipped': True},
            {'event': 'summary', 'targets': 3}), rc=1)
        rc, events, err, command = cli.run_json(module, ['update', 'x'])
        results, summary, errors, start = cli.split_events(events)
        self.assertEqual(command, ['/opt/brisklode-cli', '--json', 'update', 'x'])
        self.assertEqual([r['status'] for r in results], ['not-started', 'ok', 'skipped'])
        self.assertEqual(results[0]['reason'], 'canary')
        self.assertEqual(results[1]['status_byte'], 7)
        self.assertNotIn('event', results[0])
        self.assertEqual(summary, {'event': 'summary', 'targets': 3})
        self.assertEqual(start['images_by_type'], {'U': {'size': 4}})
        self.assertEqual(errors, [])

    def test_a_line_that_is_not_json_fails_the_module(self):
        with self.assertRaises(Failed) as caught:
            cli.run_json(FakeModule('Connecting...\n'), ['identify'])
        self.assertIn('not JSON', caught.exception.args[0]['msg'])

    def test_error_events_and_usage_errors_fail_with_their_message(self):
        module = FakeModule()
        with self.assertRaises(Failed) as caught:
            cli.fail_on_cli_error(module, 1, ['Cannot open /x: No such file'], '', ['c'])
        self.assertEqual(caught.exception.args[0]['msg'], 'brisklode-cli: Cannot open /x: No such file')
        with self.assertRaises(Failed) as caught:
            cli.fail_on_cli_error(module, 2, [], '\nbrisklode-cli: Unknown option --x\n\nUsage: ...\n', ['c'])
        self.assertEqual(caught.exception.args[0]['msg'], 'brisklode-cli: brisklode-cli: Unknown option --x')
        cli.fail_on_cli_error(module, 1, [], 'one modem failed', ['c'])  # a target's failure is the module's to judge


class TargetTests(unittest.TestCase):
    def test_listed_targets(self):
        module = FakeModule(targets=['telnet 198.18.21.10:3000', 'serial /dev/ttyUSB0 115200', '198.18.21.11'],
                            type='U', parallel=2)
        self.assertEqual(cli.target_arguments(module),
                         ['--telnet', '198.18.21.10:3000', '--serial', '/dev/ttyUSB0', '--baud', '115200',
                          '--telnet', '198.18.21.11', '--type', 'U', '--parallel', '2'])

    def test_discovered_by_default_with_filters(self):
        module = FakeModule(serial_numbers=['0A', '0B'], call_signs=['PUMP1'], timeout=3000)
        self.assertEqual(cli.target_arguments(module),
                         ['--discovered', '--timeout', '3000', '--serial-number', '0A,0B', '--call', 'PUMP1'])

    def test_filters_need_discovery_and_targets_are_well_formed(self):
        for params in (dict(targets=['a'], serial_numbers=['0A']), dict(targets=['a'], discovered=True),
                       dict(targets=['ftp a b'])):
            with self.assertRaises(Failed):
                cli.target_arguments(FakeModule(**params))


if __name__ == '__main__':
    sys.exit(unittest.main())
