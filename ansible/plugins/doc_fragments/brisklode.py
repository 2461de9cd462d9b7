# -*- coding: utf-8 -*-
# Copyright: Velmor. Proprietary; the same terms as brisklode-cli (see LICENSE in the collection).
# The options and attributes the collection's modules share, documented once.
from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):

    # Every module: the program, the deadline, the attributes.
    DOCUMENTATION = r'''
options:
  cli_path:
    description: The brisklode-cli program on the site host; by default the one on the site host's PATH.
    type: path
  timeout:
    description:
      - Seconds the command line may run. At the deadline its process group gets SIGTERM (the command line
        then cancels and reports each running modem), 15 seconds later SIGKILL. The task then fails and
        reports what the command line said so far; modems it never reported on are listed as C(unknown).
      - Without it the command line runs until it ends; a task-level C(timeout) of Ansible stops only the
        module, not the command line.
      - Between 1 and 604800. Needs C(timeout) from coreutils on the site host.
    type: int
attributes:
  check_mode:
    description: Can run in check mode and return a prediction without changing a modem.
  diff_mode:
    description: Returns details on what changed (or would change) in diff mode.
  platform:
    description: Runs on the site host, which reaches the modems.
    platforms: posix
notes:
  - Needs brisklode-cli on the site host (the role C(velmor.brisklode.cli) installs it).
  - The options of every module in the group C(velmor.brisklode.brisklode) may be set once with
    C(module_defaults).
'''

    # Modules that work on chosen modems.
    TARGETS = r'''
options:
  targets:
    description:
      - Modems, each C(telnet HOST[:PORT]), C(serial PORT [BAUD]) or C(HOST[:PORT]); each serial modem keeps
        its own baud rate. Without it, the discovered modems.
    type: list
    elements: str
    default: []
  discovered:
    description: Every modem that answers discovery on the site host's networks (the default when I(targets) is empty).
    type: bool
    default: false
  serial_numbers:
    description: Only these discovered modems (hex serial numbers); one that does not answer fails the task.
    type: list
    elements: str
    default: []
  call_signs:
    description: Only the discovered modems with these call signs; one that does not answer fails the task.
    type: list
    elements: str
    default: []
  type:
    description: Leave alone every modem whose identity type code is not this one (it is skipped with reason C(type)).
    type: str
  parallel:
    description: Work on up to this many modems at once (1 to 256; the command line's default is 4).
    type: int
'''

    # Modules that discover modems.
    DISCOVERY = r'''
options:
  discovery_timeout:
    description:
      - Seconds discovery waits for replies (fractions allowed, from 0.001 to 3600); the command line's
        default is 2. Only with discovery, not with I(targets).
    type: float
  expected_count:
    description:
      - The number of modems the site must have. The task fails when fewer are found (a modem that is off
        or unplugged would otherwise go unnoticed with discovery).
    type: int
'''
