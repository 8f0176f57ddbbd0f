#!/usr/bin/env python3
"""hkcache.exe under Wine's real registry: the registry seeded with the very lines that real
plink wrote for real sshds gives the fingerprints of ssh-keygen, and, with HK_NATIVE_HKCACHE
naming the native build's hkcache, the same output as the POSIX build in every format (the
cache name and the registry's order aside). --cache all lists .DEFAULT and the caller's
profile.
An import of a known_hosts file writes the values committed beside this script (PuTTY for
Windows' names, escaped, and its data, as checked against plink's own lines), a remove of one
host takes every type and keeps them in %USERPROFILE%\\SshHostKeys.old, whose import brings them
back; with HK_NATIVE_HKCACHE the POSIX build writes the same lines, its names unescaped.
With HK_NATIVE_HKCACHE, fetch and verify against live sshds (and a closed port) give the same
results and exit statuses as the POSIX build, which fills a store of its own the same way.

Run by ctest inside the Wine fixture (WINEPREFIX, WINEDEBUG set, wineserver running):
    hkcache_wine_test.py --exe build/windows/bin/hkcache.exe
"""

import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_common import free_port, main  # noqa: E402
from hkcache_plink_test import KEY_TYPES, Server, serve_and_cache  # noqa: E402
from wine_test import harness, wine  # noqa: E402

EXE = None
NATIVE = os.environ.get("HK_NATIVE_HKCACHE")
SUBKEY = r"Software\SimonTatham\PuTTY\SshHostKeys"
CURRENT = r"HKEY_CURRENT_USER" + "\\" + SUBKEY
DEFAULT = r"HKEY_USERS\.DEFAULT" + "\\" + SUBKEY
SID = "S-1-5-21-0-0-0-1000"  # the caller's profile in a new prefix
HERE = os.path.dirname(os.path.abspath(__file__))


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

    def test_every_profile_names_its_account(self):
        user = wine(["cmd", "/c", "echo %USERNAME%"])[1].decode().strip()
        status, out, err = self.hkcache("list", "--cache", "all", "--format", "json")
        accounts = {k["cache"].upper(): k.get("account") for k in json.loads(out)["keys"]}
        profile = ("HKEY_USERS\\%s\\%s" % (SID, SUBKEY)).upper()
        self.assertEqual(None, accounts[DEFAULT.upper()])
        self.assertTrue(str(accounts[profile]).endswith("\\" + user), accounts)
        status, out, err = self.hkcache("list", "--cache", "all")
        self.assertIn(" (%s) HKEY_USERS\\%s\\" % (accounts[profile], SID), out)

    def test_a_reg_file_as_reg_export_writes_it_that_reg_imports(self):
        status, out, err = wine([EXE, "list", "--format", "reg"], cwd=self.tmp.name)
        self.assertEqual((0, b""), (status, err))
        harness(["reg", "export", CURRENT, "export.reg", "/y"], cwd=self.tmp.name)
        with open(os.path.join(self.tmp.name, "export.reg"), "rb") as f:
            self.assertEqual(f.read(), out)
        fresh = CURRENT + "Imported"
        with open(os.path.join(self.tmp.name, "fresh.reg"), "wb") as f:
            f.write(out.decode("utf-16").replace(CURRENT + "]", fresh + "]").encode("utf-16"))
        harness(["reg", "import", "fresh.reg"], cwd=self.tmp.name)
        listed = harness(["reg", "query", fresh])[1].decode()
        harness(["reg", "delete", fresh, "/f"])
        self.assertEqual(sorted(tuple(l.split(" ", 1)) for l in self.lines),
                         sorted(re.findall(r"^    (\S+)    REG_SZ    (\S+)\r?$", listed, re.M)))


def clear_current(cwd):
    with open(os.path.join(cwd, "clean.reg"), "w", newline="") as f:
        f.write("REGEDIT4\r\n\r\n[-%s]\r\n\r\n" % CURRENT)
    harness(["regedit", "/s", "clean.reg"], cwd=cwd)


def unescape(name):
    return re.sub(rb"%([0-9A-F]{2})", lambda m: bytes([int(m.group(1), 16)]), name)


class HkCacheWineImport(unittest.TestCase):
    """Starts and ends with no key at all: the import must create it."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="hk-hkcache-import-")
        self.cwd = self.dir.name
        with open(os.path.join(HERE, "hkcache_import.values"), "rb") as f:
            self.values = dict(line.split(b" ", 1) for line in f.read().splitlines())
        with open(os.path.join(HERE, "hkcache_import.known_hosts"), "rb") as src, \
                open(os.path.join(self.cwd, "known_hosts"), "wb") as dst:
            dst.write(src.read())
        profile = wine(["cmd", "/c", "echo %USERPROFILE%"])[1].decode().strip()
        self.kept = "hkcache: removed keys kept in %s\\SshHostKeys.old\n" % profile
        self.backup = wine(["winepath", "-u", profile + "\\SshHostKeys.old"])[1].decode().strip()
        self.clean()

    def tearDown(self):
        self.clean()
        self.dir.cleanup()

    def clean(self):
        clear_current(self.cwd)
        if os.path.exists(self.backup):
            os.remove(self.backup)

    def hkcache(self, *args, stdin=b""):
        status, out, err = wine([EXE] + list(args), cwd=self.cwd, stdin=stdin)
        return status, out.replace(b"\r\n", b"\n"), err.decode().replace("\r\n", "\n")

    def registry(self):
        """The cache's values as reg query shows them (ASCII: every name here is escaped)."""
        status, out = harness(["reg", "query", CURRENT], may_fail=True)
        self.assertEqual(0, status, out)
        return dict(re.findall(rb"^    (\S+)    REG_SZ    (\S+)\r?$", out, re.M))

    def test_import_remove_and_undo(self):
        status, out, err = self.hkcache("import", "known_hosts")
        self.assertEqual((0, ""), (status, err))
        self.assertEqual(sorted(b"added " + n for n in self.values),
                         sorted(line.rsplit(b" ", 1)[0] for line in out.splitlines()))
        self.assertEqual(self.values, self.registry())
        status, out, err = self.hkcache("list", "--format", "putty")
        self.assertEqual((0, sorted(b"%s %s" % kv for kv in self.values.items()), ""),
                         (status, sorted(out.splitlines()), err))

        gone = {n: d for n, d in self.values.items() if n.endswith(b"@2222:127.0.0.1")}
        self.assertEqual(len(KEY_TYPES), len(gone))
        status, out, err = self.hkcache("remove", "[127.0.0.1]:2222")
        self.assertEqual((0, self.kept), (status, err))
        self.assertEqual(sorted(b"removed " + n for n in gone),
                         sorted(line.rsplit(b" ", 1)[0] for line in out.splitlines()))
        self.assertEqual({n: d for n, d in self.values.items() if n not in gone}, self.registry())
        with open(self.backup, "rb") as f:
            self.assertEqual(sorted(b"%s %s" % kv for kv in gone.items()),
                             sorted(f.read().replace(b"\r\n", b"\n").splitlines())[1:])

        with open(self.backup, "rb") as f:
            backup = f.read()
        # Standard input is bytes: a Ctrl-Z does not end it early, it makes it not text.
        status, out, err = self.hkcache("import", "--format", "putty", stdin=backup + b"\x1a\n")
        self.assertEqual((2, b""), (status, out), err)
        status, out, err = self.hkcache("import", "--format", "putty", "-", stdin=backup)
        self.assertEqual((0, ""), (status, err))
        self.assertEqual(len(gone), len(out.splitlines()))
        self.assertEqual(self.values, self.registry())

    def test_a_reg_export_imports(self):
        self.assertEqual(0, self.hkcache("import", "known_hosts")[0])
        harness(["reg", "export", CURRENT, "cache.reg", "/y"], cwd=self.cwd)
        self.clean()
        status, out, err = self.hkcache("import", "--format", "reg", "cache.reg")
        self.assertEqual((0, "", len(self.values)), (status, err, len(out.splitlines())))
        self.assertEqual(self.values, self.registry())

    @unittest.skipUnless(NATIVE, "HK_NATIVE_HKCACHE names no native hkcache")
    def test_the_posix_build_writes_the_same_lines_unescaped(self):
        store = os.path.join(self.cwd, "sshhostkeys")
        open(store, "w").close()
        native = subprocess.run([NATIVE, "import", "known_hosts"], cwd=self.cwd,
                                env=dict(os.environ, PUTTYSSHHOSTKEYS=store),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual((0, b""), (native.returncode, native.stderr))
        with open(store, "rb") as f:
            self.assertEqual(sorted(b"%s %s" % (unescape(n), d) for n, d in self.values.items()),
                             sorted(f.read().splitlines()))


@unittest.skipUnless(NATIVE, "HK_NATIVE_HKCACHE names no native hkcache")
class HkCacheWineLive(unittest.TestCase):
    maxDiff = None
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="hk-hkcache-live-")
        self.cwd = self.dir.name
        self.env = dict(os.environ, PUTTYSSHHOSTKEYS=os.path.join(self.cwd, "store"))
        open(self.env["PUTTYSSHHOSTKEYS"], "w").close()
        clear_current(self.cwd)
        self.servers = []
        for cleanup in (self.dir.cleanup, lambda: [s.stop() for s in self.servers]):
            self.addCleanup(cleanup)
        self.addCleanup(clear_current, self.cwd)
        self.servers += [Server(self.cwd, *kind) for kind in KEY_TYPES[:-1]]  # all but DSA

    def both(self, *args):
        """hkcache.exe's and the POSIX build's (status, sorted lines, errors), which must agree."""
        native = subprocess.run([NATIVE] + list(args), env=self.env, cwd=self.cwd, timeout=120,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        status, out, err = wine([EXE] + list(args), cwd=self.cwd, timeout=120)
        # libgcrypt's notice that Wine keeps no disk statistics is the only line of its own.
        err = re.sub(rb"NOTE: you should run 'diskperf -y'[^\n]*\n", b"", err)
        ours = (status, sorted(out.replace(b"\r\n", b"\n").splitlines()), err.replace(b"\r", b""))
        self.assertEqual((native.returncode, sorted(native.stdout.splitlines()), native.stderr),
                         ours)
        return ours

    def test_fetch_and_verify_as_the_posix_build_gives_them(self):
        hosts = ["127.0.0.1:%d" % s.port for s in self.servers]
        self.assertEqual(len(hosts), len(self.both("fetch", "--trust-on-first-use", *hosts)[1]))
        self.assertEqual(1, self.both("fetch", *hosts, "--fingerprint", "SHA256:" + "A" * 43)[0])
        # One key that its server does not hold, one name whose port is closed.
        subprocess.run(["ssh-keygen", "-q", "-N", "", "-t", "ed25519", "-f", "other"],
                       cwd=self.cwd, check=True, timeout=60)
        with open(os.path.join(self.cwd, "other.pub")) as f, \
                open(os.path.join(self.cwd, "known_hosts"), "w") as known_hosts:
            other = " ".join(f.read().split()[:2])
            known_hosts.write("[127.0.0.1]:%d %s\n[127.0.0.1]:%d %s\n" % (
                self.servers[-1].port, other, free_port(), other))
        self.assertEqual(0, self.both("import", "--replace", "known_hosts")[0])
        status, out, _ = self.both("verify", "--timeout", "5")
        self.assertEqual((3, [b"MISMATCH", b"match", b"unreachable"]),
                         (status, sorted({line.split()[0] for line in out})))

if __name__ == "__main__":
    main("hkcache.exe")
