#!/usr/bin/env python3
"""hkcache.exe under Wine's real registry: the registry seeded with the very lines that real
plink wrote for real sshds gives the fingerprints of ssh-keygen, and, with HK_NATIVE_HKCACHE
naming the native build's hkcache, the same output as the POSIX build in every format (the
cache name and the registry's order aside). --cache all lists .DEFAULT and the caller's
profile.

Run by ctest inside the Wine fixture (WINEPREFIX, WINEDEBUG set, wineserver running):
    hkcache_wine_test.py --exe build/windows/bin/hkcache.exe
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
from hkcache_plink_test import KEY_TYPES, serve_and_cache  # noqa: E402
from wine_test import harness, wine  # noqa: E402

EXE = None
NATIVE = os.environ.get("HK_NATIVE_HKCACHE")
SUBKEY = r"Software\SimonTatham\PuTTY\SshHostKeys"
CURRENT = r"HKEY_CURRENT_USER" + "\\" + SUBKEY
DEFAULT = r"HKEY_USERS\.DEFAULT" + "\\" + SUBKEY
SID = "S-1-5-21-0-0-0-1000"  # the caller's profile in a new prefix


class HkCacheWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="hk-hkcache-wine-")
        root = cls.tmp.name
        puttydir = os.path.join(root, "putty")
        os.mkdir(puttydir, 0o700)
        cls.env = dict(os.environ, PUTTYDIR=puttydir, HOME=root, LC_ALL="C")
        os.makedirs("/run/sshd", exist_ok=True)
        cls.servers = []
        try:
            serve_and_cache(root, cls.env, cls.servers)
        finally:
            for server in cls.servers:
                server.stop()
        with open(os.path.join(puttydir, "sshhostkeys")) as f:
            cls.lines = f.read().splitlines()
        cls.servers = [s for s in cls.servers if any(l.startswith(s.name + " ") for l in cls.lines)]
        # The lines as registry values, in both caches.
        text = "REGEDIT4\r\n\r\n"
        for key in (CURRENT, DEFAULT):
            text += "[-%s]\r\n\r\n[%s]\r\n" % (key, key)
            text += "".join('"%s"="%s"\r\n' % tuple(l.split(" ", 1)) for l in cls.lines) + "\r\n"
        with open(os.path.join(root, "seed.reg"), "w", newline="") as f:
            f.write(text)
        harness(["regedit", "/s", "seed.reg"], cwd=root)

    @classmethod
    def tearDownClass(cls):
        with open(os.path.join(cls.tmp.name, "clean.reg"), "w", newline="") as f:
            f.write("REGEDIT4\r\n\r\n[-%s]\r\n\r\n[-%s]\r\n\r\n" % (CURRENT, DEFAULT))
        harness(["regedit", "/s", "clean.reg"], cwd=cls.tmp.name)
        cls.tmp.cleanup()

    def hkcache(self, *args):
        status, out, err = wine([EXE] + list(args), cwd=self.tmp.name)
        return status, out.decode().replace("\r\n", "\n"), err.decode().replace("\r\n", "\n")

    def test_fingerprints_are_ssh_keygens(self):
        status, out, err = self.hkcache("list")
        self.assertEqual((0, ""), (status, err))
        expected = {"%s %s %d %s" % (s.name, s.putty_type, s.bits, s.fingerprint)
                    for s in self.servers}
        self.assertEqual(expected, set(out.splitlines()))
        # Every type plink caches, DSA where this OpenSSH still serves it.
        self.assertGreaterEqual(len(self.servers), len(KEY_TYPES) - 1)

    @unittest.skipUnless(NATIVE, "HK_NATIVE_HKCACHE names no native hkcache")
    def test_every_format_as_the_posix_build_gives_it(self):
        for fmt in ("text", "json", "known_hosts", "putty"):
            with self.subTest(fmt):
                native = subprocess.run([NATIVE, "list", "--format", fmt], env=self.env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        timeout=60)
                status, out, err = self.hkcache("list", "--format", fmt)
                self.assertEqual((native.returncode, native.stderr.decode()), (status, err))
                if fmt == "json":
                    def keys(text):
                        return sorted((dict(k, cache=None) for k in json.loads(text)["keys"]),
                                      key=lambda k: k["name"])
                    self.assertEqual(keys(native.stdout.decode()), keys(out))
                else:
                    self.assertEqual(sorted(native.stdout.decode().splitlines()),
                                     sorted(out.splitlines()))

    def test_every_cache_choice(self):
        names = {s.name for s in self.servers}
        status, out, err = self.hkcache("list", "--cache", "all", "--format", "json")
        self.assertEqual((0, ""), (status, err))
        caches = {}
        for key in json.loads(out)["keys"]:
            caches.setdefault(key["cache"].upper(), set()).add(key["name"])
        self.assertEqual({DEFAULT.upper(): names,
                          ("HKEY_USERS\\%s\\%s" % (SID, SUBKEY)).upper(): names}, caches)
        # Each line names its cache when there are several.
        status, out, err = self.hkcache("list", "--cache", "all")
        self.assertEqual(2 * len(names), len(out.splitlines()))
        self.assertTrue(all(line.upper().startswith(("%s " % n).upper()) and
                            line.upper().endswith(("\\%s" % SUBKEY).upper())
                            for line in out.splitlines() for n in [line.split(" ")[0]]))
        user = wine(["cmd", "/c", "echo %USERNAME%"])[1].decode().strip()
        for which in ("default", "user:" + SID, "user:" + user):
            with self.subTest(which):
                status, out, err = self.hkcache("list", "--cache", which, "--format", "putty")
                self.assertEqual((0, ""), (status, err))
                self.assertEqual(sorted(self.lines), sorted(out.splitlines()))
        status, out, err = self.hkcache("list", "--cache", "user:S-1-5-21-9")
        self.assertEqual((2, "", "hkcache: HKEY_USERS\\S-1-5-21-9: no such profile is loaded\n"),
                         (status, out, err))


if __name__ == "__main__":
    main("hkcache.exe")
