#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: Velmor. Proprietary; the same terms as brisklode-cli (see LICENSE in the collection).
# Ansible module: a firmware rollout to the modems of one site, run by brisklode-cli on the site host.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: brisklode_update
short_description: Install firmware into the radio modems of a site
description:
  - Runs C(brisklode-cli --json update) on the site host and returns one result per requested modem.
  - The command line does the work and keeps its guard rails (expected version, canary, failure limit);
    this module passes them on and judges the results.
  - Guards before the first byte. The module runs the command line's plan (C(update --plan), which sends
    nothing but the identity question) before the update, and starts the update only when the plan passes
    every check that can be made before sending - fewer modems found than I(expected_count), a modem that
    cannot be planned (not found, no connection, no identity), with I(fail_on_skipped) a modem that would be
    skipped, images other than I(expect_sha256). Otherwise the task fails with C(changed=false) and nothing
    is sent. The update then checks
    I(expected_count) again (a modem may go between the plan and the update).
  - The task fails unless every requested modem ended C(ok) or deliberately C(skipped) (another type, or
    already at I(expect_firmware)); with I(fail_on_skipped) only C(ok) will do. It fails as well when the
    command line was killed or stopped at the deadline, and whenever a modem it named has no result.
  - C(changed) is true when any modem may now hold the new image, also when the task fails. That is the
    command line's own account (C(image_sent) in its result, the whole image went to the modem), whatever
    the verdict after it - a modem whose verdict was lost with the link, that did not come back, came back
    at another version or was cancelled may well have installed it; or a modem whose version moved.
    C(modems) says so per modem (C(changed)) and C(updated) lists them.
  - Without I(expect_firmware) every run installs the image again, so every run reports C(changed); the
    module warns about it.
  - In check mode only the plan runs; it says per modem whether it would be updated, skipped (and why) or
    fail; C(changed) is true when any would be updated, and the plan fails the task wherever the run would
    refuse to start (a missing image as well).
  - In diff mode the firmware version before and after (or expected) is shown per modem.
version_added: 1.0.0
author: Velmor Brisklode team (@velmor)
extends_documentation_fragment:
  - velmor.brisklode.brisklode
  - velmor.brisklode.brisklode.targets
  - velmor.brisklode.brisklode.discovery
options:
  firmware:
    description: The image for every modem of a type without its own in I(images) (a file on the site host).
    type: path
  images:
    description:
      - Images by identity type code (C(U), C(I), ...), files on the site host. A modem whose type has
        neither an image here nor I(firmware) is skipped with reason C(type).
    type: dict
  expect_firmware:
    description:
      - The version a modem must report after its restart to count as C(ok); modems that report it already
        are skipped with reason C(current). Implies waiting for the restart (see I(confirm)).
    type: str
  expect_sha256:
    description:
      - The SHA-256 of the images the command line must read, as a set (I(firmware) and I(images) together;
        one file for two types is one hash). Anything else - a file staged wrong, changed or missing -
        fails the task on the plan, before anything is sent.
    type: list
    elements: str
    version_added: 2.0.0
  force:
    description: Update modems that already report I(expect_firmware) as well.
    type: bool
    default: false
  fail_on_skipped:
    description:
      - Fail the task when any modem is skipped (another type, already current). Catches a mistyped I(type)
        or version that would otherwise install nothing and succeed. Passed on as the command line's
        C(--strict), so that its exit status and plan agree.
    type: bool
    default: false
  canary:
    description: The first N modems run (and confirm) before any other; if one of them fails, the rest do not start (1 to 1000000).
    type: int
  max_failures:
    description: After this many failed modems no further modem starts (1 to 1000000).
    type: int
  confirm:
    description:
      - Seconds to wait for each modem to restart and report its version (1 to 86400).
      - Without it the command line does not wait, unless I(expect_firmware) is given; then it waits its
        default of 180 seconds.
    type: int
  retries:
    description: Attempts again on connect and identity failures, never once a transfer began (0 to 20).
    type: int
  connect_timeout:
    description: Seconds allowed for one connection attempt (1 to 3600).
    type: int
  legacy:
    description: Allow the slow legacy transfer for firmware without the fast one.
    type: bool
    default: false
  record:
    description:
      - A file on the site host to which the command line appends the run record (a JSON line per modem's
        result; the lines of a journal that are no result are passed over).
      - When the command line is killed, the result lines it wrote in this run fill in the modems its JSON
        output had not reported yet.
    type: path
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
  platform:
    support: full
notes:
  - The image files must be on the site host; copy them there first (see the example).
  - I(timeout) is the deadline of the whole task, the plan and the update together.
'''


EXAMPLES = r'''
- name: Copy the image to the site
  ansible.builtin.copy:
    src: files/vx4410-7.3.qz7
    dest: /var/lib/brisklode/vx4410-7.3.qz7
    mode: "0644"

- name: What the update would do (the command line's plan)
  velmor.brisklode.brisklode_update:
    images:
      U: /var/lib/brisklode/vx4410-7.3.qz7
    expect_firmware: "7.3"
    expected_count: 3
  check_mode: true
  register: plan

# expected_count and expect_sha256 are guards: with a modem of the three missing, or another image file, the
# plan fails the task and nothing is sent.
- name: Update every modem of type U on the site, one canary first
  velmor.brisklode.brisklode_update:
    images:
      U: /var/lib/brisklode/vx4410-7.3.qz7
    expect_firmware: "7.3"
    expect_sha256: [5f0c7e4b9d2a8c1f3e6b0a9d7c5e2f1b4a8d6c3e0f9b2a7d5c1e8f4b6a3d0c9e]
    expected_count: 3
    canary: 1
    max_failures: 1
    confirm: 300
    timeout: 3600
    record: /var/log/brisklode/rollout.jsonl
  register: rollout

- name: Two serial modems at their own baud rates
  velmor.brisklode.brisklode_update:
    firmware: /var/lib/brisklode/vx4410-7.3.qz7
    expect_firmware: "7.3"
    targets:
      - serial /dev/ttyUSB0 9600
      - serial /dev/ttyUSB1 115200
'''

RETURN = r'''
modems:
  description:
    - One entry per modem the command line named, in its order. In check mode, and when the plan stopped the
      run before anything was sent, the plan's entry (with C(action), C(reason), C(image), C(transfer),
      C(canary), C(would_update)).
  returned: always
  type: list
  elements: dict
  contains:
    target:
      description: The modem as the command line names it.
      type: str
      sample: "telnet 198.18.21.10:3000"
    status:
      description:
        - C(ok), C(failed), C(skipped), C(cancelled), C(not-started), or C(unknown) for a modem the command
          line named but never reported on (it was killed).
      type: str
    reason:
      description: Why, in one word, where the command line gives one (C(current), C(type), C(verify), C(version), ...).
      type: str
    message:
      description: The command line's text for this modem.
      type: str
    warning:
      description: A warning (a legacy transfer, an unchanged version); each is also an Ansible warning.
      type: str
    changed:
      description: Whether the modem may now hold the new image (in check mode, whether it would be updated).
      type: bool
    image_sent:
      description: The command line's word that every byte of the image went to the modem.
      type: bool
    firmware_before:
      description: Version before the update.
      type: str
    firmware_after:
      description: Version reported after the restart (null when the modem did not come back).
      type: str
    bytes:
      description: Image bytes sent.
      type: int
    from_record:
      description: True when this entry comes from the run record, the command line having been killed before it reported.
      type: bool
    action:
      description: In check mode, C(update), C(skip) or C(fail).
      type: str
    would_update:
      description: In check mode, whether this modem would get the image.
      type: bool
summary:
  description: The command line's summary (counts by status, spelled as in C(counts), and the run's seconds).
  returned: when the command line got as far
  type: dict
counts:
  description: Number of modems by status.
  returned: always
  type: dict
  sample: {ok: 2, failed: 0, skipped: 1, cancelled: 0, not-started: 0, unknown: 0}
actions:
  description: The number of modems by planned action.
  returned: in check mode, and when the plan stopped the run
  type: dict
  sample: {update: 2, skip: 1, fail: 0}
updated:
  description: Targets that may now hold the new image (empty in check mode).
  returned: always
  type: list
  elements: str
would_update:
  description: The targets the run would update.
  returned: in check mode, and when the plan stopped the run
  type: list
  elements: str
unknown:
  description: Targets whose state is unknown because the command line was killed or stopped at the deadline.
  returned: always
  type: list
  elements: str
rc:
  description: The command line's exit status (negative when a signal killed it; 124 or 137 at the deadline).
  returned: when the command line ran to a plan
  type: int
image:
  description: The plain image (I(firmware)) as the command line names it, with C(path), C(size) and C(sha256).
  returned: when the command line reports it
  type: dict
images_by_type:
  description: The images of I(images) by type code, each with C(path), C(size) and C(sha256).
  returned: when the command line reports it
  type: dict
'''

import os
import time

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmor.brisklode.plugins.module_utils.brisklode_cli import (
    STATUSES, TARGET_ARGS, TARGET_EXCLUSIVE, check_ranges, fail_on_cli_error, plan_outcome, record_lines, run_json,
    target_arguments, update_outcome, warn_all)

# The return values that are always there, for a task that fails before any modem.
EMPTY = dict(modems=[], counts=dict((status, 0) for status in STATUSES), updated=[], unknown=[])


def update_arguments(module):
    """The plan's arguments, the run's, and the target list for standard input."""
    p = module.params
    args, data = target_arguments(module)
    args.append('update')
    if p['firmware']:
        args.append(p['firmware'])
    for type_code, path in sorted((p['images'] or {}).items()):
        args += ['--firmware', '%s=%s' % (type_code, path)]
    args += ['--legacy', 'yes' if p['legacy'] else 'no']
    if p['expect_firmware']:
        args += ['--expect-firmware', p['expect_firmware']]
    if p['force']:
        args.append('--force')
    if p['fail_on_skipped']:
        args.append('--strict')
    if p['confirm'] is not None:
        args.append('--confirm=%d' % p['confirm'])
    for option, value in (('--canary', p['canary']), ('--max-failures', p['max_failures']),
                          ('--retries', p['retries']), ('--connect-timeout', p['connect_timeout'])):
        if value is not None:
            args += [option, str(value)]
    # Without a terminal, several modems need --yes even for the plan.
    args.append('--yes')
    # The plan sends nothing and writes no record.
    plan = args + ['--plan']
    if p['record']:
        args += ['--record', p['record']]
    return plan, args, data


def record_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def records_since(path, offset):
    """The record lines appended after OFFSET."""
    try:
        with open(path, 'rb') as f:
            f.seek(offset)
            return record_lines(f.read().decode('utf-8', 'replace'))
    except (IOError, OSError):
        return []


def main():
    argument_spec = dict(
        firmware=dict(type='path'),
        images=dict(type='dict'),
        expect_firmware=dict(type='str'),
        expect_sha256=dict(type='list', elements='str'),
        force=dict(type='bool', default=False),
        fail_on_skipped=dict(type='bool', default=False),
        canary=dict(type='int'),
        max_failures=dict(type='int'),
        confirm=dict(type='int'),
        retries=dict(type='int'),
        connect_timeout=dict(type='int'),
        legacy=dict(type='bool', default=False),
        record=dict(type='path'),
    )
    argument_spec.update(TARGET_ARGS)
    module = AnsibleModule(argument_spec=argument_spec, required_one_of=[('firmware', 'images')],
                           mutually_exclusive=TARGET_EXCLUSIVE, required_if=[('force', True, ('expect_firmware',))],
                           supports_check_mode=True)
    check_ranges(module)
    p = module.params
    if not p['expect_firmware']:
        module.warn('without expect_firmware every run installs the image again and reports changed')
    plan_args, args, data = update_arguments(module)
    started = time.time()

    # The plan first, in a run as well: every check that can be made before the first byte (the modems
    # found against expected_count, one that cannot be planned, a skip with fail_on_skipped) stops the task
    # before any modem is touched.
    run = run_json(module, plan_args, data, **EMPTY)
    fail_on_cli_error(module, run, **EMPTY)
    response, problem = plan_outcome(run, p)
    if not module.check_mode and not problem:
        # What is left of the deadline (at least a second) is the run's.
        left = p['timeout'] and max(1, int(p['timeout'] - (time.time() - started)))
        offset = record_size(p['record']) if p['record'] else 0
        run = run_json(module, args, data, seconds=left, **EMPTY)
        fail_on_cli_error(module, run, **EMPTY)
        records = records_since(p['record'], offset) if p['record'] and run.killed else []
        response, problem = update_outcome(run, p, records)
    elif not module.check_mode:
        # The plan's verdict, and nothing was sent.
        for modem in response['modems']:
            modem['changed'] = False
        response.update(changed=False, diff=[])
        problem = 'nothing was sent: %s' % problem
    warn_all(module, response['modems'])
    if not module._diff:
        response.pop('diff')
    if problem:
        module.fail_json(msg=problem, stderr=run.stderr_tail(), **response)
    module.exit_json(**response)


if __name__ == '__main__':
    main()
