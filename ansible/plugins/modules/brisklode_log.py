#!/usr/bin/python
# -*- coding: utf-8 -*-
# Ansible module: the system logs of a site's modems, downloaded by brisklode-cli into a folder on the site host.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: brisklode_log
short_description: Download the system logs of a site's radio modems
description:
  - Runs C(brisklode-cli --json log DIR) on the site host; one file per modem goes into O(dest).
  - The files stay on the site host; fetch them to the controller with M(ansible.builtin.fetch) over the
    returned RV(files) (see the example).
  - In check mode nothing is downloaded; the modems that would be asked are identified and listed.
version_added: 1.0.0
author: Velmor
options:
  dest:
    description: Folder on the site host for the logs; created when missing.
    type: path
    required: true
  targets:
    description: Modems, each C(telnet HOST[:PORT]), C(serial PORT [BAUD]) or C(HOST[:PORT]); without it, the discovered ones.
    type: list
    elements: str
    default: []
  discovered:
    description: Every modem that answers discovery (the default when O(targets) is empty).
    type: bool
    default: false
  serial_numbers:
    description: Only these discovered modems (hex serial numbers).
    type: list
    elements: str
    default: []
  call_signs:
    description: Only the discovered modems with these call signs.
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
    description: Work on up to N modems at once.
    type: int
  cli_path:
    description: The brisklode-cli program; by default the one on the site host's PATH.
    type: path
attributes:
  check_mode:
    support: full
'''

EXAMPLES = r'''
- name: Logs of every modem of the site
  velmor.brisklode.brisklode_log:
    dest: /var/log/brisklode/modems
  register: logs

- name: Bring them to the controller, one folder per site
  ansible.builtin.fetch:
    src: "{{ item }}"
    dest: "logs/{{ inventory_hostname }}/"
    flat: true
  loop: "{{ logs.files }}"
'''

RETURN = r'''
modems:
  description: One result per modem (target, status, reason, message, bytes, file).
  returned: always
  type: list
  elements: dict
files:
  description: The log files written on the site host.
  returned: always
  type: list
  elements: str
summary:
  description: The command line's summary event.
  returned: when the command line ran
  type: dict
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmor.brisklode.plugins.module_utils.brisklode_cli import (
    TARGET_ARGS, fail_on_cli_error, run_json, split_events, target_arguments)


def main():
    argument_spec = dict(dest=dict(type='path', required=True))
    argument_spec.update(TARGET_ARGS)
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    dest = module.params['dest']
    if module.check_mode:
        rc, events, err, command = run_json(module, target_arguments(module) + ['identify'])
        modems, summary, errors, _ = split_events(events)
        fail_on_cli_error(module, rc, errors, err, command, modems=modems)
        module.exit_json(changed=any(m['status'] == 'ok' for m in modems), modems=modems, files=[], summary=summary)

    if not os.path.isdir(dest):
        try:
            os.makedirs(dest)
        except OSError as e:
            module.fail_json(msg='cannot create %s: %s' % (dest, e))
    rc, events, err, command = run_json(module, target_arguments(module) + ['log', dest])
    modems, summary, errors, _ = split_events(events)
    files = [m['file'] for m in modems if m['status'] == 'ok' and m.get('file')]
    response = dict(changed=bool(files), modems=modems, files=files, summary=summary)
    fail_on_cli_error(module, rc, errors, err, command, **response)
    failed = [m['target'] for m in modems if m['status'] not in ('ok', 'skipped')]
    if failed or rc != 0:
        module.fail_json(msg='no log from: %s' % (', '.join(failed) or 'exit status %d' % rc), rc=rc, stderr=err[-2000:],
                         **response)
    module.exit_json(**response)


if __name__ == '__main__':
    main()
