#!/usr/bin/python
# -*- coding: utf-8 -*-
# Ansible module: every modem on the site host's network, found by discovery and identified by brisklode-cli.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: brisklode_inventory
short_description: List the radio modems on a site's network
description:
  - Runs C(brisklode-cli --json inventory) on the site host; discovery reaches only that host's own networks,
    which is why the work runs at each site.
  - Every modem that answered the probe is returned with its address, serial number, call sign, model and
    firmware, also as the fact C(brisklode_modems).
  - A modem that answered discovery but not the identity check is listed with its error; it does not fail
    the task unless O(fail_on_unidentified) is set.
  - Nothing is sent to a modem but the probe and the identity question, so check mode runs it as well.
version_added: 1.0.0
author: Velmor
options:
  timeout:
    description: How long to wait for discovery replies, in milliseconds.
    type: int
    default: 2000
  fail_on_unidentified:
    description: Fail when a modem answered discovery but its identity could not be read.
    type: bool
    default: false
  cli_path:
    description: The brisklode-cli program; by default the one on the site host's PATH.
    type: path
attributes:
  check_mode:
    support: full
notes:
  - Needs brisklode-cli on the site host (the role C(velmor.brisklode.cli) installs it).
'''

EXAMPLES = r'''
- name: Inventory of the site
  velmor.brisklode.brisklode_inventory:
    timeout: 3000
  register: site

- name: Show the modems
  ansible.builtin.debug:
    msg: "{{ item.address }} {{ item.serial_number }} {{ item.model }} {{ item.firmware }}"
  loop: "{{ site.modems }}"
'''

RETURN = r'''
modems:
  description: One entry per modem that answered, in address order.
  returned: always
  type: list
  elements: dict
  contains:
    address:
      description: The modem's IPv4 address.
      type: str
      sample: 198.18.21.10
    port:
      description: Its Telnet console port.
      type: int
      sample: 3000
    serial_number:
      description: Serial number, 16 hex digits.
      type: str
      sample: "00000000000B0001"
    call_sign:
      description: Call sign from the discovery reply.
      type: str
      sample: PUMP1
    model:
      description: Model from the identity reply (absent when it could not be read).
      type: str
    firmware:
      description: Firmware version from the identity reply.
      type: str
      sample: "7.2"
    type:
      description: Identity type code.
      type: str
      sample: U
    status:
      description: "C(ok), or C(failed) when the identity could not be read."
      type: str
    status_byte:
      description: The status byte of the modem's discovery reply.
      type: int
    reason:
      description: Why the identity could not be read, in one word (C(connect), C(identity)).
      type: str
    message:
      description: The identity error, when there was one.
      type: str
count:
  description: Number of modems found.
  returned: always
  type: int
unidentified:
  description: Addresses of modems that answered discovery but not the identity check.
  returned: always
  type: list
  elements: str
ansible_facts:
  description: C(brisklode_modems), the same list as RV(modems).
  returned: always
  type: dict
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmor.brisklode.plugins.module_utils.brisklode_cli import (
    fail_on_cli_error, run_json, split_events)


def address_key(modem):
    try:
        return tuple(int(part) for part in modem.get('address', '').split('.')) + (modem.get('port', 0),)
    except ValueError:
        return (999, modem.get('address', ''), modem.get('port', 0))


def main():
    module = AnsibleModule(
        argument_spec=dict(
            timeout=dict(type='int', default=2000),
            fail_on_unidentified=dict(type='bool', default=False),
            cli_path=dict(type='path'),
        ),
        supports_check_mode=True,
    )
    rc, events, err, command = run_json(module, ['inventory', '--timeout', str(module.params['timeout'])])
    results, summary, errors, _ = split_events(events)
    fail_on_cli_error(module, rc, errors, err, command)
    modems = sorted(results, key=address_key)
    for modem in modems:
        modem.pop('target', None)
    unidentified = [m.get('address') for m in modems if m['status'] != 'ok']
    response = dict(changed=False, modems=modems, count=len(modems), unidentified=unidentified, summary=summary,
                    ansible_facts=dict(brisklode_modems=modems))
    if unidentified and module.params['fail_on_unidentified']:
        module.fail_json(msg='%d modem(s) did not answer the identity check: %s' % (
            len(unidentified), ', '.join(unidentified)), **response)
    if rc not in (0, 1):
        module.fail_json(msg='brisklode-cli exited with status %d' % rc, stderr=err, **response)
    module.exit_json(**response)


if __name__ == '__main__':
    main()
