#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: Velmor. Proprietary; the same terms as brisklode-cli (see LICENSE in the collection).
# Ansible module: the system logs of a site's modems, downloaded by brisklode-cli into a folder on the site host.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: brisklode_log
short_description: Download the system logs of a site's radio modems
description:
  - Runs C(brisklode-cli --json log DIR) on the site host; one file per modem goes into I(dest).
  - The files stay on the site host; fetch them to the controller with M(ansible.builtin.fetch) over the
    returned C(files) (see the example).
  - The task fails unless every requested modem gave its log or was deliberately skipped, when fewer modems
    are found than I(expected_count), or when the command line was killed.
  - C(changed) is true when a log file was written. In check mode nothing is downloaded and I(dest) is not
    created; the modems that would be asked are identified and listed, and C(changed) says whether any
    would give its log (every one that answered the identity check).
version_added: 1.0.0
author: Velmor Brisklode team (@velmor)
extends_documentation_fragment:
  - velmor.brisklode.brisklode
  - velmor.brisklode.brisklode.targets
  - velmor.brisklode.brisklode.discovery
options:
  dest:
    description: Folder on the site host for the logs; created when missing.
    type: path
    required: true
  existing:
    description:
      - What happens to a log of the same modem already in I(dest) (an earlier run's file of the same name).
      - C(keep) leaves it as it is; the new log gets the UTC date and time in its name.
      - C(replace) puts the new log in its place, once the whole new log is on the disk (a failed download
        leaves the old file as it was).
    type: str
    choices: [keep, replace]
    default: keep
    version_added: 2.0.0
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  platform:
    support: full
'''

EXAMPLES = r'''
- name: Logs of every modem of the site, each replacing the one an earlier run left
  velmor.brisklode.brisklode_log:
    dest: /var/log/brisklode/modems
    existing: replace
    expected_count: 3
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
  description: One result per modem (target, status, reason, message, bytes, file); in check mode the identity.
  returned: always
  type: list
  elements: dict
files:
  description: The log files written on the site host.
  returned: always
  type: list
  elements: str
summary:
  description: The command line's summary (counts by status and the run's seconds).
  returned: when the command line got as far
  type: dict
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmor.brisklode.plugins.module_utils.brisklode_cli import (
    TARGET_ARGS, TARGET_EXCLUSIVE, check_ranges, fail_on_cli_error, fail_on_killed, judged,
    modem_result, run_json, summary_of, target_arguments, warn_all)


def main():
    argument_spec = dict(dest=dict(type='path', required=True),
                         existing=dict(type='str', choices=['keep', 'replace'], default='keep'))
    argument_spec.update(TARGET_ARGS)
    module = AnsibleModule(argument_spec=argument_spec, mutually_exclusive=TARGET_EXCLUSIVE, supports_check_mode=True)
    check_ranges(module)
    dest = module.params['dest']
    args, data = target_arguments(module)
    empty = dict(modems=[], files=[])
    if module.check_mode:
        run = run_json(module, args + ['identify'], data, **empty)
    else:
        if not os.path.isdir(dest):
            try:
                os.makedirs(dest)
            except OSError as e:
                module.fail_json(msg='cannot create %s: %s' % (dest, e), **empty)
        run = run_json(module, args + ['log', dest] + (['--overwrite'] if module.params['existing'] == 'replace' else []),
                       data, **empty)
    fail_on_cli_error(module, run, **empty)
    modems = [modem_result(e) for e in run.all('result')]
    if module.check_mode:
        files = []
        changed = any(m['status'] == 'ok' for m in modems)
    else:
        files = [m['file'] for m in modems if m['status'] == 'ok' and m.get('file')]
        changed = bool(files)
    response = dict(changed=changed, modems=modems, files=files, summary=summary_of(run))
    fail_on_killed(module, run, **response)
    warn_all(module, modems)
    problems = []
    failed = [m['target'] for m in modems if m['status'] not in ('ok', 'skipped')]
    if failed:
        problems.append('no log from: %s' % ', '.join(failed))
    failure = judged(problems, run, module.params['expected_count'], len(modems))
    if failure:
        module.fail_json(msg=failure, rc=run.rc, stderr=run.stderr_tail(), **response)
    module.exit_json(**response)


if __name__ == '__main__':
    main()
