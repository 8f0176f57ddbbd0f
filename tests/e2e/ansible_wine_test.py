#!/usr/bin/env python3
"""win_putty_hostkey.exe under Wine, run as ansible-core runs a binary module: one arguments
file (the task's options and ansible-core's `_ansible_*` keys) as its one argument, one JSON
result on standard output. It hands the task to hkcache.exe beside it (hkcache_path): check
mode writes nothing, present writes the value that `reg query` shows, once; absent removes it;
a bad argument and a missing hkcache.exe fail with a message. ansible-doc renders the module
from the built collection.

Run by ctest inside the Wine fixture:
    ansible_wine_test.py --exe build/windows/bin/win_putty_hostkey.exe
"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_common import main  # noqa: E402
from wine_test import harness, wine  # noqa: E402

EXE = None
CURRENT = r"HKEY_CURRENT_USER\Software\SimonTatham\PuTTY\SshHostKeys"
# What ansible-core 2.14 adds to every binary module's arguments.
ANSIBLE_KEYS = {"_ansible_check_mode": False, "_ansible_no_log": False, "_ansible_debug": False,
                "_ansible_diff": False, "_ansible_verbosity": 0, "_ansible_version": "2.14.18",
                "_ansible_module_name": "hkprune.putty.win_putty_hostkey",
                "_ansible_syslog_facility": "LOG_USER", "_ansible_socket": None,
                "_ansible_string_conversion_action": "warn", "_ansible_keep_remote_files": False,
                "_ansible_shell_executable": "/bin/sh", "_ansible_tmpdir": None,
                "_ansible_remote_tmp": "%TEMP%", "_ansible_selinux_special_fs": ["nfs"]}


class WinModule(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="hk-ansible-wine-")
        key = os.path.join(cls.tmp.name, "key")
        subprocess.run(["ssh-keygen", "-q", "-N", "", "-t", "ed25519", "-f", key], check=True,
                       timeout=60)
        with open(key + ".pub") as f:
            cls.key = f.read()
        cls.hkcache = os.path.join(os.path.dirname(EXE), "hkcache.exe")

    @classmethod
    def tearDownClass(cls):
        harness(["reg", "delete", CURRENT, "/f"], may_fail=True)
        cls.tmp.cleanup()

    def task(self, **options):
        args = dict(ANSIBLE_KEYS, name="hkans.example:2222", hkcache_path=self.hkcache)
        args.update(options)
        path = os.path.join(self.tmp.name, "args")
        with open(path, "w") as f:
            json.dump(args, f)
        out = wine([EXE, path], timeout=120)[1].decode()
        return json.loads(out)

    def cached(self):
        status, out = harness(["reg", "query", CURRENT], may_fail=True)
        return "ssh-ed25519@2222:hkans.example" in out.decode()

    def test_present_check_diff_absent(self):
        check = self.task(key=self.key, _ansible_check_mode=True)
        self.assertEqual((True, ["would add"]), (check["changed"], [c["action"] for c in
                                                                    check["changes"]]), check)
        self.assertFalse(self.cached())
        first = self.task(key=self.key, _ansible_diff=True)
        self.assertTrue(first["changed"], first)
        self.assertTrue(first["diff"][0]["after"].startswith("ssh-ed25519@2222:hkans.example "))
        self.assertTrue(self.cached())
        self.assertFalse(self.task(key=self.key)["changed"])
        absent = self.task(state="absent", _ansible_diff=True)
        self.assertEqual((True, ""), (absent["changed"], absent["diff"][0]["after"]), absent)
        self.assertFalse(self.cached())

    def test_failures_say_why(self):
        bad = self.task(key=self.key, colour="red")
        self.assertEqual((True, False), (bad["failed"], bad["changed"]))
        self.assertIn("unsupported parameter colour", bad["msg"])
        lost = self.task(key=self.key, hkcache_path="C:\\nowhere\\hkcache.exe")
        self.assertIn("hkcache.exe not found (looked at C:\\nowhere\\hkcache.exe)", lost["msg"])

    def test_ansible_doc(self):
        env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=os.path.join(os.path.dirname(EXE), ".."))
        for module in ("win_putty_hostkey", "putty_hostkey"):
            doc = subprocess.run(["ansible-doc", "hkprune.putty." + module], env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
            self.assertIn(b"hkcache_path", doc.stdout, doc.stdout)


if __name__ == "__main__":
    main("win_putty_hostkey.exe")
