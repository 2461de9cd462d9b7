#!/usr/bin/python
# -*- coding: utf-8 -*-
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
    this module only passes them on and reads the results.
  - The task fails when any requested modem did not end C(ok) or deliberately C(skipped) (another type, or
    already at O(expect_firmware)).
  - C(changed) is true only when at least one modem received and installed an image.
  - In check mode nothing is sent; the modems are identified and those that would be updated are listed.
version_added: 1.0.0
author: Velmor
options:
  firmware:
    description: The image for every modem (a file on the site host). Needs O(firmware) or O(images).
    type: path
  images:
    description:
      - Images by identity type code (C(U), C(I), ...), files on the site host. A modem whose type has no
        image is skipped.
    type: dict
  expect_firmware:
    description:
      - The version a modem must report after its restart to count as C(ok); modems that report it already
        are skipped with reason C(current).
    type: str
  force:
    description: Update modems that already report O(expect_firmware) as well.
    type: bool
    default: false
  canary:
    description: The first N modems run (and confirm) before any other; if one of them fails, the rest do not start.
    type: int
  max_failures:
    description: After this many failed modems no further modem starts.
    type: int
  confirm:
    description: Seconds to wait for each modem to restart and report its version (0 does not wait).
    type: int
  retries:
    description: Attempts again on connect and identity failures (never once a transfer began).
    type: int
  connect_timeout:
    description: Seconds allowed for one connection attempt.
    type: int
  legacy:
    description: Allow the slow legacy transfer for firmware without the fast one.
    type: bool
    default: false
  record:
    description: A file on the site host to which one JSON line per modem is appended (the run record).
    type: path
  targets:
    description:
      - Modems to update, each C(telnet HOST[:PORT]), C(serial PORT [BAUD]) or C(HOST[:PORT]).
        Without it, the discovered modems are updated.
    type: list
    elements: str
    default: []
  discovered:
    description: Update every modem that answers discovery (the default when O(targets) is empty).
    type: bool
    default: false
  serial_numbers:
    description: Only these discovered modems (hex serial numbers); one that is not found fails.
    type: list
    elements: str
    default: []
  call_signs:
    description: Only the discovered modems with these call signs; one that is not found fails.
    type: list
    elements: str
    default: []
  type:
    description: Leave alone every modem whose identity type code is not this one.
    type: str
  timeout:
    description: How long discovery waits for replies, in milliseconds.
    type: int
    default: 2000
  parallel:
    description: Work on up to N modems at once (the command line's default is 4).
    type: int
  cli_path:
    description: The brisklode-cli program; by default the one on the site host's PATH.
    type: path
attributes:
  check_mode:
    support: full
notes:
  - The image files must be on the site host; copy them there first (see the example).
'''

EXAMPLES = r'''
- name: Copy the image to the site
  ansible.builtin.copy:
    src: files/vx4410-7.3.qz7
    dest: /var/lib/brisklode/vx4410-7.3.qz7
    mode: "0644"

- name: Update every modem of type U on the site, one canary first
  velmor.brisklode.brisklode_update:
    images:
      U: /var/lib/brisklode/vx4410-7.3.qz7
    expect_firmware: "7.3"
    canary: 1
    max_failures: 2
    confirm: 120
    record: /var/log/brisklode/rollout.jsonl
  register: rollout
'''

RETURN = r'''
modems:
  description: One result per requested modem, in the order the command line reported them.
  returned: always
  type: list
  elements: dict
  contains:
    target:
      description: The modem as the command line names it.
      type: str
      sample: "telnet 198.18.21.10:3000"
    status:
      description: "C(ok), C(failed), C(skipped), C(cancelled) or C(not-started)."
      type: str
    reason:
      description: Why, in one word, where the command line gives one (C(current), C(type), C(verify), ...).
      type: str
    message:
      description: The command line's text for this modem.
      type: str
    warning:
      description: A warning (a legacy transfer, an unchanged version).
      type: str
    firmware_before:
      description: Version before the update.
      type: str
    firmware_after:
      description: Version reported after the restart.
      type: str
    bytes:
      description: Image bytes sent.
      type: int
    would_update:
      description: In check mode, whether this modem would get the image.
      type: bool
summary:
  description: The command line's summary event (counts by outcome and the run's time).
  returned: when the command line ran
  type: dict
counts:
  description: Number of modems by status.
  returned: always
  type: dict
  sample: {ok: 2, failed: 0, skipped: 1, cancelled: 0, not-started: 0}
updated:
  description: Targets that installed an image in this run.
  returned: always
  type: list
  elements: str
image:
  description: The plain image (O(firmware)) as the command line names it, with C(path), C(size) and C(sha256).
  returned: when the command line reports it
  type: dict
images_by_type:
  description: The images of O(images) by type code, each with C(path), C(size) and C(sha256).
  returned: when the command line reports it
  type: dict
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmor.brisklode.plugins.module_utils.brisklode_cli import (
    STATUSES, TARGET_ARGS, fail_on_cli_error, run_json, split_events, target_arguments)


def counts_of(modems):
    counts = dict((status, 0) for status in STATUSES)
    for modem in modems:
        counts[modem['status']] = counts.get(modem['status'], 0) + 1
    return counts


def installed(modem):
    """An image went in: the modem ended ok after receiving it."""
    return modem['status'] == 'ok' and (modem.get('bytes') or 0) > 0


def check_mode(module):
    """Identifies the modems and says which would be updated; nothing is sent beyond the identity question."""
    p = module.params
    rc, events, err, command = run_json(module, target_arguments(module) + ['identify'])
    modems, summary, errors, _ = split_events(events)
    fail_on_cli_error(module, rc, errors, err, command, modems=modems)
    images = p['images'] or {}
    for modem in modems:
        would = modem['status'] == 'ok'
        if would and images and modem.get('type') not in images:
            would = False
        if would and p['expect_firmware'] and modem.get('firmware') == p['expect_firmware'] and not p['force']:
            would = False
        modem['would_update'] = would
    unreachable = [m['target'] for m in modems if m['status'] not in ('ok', 'skipped')]
    response = dict(changed=any(m['would_update'] for m in modems), modems=modems, counts=counts_of(modems),
                    updated=[], summary=summary)
    if unreachable:
        module.fail_json(msg='not reachable for an update: %s' % ', '.join(unreachable), **response)
    module.exit_json(**response)


def main():
    argument_spec = dict(
        firmware=dict(type='path'),
        images=dict(type='dict'),
        expect_firmware=dict(type='str'),
        force=dict(type='bool', default=False),
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
                           supports_check_mode=True)
    p = module.params
    if module.check_mode:
        check_mode(module)

    args = target_arguments(module) + ['update']
    if p['firmware']:
        args.append(p['firmware'])
    for type_code, path in sorted((p['images'] or {}).items()):
        args += ['--firmware', '%s=%s' % (type_code, path)]
    args += ['--yes', '--legacy', 'yes' if p['legacy'] else 'no']
    if p['expect_firmware']:
        args += ['--expect-firmware', p['expect_firmware']]
    if p['force']:
        args.append('--force')
    if p['confirm'] is not None and p['confirm'] > 0:
        args.append('--confirm=%d' % p['confirm'])
    for option, value in (('--canary', p['canary']), ('--max-failures', p['max_failures']),
                          ('--retries', p['retries']), ('--connect-timeout', p['connect_timeout'])):
        if value is not None:
            args += [option, str(value)]
    if p['record']:
        args += ['--record', p['record']]

    rc, events, err, command = run_json(module, args)
    modems, summary, errors, start = split_events(events)
    updated = [m['target'] for m in modems if installed(m)]
    response = dict(changed=bool(updated), modems=modems, counts=counts_of(modems), updated=updated, summary=summary)
    if start:
        response['image'] = start.get('image')
        response['images_by_type'] = start.get('images_by_type') or {}
    fail_on_cli_error(module, rc, errors, err, command, **response)
    unfinished = [m for m in modems if m['status'] not in ('ok', 'skipped')]
    if unfinished or rc != 0:
        described = ', '.join('%s %s%s' % (m['target'], m['status'], ' (%s)' % m['reason'] if m.get('reason') else '')
                              for m in unfinished)
        module.fail_json(msg='%d of %d modem(s) not updated: %s' % (len(unfinished), len(modems),
                                                                  described or 'exit status %d' % rc),
                         rc=rc, stderr=err[-2000:], **response)
    module.exit_json(**response)


if __name__ == '__main__':
    main()
