#!/usr/bin/env python3
"""hkprune on Linux end to end with a real client: plink stores the keys of two hosts (one
throwaway sshd on loopback, reached as 127.0.0.1 and 127.0.0.2) in PuTTY's host-key file,
hkprune lists and deletes them, and plink then treats the deleted host as unknown.

    plink_test.py --exe build/native/bin/hkprune
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

# Nothing is written into the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_common import free_port, listening, main, stop  # noqa: E402
from hkreport import PARSE_ERRORS, RECORD_HEAD, Reports  # noqa: E402

EXE = None
R = Reports(b"hkprune", b"\n")
EXIT_FAILURE = 255
UNKNOWN_HOST = b"The host key is not cached for this server"


class PlinkEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool in ("plink", "ssh-keygen"):
            if not shutil.which(tool):
                raise AssertionError("%s is missing: run scripts/install-deps" % tool)
        cls.tmp = tempfile.TemporaryDirectory(prefix="hk-plink-")
        root = cls.tmp.name
        cls.home = os.path.join(root, "home")
        cls.puttydir = os.path.join(root, "putty")
        os.mkdir(cls.home)
        os.mkdir(cls.puttydir, 0o700)
        cls.store = os.path.join(cls.puttydir, "sshhostkeys")
        cls.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": cls.home,
                   "PUTTYDIR": cls.puttydir, "LC_ALL": "C"}

        hostkey = os.path.join(root, "hostkey")
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", hostkey],
                       check=True, stdin=subprocess.DEVNULL, timeout=30)
        cls.port = free_port()
        config = os.path.join(root, "sshd_config")
        with open(config, "w") as f:
            f.write("Port %d\nListenAddress 127.0.0.1\nListenAddress 127.0.0.2\n"
                    "HostKey %s\nPidFile %s\nUsePAM no\nStrictModes no\n"
                    % (cls.port, hostkey, os.path.join(root, "sshd.pid")))
        os.makedirs("/run/sshd", exist_ok=True)
        sshd = shutil.which("sshd") or "/usr/sbin/sshd"
        log = os.path.join(root, "sshd.log")
        cls.sshd = subprocess.Popen([sshd, "-D", "-f", config, "-E", log],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        try:
            if not listening(cls.port, time.monotonic() + 15, ("127.0.0.1", "127.0.0.2")):
                raise AssertionError("sshd did not start listening on port %d" % cls.port)
            for host in ("127.0.0.1", "127.0.0.2"):
                cls.plink(host, store=True)
            with open(cls.store, "rb") as f:
                cls.pristine = f.read()
        except BaseException:
            cls.stop_sshd()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.stop_sshd()
        cls.tmp.cleanup()

    @classmethod
    def stop_sshd(cls):
        stop(cls.sshd)

    @classmethod
    def plink(cls, host, store=False):
        """One plink run against the throwaway sshd; returns everything it wrote. Its own
        session, so it has no terminal to ask for a password on; the login itself fails."""
        args = ["plink", "-P", str(cls.port)] + ([] if store else ["-batch"])
        result = subprocess.run(args + ["nobody@" + host, "true"], input=b"y\n" if store else b"",
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=cls.env,
                                start_new_session=True, timeout=30)
        return result.stdout

    def setUp(self):
        with open(self.store, "wb") as f:
            f.write(self.pristine)
        self.cwd = tempfile.mkdtemp(dir=self.tmp.name)

    def hkprune(self, *args):
        argv = [a if isinstance(a, bytes) else a.encode() for a in args]
        result = subprocess.run([EXE] + argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                env=self.env, cwd=self.cwd, timeout=60)
        return result.returncode, result.stdout

    def stored(self):
        with open(self.store, "rb") as f:
            return f.read()

    def name(self, host):
        return b"ssh-ed25519@%d:%s" % (self.port, host)

    def test_plink_stored_both_hosts(self):
        names = [line.split(b" ")[0] for line in self.pristine.splitlines()]
        self.assertEqual(sorted([self.name(b"127.0.0.1"), self.name(b"127.0.0.2")]), sorted(names))

    def test_list_all_in_file_order(self):
        names = [line.split(b" ")[0] for line in self.pristine.splitlines()]
        self.assertEqual((0, R.found(names)), self.hkprune("-c", "-l"))
        self.assertFalse(os.path.exists(os.path.join(self.cwd, "hkprune.log")))

    def test_default_cache_does_not_exist_on_posix(self):
        # Only the current user's cache (-c) is a file; the default user's is never there.
        self.assertEqual((EXIT_FAILURE, R.not_found()), self.hkprune("-l"))
        self.assertEqual((EXIT_FAILURE, R.not_found()), self.hkprune("-c", "-s", "-l"))
        self.assertEqual(self.pristine, self.stored())

    def test_list_with_filters(self):
        self.assertEqual((0, R.found([self.name(b"127.0.0.1")])),
                         self.hkprune("-c", "-l", "-p", str(self.port), "127.0.0.1"))
        self.assertEqual((0, R.found([self.name(b"127.0.0.2")])),
                         self.hkprune("-c", "-l", "127.0.0.2"))
        self.assertEqual((EXIT_FAILURE, R.not_found()), self.hkprune("-c", "-l", "-t", "rsa2"))
        self.assertEqual((EXIT_FAILURE, R.not_found()), self.hkprune("-c", "-l", "-p", "22"))

    def test_delete_makes_plink_treat_the_host_as_unknown(self):
        self.assertNotIn(UNKNOWN_HOST, self.plink("127.0.0.1"))
        self.assertEqual((0, R.removed(self.name(b"127.0.0.1"))),
                         self.hkprune("-c", "-d", "-t", "ssh-ed25519", "-p", str(self.port),
                                      "127.0.0.1"))
        # Exactly that line is gone; the other is byte for byte as plink wrote it.
        kept = [line for line in self.pristine.splitlines(keepends=True)
                if not line.startswith(self.name(b"127.0.0.1") + b" ")]
        self.assertEqual(b"".join(kept), self.stored())
        self.assertIn(UNKNOWN_HOST, self.plink("127.0.0.1"))
        self.assertNotIn(UNKNOWN_HOST, self.plink("127.0.0.2"))
        self.assertEqual(b"".join(kept), self.stored())  # plink -batch stored nothing
        # Once more: nothing left to delete.
        self.assertEqual((EXIT_FAILURE, R.not_found()),
                         self.hkprune("-c", "-d", "-t", "ssh-ed25519", "-p", str(self.port),
                                      "127.0.0.1"))

    def test_verbose_delete_is_traced_in_the_current_directory(self):
        self.assertEqual((0, R.removed(self.name(b"127.0.0.2"))),
                         self.hkprune("-v", "-c", "-d", "-t", "ssh-ed25519", "-p",
                                      str(self.port), "127.0.0.2"))
        with open(os.path.join(self.cwd, "hkprune.log"), "rb") as f:
            log = f.read()
        self.assertRegex(log, RECORD_HEAD + rb"TRACE PAL gui/util/HkPrune\.cpp:"
                         rb"HkPrune::deleteValue:\d+ Successfully deleted fingerprint value "
                         rb"name <" + re.escape(self.name(b"127.0.0.2")) + rb">\n")

    def test_every_parse_error_deletes_nothing(self):
        with open(self.store, "ab") as f:
            f.write(b"rsa2@22:host1 0x1,0x2\n")
        before = self.stored()
        for args, what in PARSE_ERRORS:
            with self.subTest(what):
                self.assertEqual((EXIT_FAILURE, R.usage()), self.hkprune("-c", *args))
        self.assertEqual(before, self.stored())

    def test_longest_host_name_and_bytes_above_ascii(self):
        # The longest command line Windows passes, 32,767 characters joined, is the longest read.
        long_host = b"h" * (32767 - len(b" -c -d -t rsa2 -p 22 "))
        extra = [b"rsa2@22:" + long_host, b"rsa2@22:h\xc3\xa9st", b"rsa2@22:h\xe9st"]
        with open(self.store, "ab") as f:
            for name in extra:
                f.write(name + b" 0x1,0x2\n")
        before = self.stored()
        self.assertEqual((0, R.found([extra[0]])), self.hkprune("-c", "-l", long_host))
        self.assertEqual((0, R.found([extra[2]])), self.hkprune("-c", "-l", b"h\xe9st"))
        self.assertEqual((0, R.removed(extra[0])),
                         self.hkprune("-c", "-d", "-t", "rsa2", "-p", "22", long_host))
        self.assertEqual((0, R.removed(extra[1])),
                         self.hkprune("-c", "-d", "-t", "rsa2", "-p", "22", b"h\xc3\xa9st"))
        expected = b"".join(line for line in before.splitlines(keepends=True)
                            if not line.startswith((extra[0] + b" ", extra[1] + b" ")))
        self.assertEqual(expected, self.stored())


if __name__ == "__main__":
    main("hkprune")
