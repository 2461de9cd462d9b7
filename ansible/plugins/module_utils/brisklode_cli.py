# -*- coding: utf-8 -*-
# Running brisklode-cli with --json on the site host and reading its events; shared by the collection's modules.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

# The words a result's "status" may hold. Older command lines carried only "ok" and "skipped"; their
# results are mapped onto the same words so that a playbook never has to care which one ran.
STATUSES = ('ok', 'failed', 'skipped', 'cancelled', 'not-started')

# Target selection shared by every module that works on modems: listed targets or discovered ones.
TARGET_ARGS = dict(
    targets=dict(type='list', elements='str', default=[]),
    discovered=dict(type='bool', default=False),
    serial_numbers=dict(type='list', elements='str', default=[]),
    call_signs=dict(type='list', elements='str', default=[]),
    type=dict(type='str'),
    timeout=dict(type='int', default=2000),
    parallel=dict(type='int'),
    cli_path=dict(type='path'),
)


def cli_binary(module):
    if module.params.get('cli_path'):
        return module.params['cli_path']
    return module.get_bin_path('brisklode-cli', required=True)


def target_arguments(module):
    """The options naming the modems: --telnet/--serial for listed targets, else --discovered with filters."""
    p = module.params
    args = []
    for target in p['targets']:
        words = target.split()
        if len(words) >= 2 and words[0] in ('telnet', 'serial'):
            args += ['--' + words[0], words[1]]
            if words[0] == 'serial' and len(words) == 3:
                args += ['--baud', words[2]]
        elif len(words) == 1:
            args += ['--telnet', words[0]]
        else:
            module.fail_json(msg="targets: '%s' is not 'telnet HOST[:PORT]', 'serial PORT [BAUD]' or HOST[:PORT]" % target)
    if p['discovered'] or not p['targets']:
        if p['targets']:
            module.fail_json(msg='targets and discovered exclude each other')
        args += ['--discovered', '--timeout', str(p['timeout'])]
        if p['serial_numbers']:
            args += ['--serial-number', ','.join(p['serial_numbers'])]
        if p['call_signs']:
            args += ['--call', ','.join(p['call_signs'])]
    elif p['serial_numbers'] or p['call_signs']:
        module.fail_json(msg='serial_numbers and call_signs narrow discovered modems; they do not apply to listed targets')
    if p.get('type'):
        args += ['--type', p['type']]
    if p.get('parallel'):
        args += ['--parallel', str(p['parallel'])]
    return args


def run_json(module, args):
    """Runs brisklode-cli --json ARGS; returns (exit status, events, stderr, command)."""
    command = [cli_binary(module), '--json'] + args
    rc, out, err = module.run_command(command, environ_update=dict(LC_ALL='C.UTF-8'))
    events = []
    for line in out.splitlines():
        line = line.strip()
        if not line:
            continue
        try:
            event = json.loads(line)
        except ValueError:
            module.fail_json(msg='brisklode-cli wrote a line that is not JSON: %s' % line[:300], rc=rc,
                             stderr=err, cmd=command)
        if isinstance(event, dict):
            events.append(event)
    return rc, events, err, command


def status_of(result):
    status = result.get('status')
    if isinstance(status, str) and status in STATUSES:
        return status
    if result.get('ok'):
        return 'ok'
    return 'skipped' if result.get('skipped') else 'failed'


def modem_result(result):
    """A result event in the form the modules return: the status word always present, nothing dropped."""
    out = dict(result)
    out.pop('event', None)
    # Before the status word, inventory's "status" was the discovery status byte.
    if isinstance(result.get('status'), int):
        out['status_byte'] = result['status']
    out['status'] = status_of(result)
    out.setdefault('reason', None)
    return out


def split_events(events):
    results = [modem_result(e) for e in events if e.get('event') == 'result']
    summary = next((e for e in reversed(events) if e.get('event') == 'summary'), None)
    errors = [e.get('message', '') for e in events if e.get('event') == 'error']
    start = next((e for e in events if e.get('event') == 'start'), None)
    return results, summary, errors, start


def fail_on_cli_error(module, rc, errors, err, command, **extra):
    """A run that failed before any target (usage, a missing file, no modem left) or was stopped by a signal."""
    if errors or rc == 2 or rc >= 128:
        # Without an error event, a usage error's first line says what was wrong (the rest is help).
        lines = [line for line in err.splitlines() if line.strip()]
        message = '; '.join(errors) if errors else (lines[0] if lines else 'exit status %d' % rc)
        module.fail_json(msg='brisklode-cli: %s' % message, rc=rc, stderr=err, cmd=command, **extra)
