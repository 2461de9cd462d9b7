#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: Velmor. Proprietary; the same terms as brisklode-cli (see LICENSE in the collection).
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
  - A modem that answered discovery but not the identity check is listed with its error and an Ansible
    warning; it fails the task only with I(fail_on_unidentified).
  - The task fails when fewer modems answer than I(expected_count), or when the command line was killed.
  - Nothing is sent to a modem but the probe and the identity question, so check mode runs it as well.
version_added: 1.0.0
author: Velmor Brisklode team (@velmor)
extends_documentation_fragment:
  - velmor.brisklode.brisklode
  - velmor.brisklode.brisklode.discovery
options:
  fail_on_unidentified:
    description: Fail when a modem answered discovery but its identity could not be read.
    type: bool
    default: false
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  platform:
    support: full
'''

EXAMPLES = r'''
- name: Inventory of the site, which has three modems
  velmor.brisklode.brisklode_inventory:
    discovery_timeout: 3
    expected_count: 3
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
summary:
  description: The command line's summary (counts by status and the run's seconds).
  returned: when the command line got as far
  type: dict
ansible_facts:
  description: C(brisklode_modems), the same list as C(modems).
  returned: always
  type: dict
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmor.brisklode.plugins.module_utils.brisklode_cli import (
    DISCOVERY_ARGS, check_ranges, discovery_arguments, expected_count_problem, fail_on_cli_error, fail_on_killed,
    modem_result, run_json, summary_of)


def address_key(modem):
    try:
        return tuple(int(part) for part in modem.get('address', '').split('.')) + (modem.get('port', 0),)
    except ValueError:
        return (999, modem.get('address', ''), modem.get('port', 0))


def main():
    argument_spec = dict(fail_on_unidentified=dict(type='bool', default=False))
    argument_spec.update(DISCOVERY_ARGS)
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    check_ranges(module)
    empty = dict(modems=[], count=0, unidentified=[], ansible_facts=dict(brisklode_modems=[]))
    run = run_json(module, ['inventory'] + discovery_arguments(module), **empty)
    fail_on_cli_error(module, run, **empty)
    modems = sorted((modem_result(e) for e in run.all('result')), key=address_key)
    for modem in modems:
        modem.pop('target', None)
    unidentified = [m.get('address') for m in modems if m['status'] != 'ok']
    response = dict(changed=False, modems=modems, count=len(modems), unidentified=unidentified,
                    summary=summary_of(run), ansible_facts=dict(brisklode_modems=modems))
    fail_on_killed(module, run, **response)
    for modem in modems:
        if modem['status'] != 'ok':
            module.warn('%s answered discovery but not the identity check: %s'
                        % (modem.get('address'), modem.get('message')))
    short = expected_count_problem(module.params['expected_count'], len(modems))
    if short:
        module.fail_json(msg=short, **response)
    if unidentified and module.params['fail_on_unidentified']:
        module.fail_json(msg='%d modem(s) did not answer the identity check: %s' % (
            len(unidentified), ', '.join(unidentified)), **response)
    if run.rc not in (0, 1):
        module.fail_json(msg='brisklode-cli %s' % run.how_it_ended(), stderr=run.stderr_tail(), **response)
    module.exit_json(**response)


if __name__ == '__main__':
    main()
