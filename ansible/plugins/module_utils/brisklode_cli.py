# -*- coding: utf-8 -*-
# Copyright: Velmor. Proprietary; the same terms as brisklode-cli (see LICENSE in the collection).
# Running brisklode-cli with --json on the site host and judging what it reported; shared by the collection's modules.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os

# The words a result's "status" may hold, spelled as the command line spells them. "unknown" is the
# collection's own: a modem the command line named but never reported on, because it was killed.
STATUSES = ('ok', 'failed', 'skipped', 'cancelled', 'not-started', 'unknown')

# The options every module has: the program and the deadline.
COMMON_ARGS = dict(
    cli_path=dict(type='path'),
    timeout=dict(type='int'),
)

# Discovery, for every module that can discover modems.
DISCOVERY_ARGS = dict(
    discovery_timeout=dict(type='float'),
    expected_count=dict(type='int'),
)
DISCOVERY_ARGS.update(COMMON_ARGS)

# Target selection shared by every module that works on modems: listed targets or discovered ones.
TARGET_ARGS = dict(
    targets=dict(type='list', elements='str', default=[]),
    discovered=dict(type='bool', default=False),
    serial_numbers=dict(type='list', elements='str', default=[]),
    call_signs=dict(type='list', elements='str', default=[]),
    type=dict(type='str'),
    parallel=dict(type='int'),
)
TARGET_ARGS.update(DISCOVERY_ARGS)
TARGET_EXCLUSIVE = [('targets', 'discovered'), ('targets', 'serial_numbers'), ('targets', 'call_signs'),
                    ('targets', 'discovery_timeout')]

# The allowed range of each number, as the command line checks it, so that a playbook hears of a bad
# value before any modem is touched.
RANGES = dict(timeout=(1, 604800), discovery_timeout=(0.001, 3600), parallel=(1, 256), expected_count=(0, 100000),
              canary=(1, 1000000), max_failures=(1, 1000000), confirm=(1, 86400), retries=(0, 20),
              connect_timeout=(1, 3600))

# After the deadline the command line gets SIGTERM (it then tells each running modem's result); this long
# after, SIGKILL.
KILL_GRACE_SECONDS = 15


def check_ranges(module):
    for name, (low, high) in sorted(RANGES.items()):
        value = module.params.get(name)
        if value is not None and not low <= value <= high:
            module.fail_json(msg='%s must be between %s and %s, not %s' % (name, low, high, value))


def cli_binary(module):
    path = module.params.get('cli_path')
    if not path:
        return module.get_bin_path('brisklode-cli', required=True)
    if not os.path.isfile(path) or not os.access(path, os.X_OK):
        module.fail_json(msg='cli_path %s is not an executable file on %s' % (path, 'the site host'))
    return path


def discovery_arguments(module):
    timeout = module.params.get('discovery_timeout')
    return [] if timeout is None else ['--timeout', str(int(round(timeout * 1000)))]


def target_arguments(module):
    """The options naming the modems, and the target list given on standard input (or None).

    Listed targets go in as a list on standard input: it is the one form in which each serial target
    keeps a baud rate of its own."""
    p = module.params
    args = []
    lines = []
    for target in p['targets']:
        words = target.split()
        if len(words) == 2 and words[0] == 'telnet' or len(words) in (2, 3) and words[0] == 'serial':
            lines.append(' '.join(words))
        elif len(words) == 1 and words[0] not in ('telnet', 'serial'):
            lines.append('telnet ' + words[0])
        else:
            module.fail_json(msg="targets: '%s' is not 'telnet HOST[:PORT]', 'serial PORT [BAUD]' or HOST[:PORT]" % target)
    if lines:
        args += ['--targets', '-']
    else:
        args += ['--discovered'] + discovery_arguments(module)
        if p['serial_numbers']:
            args += ['--serial-number', ','.join(p['serial_numbers'])]
        if p['call_signs']:
            args += ['--call', ','.join(p['call_signs'])]
    if p.get('type'):
        args += ['--type', p['type']]
    if p.get('parallel'):
        args += ['--parallel', str(p['parallel'])]
    return args, (''.join(line + '\n' for line in lines) if lines else None)


class Run(object):
    """One run of the command line: its exit status, its events in order, its standard error."""

    def __init__(self, rc, events, err, command, timeout=None):
        self.rc = rc
        self.events = events
        self.err = err
        self.command = command
        self.timeout_seconds = timeout
        # timeout(1) answers 124 when it stopped the command with SIGTERM, 128 + 9 after SIGKILL.
        self.timed_out = timeout is not None and rc in (124, 137)
        self.killed = self.timed_out or rc < 0 or rc >= 128

    def first(self, kind):
        return next((e for e in self.events if e.get('event') == kind), None)

    def last(self, kind):
        return next((e for e in reversed(self.events) if e.get('event') == kind), None)

    def all(self, kind):
        return [e for e in self.events if e.get('event') == kind]

    def how_it_ended(self):
        if self.timed_out:
            return 'stopped at the deadline of %d s' % self.timeout_seconds
        if self.rc < 0:
            return 'killed by signal %d' % -self.rc
        if self.rc >= 128:
            return 'ended by signal %d' % (self.rc - 128)
        return 'exit status %d' % self.rc

    def stderr_tail(self):
        return self.err[-2000:]


def run_json(module, args, data=None):
    """Runs brisklode-cli --json ARGS (under the module's deadline when one is set); returns a Run."""
    command = [cli_binary(module), '--json'] + args
    timeout = module.params.get('timeout')
    if timeout:
        command = [module.get_bin_path('timeout', required=True), '--kill-after=%d' % KILL_GRACE_SECONDS,
                   '--signal=TERM', str(timeout)] + command
    rc, out, err = module.run_command(command, data=data, binary_data=True, environ_update=dict(LC_ALL='C.UTF-8'))
    events = []
    for line in out.splitlines():
        line = line.strip()
        if not line:
            continue
        try:
            event = json.loads(line)
        except ValueError:
            module.fail_json(msg='brisklode-cli wrote a line that is not JSON: %s' % line[:300], rc=rc,
                             stderr=err[-2000:], cmd=command)
        if isinstance(event, dict):
            events.append(event)
    return Run(rc, events, err, command, timeout)


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


def summary_of(run):
    """The summary event with the status words as the results spell them."""
    summary = run.last('summary')
    if summary is None:
        return None
    out = dict((key, value) for key, value in summary.items() if key not in ('event', 'succeeded', 'not_started'))
    if 'not_started' in summary:
        out['not-started'] = summary['not_started']
    return out


def counts_of(modems):
    counts = dict((status, 0) for status in STATUSES)
    for modem in modems:
        counts[modem['status']] = counts.get(modem['status'], 0) + 1
    return counts


def fail_on_cli_error(module, run, **extra):
    """A run that failed before any target: usage, a missing file, no modem left to work on."""
    errors = [e.get('message', '') for e in run.all('error')]
    if errors or run.rc == 2 and not run.all('result'):
        # Without an error event, a usage error's first line says what was wrong (the rest is help).
        lines = [line for line in run.err.splitlines() if line.strip()]
        message = '; '.join(errors) if errors else (lines[0] if lines else run.how_it_ended())
        module.fail_json(msg='brisklode-cli: %s' % message, rc=run.rc, stderr=run.stderr_tail(), cmd=run.command,
                         **extra)


def fail_on_killed(module, run, **extra):
    if run.killed:
        module.fail_json(msg='brisklode-cli %s' % run.how_it_ended(), rc=run.rc, stderr=run.stderr_tail(),
                         cmd=run.command, **extra)


def expected_count_problem(expected, found):
    if expected is not None and found < expected:
        return '%d modem(s) found, %d expected' % (found, expected)
    return None


# --- the outcome of an update ---

def image_sizes(start):
    """Image size by SHA-256 and by type code, from the start event."""
    by_sha, by_type, plain = {}, {}, None
    if start:
        if isinstance(start.get('image'), dict):
            plain = start['image'].get('size')
            by_sha[start['image'].get('sha256')] = plain
        for type_code, image in (start.get('images_by_type') or {}).items():
            if isinstance(image, dict):
                by_type[type_code] = image.get('size')
                by_sha[image.get('sha256')] = image.get('size')
    return by_sha, by_type, plain


def may_have_new_image(modem, sizes):
    """Whether the modem may now hold the image: it took it (ok), its version moved, or the whole image went
    out and the modem did not refuse it (a failed verification is a refusal; a modem that did not come
    back, came back at another version, or was cancelled then may well have installed it)."""
    sent = modem.get('bytes') or 0
    if modem['status'] == 'ok':
        return sent > 0
    before, after = modem.get('firmware_before'), modem.get('firmware_after')
    if after and before and after != before:
        return True
    by_sha, by_type, plain = sizes
    # A modem never reported on has no type: the smallest image is the one it may have taken whole.
    size = (by_sha.get(modem.get('image_sha256')) or by_type.get(modem.get('type')) or plain or
            min([s for s in by_type.values() if s] or [0]))
    return bool(size) and sent >= size and modem.get('reason') != 'verify'


def last_progress(run):
    """Per target, the last progress event."""
    progress = {}
    for event in run.all('progress'):
        progress[event.get('target')] = event
    return progress


def record_lines(text):
    lines = []
    for line in text.splitlines():
        try:
            record = json.loads(line)
        except ValueError:
            continue
        # The record is a journal: its run and start lines announce work, only its result lines tell outcomes.
        if isinstance(record, dict) and record.get('target') and record.get('event', 'record') == 'record':
            lines.append(record)
    return lines


def update_outcome(run, params, records=()):
    """Judges an update run: (response, failure message or None).

    Every target named at the start gets one entry: its result, else its record line (the command line
    was killed after writing it), else status "unknown" with its plan and the progress seen. `changed` holds for each
    modem that may have a new image, whether or not the task fails."""
    start = run.first('start')
    sizes = image_sizes(start)
    results = dict((e.get('target'), modem_result(e)) for e in run.all('result'))
    from_record = dict((r['target'], r) for r in records)
    progress = last_progress(run)
    plans = dict((e.get('target'), e) for e in run.all('plan'))
    labels = list((start or {}).get('target_list') or [])
    labels += [label for label in results if label not in labels]
    modems = []
    for label in labels:
        if label in results:
            modem = results[label]
        elif label in from_record:
            modem = modem_result(from_record[label])
            modem['from_record'] = True
        else:
            seen = progress.get(label, {})
            modem = dict((key, value) for key, value in plans.get(label, {}).items()
                         if key in ('serial_number', 'call_sign', 'model', 'type', 'firmware', 'action'))
            modem.update(target=label, status='unknown', reason=None, bytes=seen.get('bytes', 0),
                         message='no result: brisklode-cli %s%s' % (
                             run.how_it_ended(), ' during "%s"' % seen['stage'] if seen.get('stage') else ''))
        modem['changed'] = may_have_new_image(modem, sizes)
        modems.append(modem)

    counts = counts_of(modems)
    response = dict(changed=any(m['changed'] for m in modems), modems=modems, counts=counts,
                    updated=[m['target'] for m in modems if m['changed']],
                    unknown=[m['target'] for m in modems if m['status'] == 'unknown'],
                    summary=summary_of(run), rc=run.rc)
    add_image(response, start)
    response['diff'] = [dict(before_header=m['target'], after_header=m['target'],
                             before='firmware %s\n' % m.get('firmware_before', m.get('firmware')),
                             after='firmware %s\n' % m.get('firmware_after', 'unknown'))
                        for m in modems if m['changed']]

    problems = []
    if run.killed:
        unknown = response['unknown']
        problems.append('brisklode-cli %s' % run.how_it_ended() +
                        ('; state unknown: %s' % ', '.join(unknown) if unknown else ''))
    unfinished = [m for m in modems if m['status'] not in ('ok', 'skipped', 'unknown')]
    if params.get('fail_on_skipped'):
        unfinished += [m for m in modems if m['status'] == 'skipped']
    if unfinished:
        problems.append('%d of %d modem(s) not updated: %s' % (len(unfinished), len(modems), listed(unfinished, 'status')))
    return response, judged(problems, run, params.get('expected_count'), len(modems))


def add_image(response, start):
    """The image, or the images by type, that the run's start event names."""
    if start:
        response['image'] = start.get('image')
        response['images_by_type'] = start.get('images_by_type') or {}


def listed(modems, word):
    """'target WORD (reason)' for each modem, where WORD is its status or action."""
    return ', '.join('%s %s%s' % (m['target'], m.get(word), ' (%s)' % m['reason'] if m.get('reason') else '')
                     for m in modems)


def judged(problems, run, expected_count, found):
    """The task's failure message or None: its problems, a count short of the expected one, else a command
    line that did not end in success."""
    short = expected_count_problem(expected_count, found)
    if short:
        problems.append(short)
    if not problems and run.rc != 0:
        problems.append('brisklode-cli %s' % run.how_it_ended())
    return '; '.join(problems) or None


def plan_outcome(run, params):
    """Judges an update plan (check mode): (response, failure message or None). A modem the plan would
    update counts as changed; a modem it could not plan fails the task as the run would."""
    start = run.first('start')
    results = dict((e.get('target'), modem_result(e)) for e in run.all('result'))
    modems = []
    for plan in run.all('plan'):
        modem = dict(plan)
        modem.pop('event', None)
        result = results.get(plan.get('target'), {})
        modem['status'] = result.get('status', 'not-started' if plan.get('action') == 'update' else 'failed')
        modem['would_update'] = plan.get('action') == 'update'
        modem['changed'] = modem['would_update']
        modems.append(modem)
    actions = dict((action, sum(1 for m in modems if m.get('action') == action)) for action in ('update', 'skip', 'fail'))
    response = dict(changed=actions['update'] > 0, modems=modems, counts=counts_of(modems), actions=actions,
                    updated=[], would_update=[m['target'] for m in modems if m['would_update']],
                    unknown=[], summary=summary_of(run), rc=run.rc)
    add_image(response, start)
    response['diff'] = [dict(before_header=m['target'], after_header=m['target'],
                             before='firmware %s\n' % m.get('firmware'),
                             after='firmware %s\n' % (params.get('expect_firmware') or 'from %s' % (
                                 (m.get('image') or {}).get('path'))))
                        for m in modems if m['would_update']]
    problems = []
    if run.killed:
        problems.append('brisklode-cli %s before the plan was complete' % run.how_it_ended())
    refused = [m for m in modems if m.get('action') == 'fail']
    if params.get('fail_on_skipped'):
        refused += [m for m in modems if m.get('action') == 'skip']
    if refused:
        problems.append('%d of %d modem(s) would not be updated: %s' % (len(refused), len(modems), listed(refused, 'action')))
    if not modems and not run.killed:
        problems.append('brisklode-cli gave no plan (%s); it needs the update --plan option' % run.how_it_ended())
    short = expected_count_problem(params.get('expected_count'), len(modems))
    if short:
        problems.append(short)
    return response, '; '.join(problems) or None


def warn_all(module, modems):
    for modem in modems:
        if modem.get('warning'):
            module.warn('%s: %s' % (modem.get('target') or modem.get('address'), modem['warning']))
