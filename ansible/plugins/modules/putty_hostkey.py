#!/usr/bin/python
# Copyright: the hkprune authors; see LICENSE in the collection.
"""Keeps PuTTY's host-key cache on a Linux (or other POSIX) node as a task says, through the
node's hkcache: the work is hkcache's own `ansible` command, shared with win_putty_hostkey."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: putty_hostkey
short_description: Keep SSH host keys in PuTTY's host-key cache
description:
  - Adds or removes the host keys that PuTTY's tools (putty, plink, pscp) trust for a host, in
    the cache of the connecting user, of another user, or of every user.
  - The node needs hkcache (the hkprune package); this module runs C(hkcache ansible), which
    does the task with hkcache's own list, import, fetch and remove commands.
  - A second run of the same task changes nothing; a host with several keys is unchanged when
    all of them are cached.
  - Removal keeps hkcache's backup of the removed lines (the cache file with C(.old) added).
  - For Windows nodes use M(hkprune.putty.win_putty_hostkey), which takes the same options.
version_added: "1.0.0"
author: the hkprune authors
options:
  name:
    description:
      - "The host, as PuTTY is told it: C(host), C(host:port) or C([host]:port)."
    type: str
    required: true
  port:
    description:
      - The port, when C(name) does not give it. Default 22.
    type: int
  key:
    description:
      - The host's public keys, each an OpenSSH public key line (the text of a server's
        C(.pub) file) or a known_hosts line for the host. Several keys, a list or several
        lines.
      - Mutually exclusive with C(fingerprint).
    type: list
    elements: str
  fingerprint:
    description:
      - SHA256 fingerprints (C(SHA256:...)) of the host's keys; the keys are fetched from the
        live server by C(hkcache fetch) and cached when they match. An hkcache without the
        fetch command fails the task saying so.
    type: list
    elements: str
  type:
    description:
      - Only keys of this type, PuTTY's name (rsa2, ssh-ed25519, ...) or OpenSSH's.
    type: str
  state:
    description:
      - C(present) caches the keys; C(absent) removes every cached key of the host and port
        (of C(type) when given).
    type: str
    choices: [present, absent]
    default: present
  replace:
    description:
      - Replace a different key cached under the same name (host, port and type). Without it
        such a key is kept and the task fails.
    type: bool
    default: false
  cache:
    description:
      - Whose cache. C(current) the connecting user's; C(user:NAME) user NAME's; C(all) every
        user's that has one (root only); C(default) the SYSTEM account's (Windows only).
    type: str
    default: current
  hkcache_path:
    description:
      - The hkcache program; default the one on the node's PATH.
    type: path
notes:
  - Supports check mode (nothing is written) and diff mode (the host's lines in PuTTY's form,
    before and after, one diff per cache).
"""

EXAMPLES = r"""
- name: Trust the jump host's keys for plink jobs
  hkprune.putty.putty_hostkey:
    name: jump.example.org
    key: "{{ lookup('file', 'keys/jump.example.org.pub') }}"

- name: Trust a server on port 2222 for every user of the node
  become: true
  hkprune.putty.putty_hostkey:
    name: "[git.example.org]:2222"
    key:
      - ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOMqqnkVzrm0SdG6UOoqKLsabgH5C9okWi0dh2l9GKJl
    cache: all

- name: The server was rebuilt
  hkprune.putty.putty_hostkey:
    name: old.example.org
    state: absent
"""

RETURN = r"""
changes:
  description: What was changed (in check mode, what would be), as hkcache's JSON lists it.
  returned: success
  type: list
  elements: dict
  contains:
    cache: {description: The cache file, or registry key on Windows., type: str}
    action: {description: added, replaced or removed (would add, ... in check mode)., type: str}
    name: {description: PuTTY's name of the key, type@port:host., type: str}
    fingerprint: {description: The SHA256 fingerprint of the key., type: str}
    old_fingerprint: {description: The fingerprint of the key replaced., type: str}
fingerprints:
  description: Per cache, the fingerprints of the keys changed.
  returned: success
  type: dict
  sample: {"/home/u/.putty/sshhostkeys": ["SHA256:eMsoZyguUYCtJvhRxf7XNPwYCCInRGmHMmIJ7dTYXLk"]}
"""

import json
import os
import tempfile

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(
        argument_spec=dict(
            name=dict(type="str", required=True),
            port=dict(type="int"),
            key=dict(type="list", elements="str", no_log=False),
            fingerprint=dict(type="list", elements="str"),
            type=dict(type="str"),
            state=dict(type="str", default="present", choices=["present", "absent"]),
            replace=dict(type="bool", default=False),
            cache=dict(type="str", default="current"),
            hkcache_path=dict(type="path"),
        ),
        mutually_exclusive=[["key", "fingerprint"]],
        supports_check_mode=True,
    )
    hkcache = module.params["hkcache_path"] or module.get_bin_path("hkcache", required=True)
    args = dict((k, v) for k, v in module.params.items() if k != "hkcache_path")
    args["_ansible_check_mode"] = module.check_mode
    args["_ansible_diff"] = module._diff
    fd, path = tempfile.mkstemp(prefix="putty_hostkey-", suffix=".json")
    try:
        with os.fdopen(fd, "w") as f:
            json.dump(args, f)
        rc, out, err = module.run_command([hkcache, "ansible", path])
    finally:
        os.unlink(path)
    try:
        result = json.loads(out)
    except ValueError:
        module.fail_json(msg="%s ansible gave no result (status %d): %s" % (hkcache, rc, err))
    failed = result.pop("failed", False)
    for warning in result.pop("warnings", []):
        module.warn(warning)
    if failed:
        module.fail_json(**result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
