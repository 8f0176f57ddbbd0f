#!/usr/bin/env python3
"""hkprune.exe end to end under Wine: seeds Wine's real registry, runs the program as a
process and checks its standard output, exit status, hkprune.log and the registry afterwards.

Run by ctest inside the Wine fixture (WINEPREFIX, WINEDEBUG set, wineserver running):
    wine_test.py --exe build/windows/bin/hkprune.exe
With HK_NATIVE_HKPRUNE naming the native build's hkprune, one more test compares the two
programs' reports on the same cache.
"""

import os
import re
import subprocess
import sys
import tempfile
import threading
import time
import unittest

# Nothing is written into the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_common import main  # noqa: E402
from hkreport import PARSE_ERRORS, RECORD_HEAD, Reports  # noqa: E402

EXE = None
NATIVE = os.environ.get("HK_NATIVE_HKPRUNE")

DEFAULT_KEY = r"HKEY_USERS\.DEFAULT\Software\SimonTatham\PuTTY\SshHostKeys"
CURRENT_KEY = r"HKEY_CURRENT_USER\Software\SimonTatham\PuTTY\SshHostKeys"

R = Reports(b"hkprune.exe", b"\r\n")
EXIT_FAILURE = 255  # exit(-1) as a POSIX parent sees it
CHURN_ROUNDS = 2  # delete-and-store rounds of another program during a listing


def wine(args, cwd=None, timeout=60, stdin=b""):
    """Runs `wine args...` with `stdin` (bytes) as its standard input; returns (status, stdout,
    stderr) as bytes.

    Input and output are files, never pipes: a Wine service started on the way would inherit a
    pipe and keep it open long after the program ended.
    """
    with tempfile.TemporaryFile() as inp, tempfile.TemporaryFile() as out, \
            tempfile.TemporaryFile() as err:
        inp.write(stdin)
        inp.seek(0)
        status = subprocess.run(["wine"] + list(args), stdin=inp, stdout=out,
                                stderr=err, cwd=cwd, timeout=timeout).returncode
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()


def harness(args, cwd=None, may_fail=False):
    """A reg/regedit call of the harness itself. Wine's reg.exe very rarely exits 1 without a
    word: such a call is retried, never the program under test."""
    for _ in range(5):
        status, out, err = wine(args, cwd=cwd)
        if status == 0 or (may_fail and (out or err)):
            return status, out
        if out or err:
            break
        time.sleep(0.2)
    raise AssertionError("wine %s failed: %d %r %r" % (args, status, out, err))


def reg_file(keys):
    """A REGEDIT4 file (Windows-1252) that deletes both caches, then creates the given ones.
    `keys` maps a key path to its value names; None leaves the key deleted."""
    text = "REGEDIT4\r\n\r\n"
    for key in (DEFAULT_KEY, CURRENT_KEY):
        text += "[-%s]\r\n\r\n" % key
    for key, names in keys.items():
        if names is None:
            continue
        text += "[%s]\r\n" % key
        for name in names:
            text += '"%s"="0x1,0x2"\r\n' % name.replace("\\", "\\\\").replace('"', '\\"')
        text += "\r\n"
    return text.encode("cp1252")


def value_names(key):
    """The value names of `key` in the registry's own order, or None when it does not exist.
    Read with reg query, which writes the OEM code page: for ASCII names."""
    status, out = harness(["reg", "query", key], may_fail=True)
    if status != 0:
        return None
    names = []
    for line in out.decode("ascii", "replace").splitlines():
        match = re.match(r"^    (.*?)    REG_\w+    ", line)
        if match:
            names.append(match.group(1))
    return names


def exported_names(key, cwd):
    """The value names of `key` exactly, whatever their characters: regedit's UTF-16 export."""
    harness(["regedit", "/e", "export.reg", key], cwd=cwd)
    path = os.path.join(cwd, "export.reg")
    with open(path, "rb") as f:
        text = f.read().decode("utf-16")
    os.remove(path)
    return [re.sub(r'\\(.)', r"\1", m) for m in re.findall(r'^"((?:[^"\\]|\\.)*)"=', text, re.M)]


def in_registry_order(names, key):
    """`names` in the order the registry enumerates them (Wine sorts, ignoring case)."""
    return [n.encode() for n in value_names(key) if n in names]


class WineEndToEnd(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="hk-e2e-")
        self.cwd = self.dir.name
        self.seed()

    def tearDown(self):
        self.seed()
        self.dir.cleanup()

    def seed(self, default=None, current=None):
        path = os.path.join(self.cwd, "seed.reg")
        with open(path, "wb") as f:
            f.write(reg_file({DEFAULT_KEY: default, CURRENT_KEY: current}))
        harness(["regedit", "/s", "seed.reg"], cwd=self.cwd)
        os.remove(path)

    def hkprune(self, *args):
        argv = [a if isinstance(a, bytes) else a.encode() for a in args]
        status, out, _ = wine([EXE] + argv, cwd=self.cwd)
        return status, out

    def log(self):
        path = os.path.join(self.cwd, "hkprune.log")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def assertRecord(self, log, severity, message_regex):
        self.assertIsNotNone(log, "no hkprune.log")
        pattern = rb"(^|\n)" + RECORD_HEAD + severity + rb" PAL " + message_regex + rb"\r\n"
        self.assertRegex(log, re.compile(pattern), log.decode("cp1252"))

    # ---- list ----

    def test_list_everything_in_registry_order_skipping_other_values(self):
        self.seed(current=["rsa2@22:host1", "ssh-ed25519@22:host1", "rsa2@2222:host2", "host1"])
        order = value_names(CURRENT_KEY)
        expected = [n.encode() for n in order if n != "host1"]
        self.assertEqual((0, R.found(expected)), self.hkprune("-c", "-l"))
        self.assertIsNone(self.log(), "hkprune.log written without -v")

    def test_list_filters(self):
        self.seed(current=["rsa2@22:host1", "ssh-ed25519@22:host1", "rsa2@2222:host2"])
        rsa2 = in_registry_order(["rsa2@22:host1", "rsa2@2222:host2"], CURRENT_KEY)
        self.assertEqual((0, R.found(rsa2)), self.hkprune("-c", "-l", "-t", "rsa2"))
        host1 = in_registry_order(["rsa2@22:host1", "ssh-ed25519@22:host1"], CURRENT_KEY)
        self.assertEqual((0, R.found(host1)), self.hkprune("-c", "-l", "-p", "22", "host1"))
        self.assertEqual((EXIT_FAILURE, R.not_found()),
                         self.hkprune("-c", "-l", "-p", "2222", "host1"))
        self.assertEqual((EXIT_FAILURE, R.not_found()), self.hkprune("-c", "-l", "-t", "RSA2"))
        # A hyphen belongs to the argument, quoted or not.
        self.assertEqual((0, R.found([b"ssh-ed25519@22:host1"])),
                         self.hkprune("-c", "-l", "-t", "ssh-ed25519"))
        self.assertEqual((0, R.found([b"ssh-ed25519@22:host1"])),
                         self.hkprune("-c", "-l", "-t", '"ssh-ed25519"'))

    def test_value_named_host1_is_never_listed(self):
        self.seed(default=["host1"])
        self.assertEqual((EXIT_FAILURE, R.not_found()), self.hkprune("-l"))
        self.assertEqual((EXIT_FAILURE, R.not_found()), self.hkprune("-l", "host1"))

    def test_missing_cache_key(self):
        self.assertEqual((EXIT_FAILURE, R.not_found()), self.hkprune("-c", "-l"))
        self.assertEqual((EXIT_FAILURE, R.not_found()), self.hkprune())
        self.assertIsNone(self.log())
        status, out = self.hkprune("-v", "-d", "-t", "rsa2", "-p", "22", "host1")
        self.assertEqual((EXIT_FAILURE, R.not_found()), (status, out))
        log = self.log()
        self.assertRecord(log, b"ERROR", rb"Throw exception \S+:\d+RegistryKey::getKey\(\):.*")
        self.assertRecord(
            log, b"ERROR",
            rb"Error opening key: RegistryKey::getKey\(\):\S+:\d+ : error opening key"
            rb"<0x80000003 \(Users\) : \.DEFAULT\\Software\\SimonTatham\\PuTTY\\SshHostKeys>  "
            rb": \(2\)")
        self.assertIsNone(value_names(DEFAULT_KEY))

    def test_cache_choice_last_option_wins(self):
        self.seed(default=["rsa2@22:default-host"], current=["rsa2@22:current-host"])
        default = (0, R.found([b"rsa2@22:default-host"]))
        current = (0, R.found([b"rsa2@22:current-host"]))
        self.assertEqual(default, self.hkprune("-l"))
        self.assertEqual(current, self.hkprune("-c", "-l"))
        self.assertEqual(current, self.hkprune("-s", "-c", "-l"))
        self.assertEqual(default, self.hkprune("-c", "-s", "-l"))
        self.assertEqual(default, self.hkprune("-cs", "-l"))

    # ---- delete ----

    def test_delete_one_leaves_its_neighbours(self):
        self.seed(current=["rsa2@22:host1", "rsa2@2222:host1", "ssh-ed25519@22:host1", "host1"],
                  default=["rsa2@22:host1"])
        self.assertEqual((0, R.removed(b"rsa2@22:host1")),
                         self.hkprune("-c", "-d", "-t", "rsa2", "-p", "22", "host1"))
        self.assertEqual(sorted(["rsa2@2222:host1", "ssh-ed25519@22:host1", "host1"]),
                         sorted(value_names(CURRENT_KEY)))
        self.assertEqual(["rsa2@22:host1"], value_names(DEFAULT_KEY))
        self.assertIsNone(self.log())

    def test_delete_twice(self):
        self.seed(default=["rsa2@22:host1", "rsa2@22:host2"])
        args = ("-d", "-t", "rsa2", "-p", "22", "host1")
        self.assertEqual((0, R.removed(b"rsa2@22:host1")), self.hkprune(*args))
        self.assertEqual((EXIT_FAILURE, R.not_found()), self.hkprune("-v", *args))
        self.assertEqual(["rsa2@22:host2"], value_names(DEFAULT_KEY))
        # The message's own newline is written escaped: the record stays one line.
        self.assertRecord(self.log(), b"ERROR",
                          rb"Error code <2> deleting value <rsa2@22:host1>\\n")

    def test_missing_parts_in_order_host_port_type(self):
        self.seed(default=["rsa2@22:host1"])
        for args, message in [(["-d", "-t", "rsa2"], b"No key host name specified"),
                              (["-d", "-t", "rsa2", "host1"], b"No key port specified"),
                              (["-d", "-p", "22", "host1"], b"No key type specified")]:
            with self.subTest(args=args):
                self.assertEqual((EXIT_FAILURE, R.usage(message)), self.hkprune(*args))
        self.assertEqual(["rsa2@22:host1"], value_names(DEFAULT_KEY))

    def test_verbose_traces_the_deletion(self):
        self.seed(current=["rsa2@22:host1", "rsa2@22:host2"])
        self.assertEqual((0, R.removed(b"rsa2@22:host1")),
                         self.hkprune("-v", "-c", "-d", "-t", "rsa2", "-p", "22", "host1"))
        self.assertRecord(self.log(), b"TRACE",
                          rb"gui/util/HkPrune\.cpp:HkPrune::deleteValue:\d+ Successfully deleted "
                          rb"fingerprint value name <rsa2@22:host1>")

    def test_verbose_twice_traces_the_deletion_and_the_parse(self):
        self.seed(current=["rsa2@22:host1"])
        self.assertEqual((0, R.removed(b"rsa2@22:host1")),
                         self.hkprune("-vv", "-c", "-d", "-t", "rsa2", "-p", "22", "host1"))
        log = self.log()
        self.assertRecord(log, b"TRACE", rb"\S+:HkPrune::deleteValue:\d+ Successfully deleted "
                                         rb"fingerprint value name <rsa2@22:host1>")
        self.assertRecord(log, b"TRACE", rb"\S+:PAL::CLIOptionParser::processOption:\d+ .*")

    def test_a_listing_while_another_program_deletes_and_stores_misses_nothing(self):
        # Each delete by another program moves every later value up one index, so a listing
        # that enumerated through it would skip values that were never touched.
        kept = ["rsa2@22:host%05d" % i for i in range(20000)]
        churned = ["aaa@22:churn%02d" % i for i in range(20)]  # sorted before the others
        self.seed(current=churned + kept)
        files = {}
        for name, line in (("delete", '"%s"=-'), ("store", '"%s"="0x1,0x2"')):
            files[name] = os.path.join(self.cwd, name + ".reg")
            with open(files[name], "wb") as f:
                f.write(("REGEDIT4\r\n\r\n[%s]\r\n" % CURRENT_KEY).encode())
                f.write("".join(line % n + "\r\n" for n in churned).encode())
        started = threading.Event()

        def other_program():
            # A few rounds of deletes and stores, then the key stays put.
            for _ in range(CHURN_ROUNDS):
                for name in ("delete", "store"):
                    wine(["regedit", "/s", files[name]], cwd=self.cwd)
                    started.set()

        writer = threading.Thread(target=other_program)
        writer.start()
        started.wait()
        status, out = self.hkprune("-c", "-l", "-t", "rsa2")
        writer.join()
        self.assertEqual(0, status)
        listed = set(out.split(b"\r\n"))
        missed = [n for n in kept if n.encode() not in listed]
        self.assertEqual([], missed)

    # ---- the command line ----

    def test_no_action(self):
        self.seed(default=["rsa2@22:host1"])
        self.assertEqual((EXIT_FAILURE, R.usage(b"No action specified")), self.hkprune())

    def test_list_and_delete_together(self):
        self.seed(default=["rsa2@22:host1"])
        self.assertEqual(
            (0, R.usage(b"More than one action specified") + R.removed(b"rsa2@22:host1")),
            self.hkprune("-l", "-d", "-t", "rsa2", "-p", "22", "host1"))

    def test_parse_error_prints_the_usage_with_the_exe_name(self):
        status, out = self.hkprune("-q")
        self.assertEqual(EXIT_FAILURE, status)
        self.assertEqual(R.usage(), out)
        self.assertTrue(out.startswith(b"usage: hkprune.exe -scldv [-s|--defaultkey]"))
        for line in out.split(b"\r\n"):
            self.assertNotIn(b"\n", line)  # every line ends in CRLF

    def test_every_parse_error_deletes_nothing(self):
        self.seed(default=["rsa2@22:host1"], current=["rsa2@22:host1"])
        for args, what in PARSE_ERRORS:
            with self.subTest(what):
                self.assertEqual((EXIT_FAILURE, R.usage()), self.hkprune(*args))
                self.assertEqual((EXIT_FAILURE, R.usage()), self.hkprune("-c", *args))
        self.assertEqual(["rsa2@22:host1"], value_names(DEFAULT_KEY))
        self.assertEqual(["rsa2@22:host1"], value_names(CURRENT_KEY))

    # ---- bad input ----

    def test_longest_names(self):
        # The registry holds value names of up to 16,383 characters.
        longest = "h" * (16383 - len("rsa2@22:"))
        self.seed(current=["rsa2@22:" + longest, "rsa2@22:host1"])
        self.assertEqual((0, R.found([b"rsa2@22:" + longest.encode()])),
                         self.hkprune("-c", "-l", longest))
        # A Windows command line holds at most 32,767 characters, program path included: a
        # host name close to that matches nothing and deletes nothing.
        huge = "h" * 32000
        self.assertEqual((EXIT_FAILURE, R.not_found()), self.hkprune("-c", "-l", huge))
        self.assertEqual((EXIT_FAILURE, R.not_found()),
                         self.hkprune("-c", "-d", "-t", "rsa2", "-p", "22", huge))
        self.assertEqual((0, R.removed(b"rsa2@22:" + longest.encode())),
                         self.hkprune("-c", "-d", "-t", "rsa2", "-p", "22", longest))
        self.assertEqual(["rsa2@22:host1"], value_names(CURRENT_KEY))

    def test_bytes_above_ascii(self):
        self.seed(current=["rsa2@22:h\u00e9st", "rsa2@22:hest", "\u20ac@22:hest"])
        # Names come back in the ANSI code page (1252 under Wine), byte for byte.
        order = [n.encode("cp1252") for n in exported_names(CURRENT_KEY, self.cwd)]
        self.assertEqual((0, R.found(order)), self.hkprune("-c", "-l"))
        self.assertEqual((0, R.found([b"\x80@22:hest"])), self.hkprune("-c", "-l", "-t", "\u20ac"))
        # A byte that is not UTF-8 reaches the program as "?": it matches nothing.
        self.assertEqual((EXIT_FAILURE, R.not_found()),
                         self.hkprune("-c", "-d", "-t", "rsa2", "-p", "22", b"h\xe9st"))
        self.assertEqual((0, R.removed(b"rsa2@22:h\xe9st")),
                         self.hkprune("-c", "-d", "-t", "rsa2", "-p", "22", "h\u00e9st"))
        self.assertEqual(sorted(["rsa2@22:hest", "\u20ac@22:hest"]),
                         sorted(exported_names(CURRENT_KEY, self.cwd)))

    # ---- the same report as the native program ----

    @unittest.skipUnless(NATIVE, "HK_NATIVE_HKPRUNE names no native hkprune")
    def test_same_report_as_native_hkprune(self):
        names = ["rsa2@22:host1", "ssh-ed25519@22:host1", "rsa2@2222:host2", "host1",
                 "ssh-ed25519@2222:127.0.0.1"]
        self.seed(current=names)
        # The host-key file in the registry's own order, so both enumerate alike.
        store = os.path.join(self.cwd, "sshhostkeys")
        with open(store, "wb") as f:
            for name in value_names(CURRENT_KEY):
                f.write(name.encode() + b" 0x1,0x2\n")
        env = dict(os.environ, PUTTYSSHHOSTKEYS=store, HOME=self.cwd)
        for args in (["-c", "-l"], ["-c", "-l", "-t", "rsa2"], ["-c", "-l", "-p", "2222"],
                     ["-c", "-l", "-p", "22", "host1"], ["-c", "-l", "-p", "2222", "host1"],
                     ["-c", "-d", "-t", "rsa2", "-p", "22", "host1"],
                     ["-c", "-d", "-t", "rsa2", "-p", "22", "host1"], ["-c", "-l"]):
            with self.subTest(args=args):
                status, out = self.hkprune(*args)
                native = subprocess.run([NATIVE] + args, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, cwd=self.cwd, env=env,
                                        timeout=60)
                self.assertEqual((native.returncode, native.stdout),
                                 (status, out.replace(b"\r\n", b"\n")))


if __name__ == "__main__":
    # Arguments above ASCII reach Windows programs through the locale's character set.
    os.environ["LC_ALL"] = "C.UTF-8"
    main("hkprune.exe")
