#!/usr/bin/env python3
"""hkcache on Linux against real peers: plink caches the host key of one throwaway sshd per
key type; hkcache lists each with the fingerprint ssh-keygen gives for the server's public key
file, in JSON that Python parses, and as known_hosts lines that ssh accepts (and refuses when a
key is wrong). As root, another user's file is read from their home, and a planted link to
/etc/shadow is refused, a cache PuTTY wrote under umask 002 is worked on beside a refused one,
each named by its user; and for a user of its own with no ~/.putty, an import of the servers'
public keys lets plink -batch pass host-key verification, a remove makes it refuse again, the
import of the remove's backup undoes that, and other hosts' lines keep their bytes throughout.

    hkcache_plink_test.py --exe build/native/bin/hkcache
"""

import contextlib
import json
import os
import pathlib
import pwd
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

EXE = None
COMPLETION = str(pathlib.Path(__file__).resolve().parents[2] / "doc" / "hkcache.bash-completion")
# (ssh-keygen arguments, PuTTY's type name, extra sshd and ssh options)
KEY_TYPES = [
    (["-t", "rsa", "-b", "2048"], "rsa2", []),
    (["-t", "ecdsa", "-b", "256"], "ecdsa-sha2-nistp256", []),
    (["-t", "ecdsa", "-b", "384"], "ecdsa-sha2-nistp384", []),
    (["-t", "ecdsa", "-b", "521"], "ecdsa-sha2-nistp521", []),
    (["-t", "ed25519"], "ssh-ed25519", []),
    # Off by default since OpenSSH 7.0; still served and checked when asked for.
    (["-t", "dsa"], "dss", ["HostKeyAlgorithms=+ssh-dss"]),
]


@contextlib.contextmanager
def throwaway_user(prefix, home, *options):
    """A user of its own whose home is `home` (not made here), deleted again after."""
    user = "%s%d" % (prefix, os.getpid())
    subprocess.run(["useradd", "-M", "-d", home, user] + list(options), check=True, timeout=30)
    try:
        yield pwd.getpwnam(user)
    finally:
        subprocess.run(["userdel", user], timeout=30)


class Server:
    """One sshd on loopback serving one host key."""

    def __init__(self, root, keygen, putty_type, options):
        self.putty_type = putty_type
        self.options = options
        self.key = os.path.join(root, "key-" + putty_type)
        subprocess.run(["ssh-keygen", "-q", "-N", "", "-f", self.key] + keygen, check=True,
                       stdin=subprocess.DEVNULL, timeout=60)
        with open(self.key + ".pub") as f:
            self.openssh_type, self.base64 = f.read().split()[:2]
        out = subprocess.run(["ssh-keygen", "-lf", self.key + ".pub"], check=True,
                             stdout=subprocess.PIPE, timeout=30).stdout.decode().split()
        self.bits, self.fingerprint = int(out[0]), out[1]
        self.port = free_port()
        config = os.path.join(root, "sshd_config-" + putty_type)
        with open(config, "w") as f:
            f.write("Port %d\nListenAddress 127.0.0.1\nHostKey %s\nPidFile %s\nUsePAM no\n"
                    "StrictModes no\n" % (self.port, self.key, config + ".pid"))
            f.write("".join(option.replace("=", " ") + "\n" for option in options))
        self.process = subprocess.Popen(
            [shutil.which("sshd") or "/usr/sbin/sshd", "-D", "-f", config, "-E", config + ".log"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.up = listening(self.port, time.monotonic() + 15)

    def stop(self):
        stop(self.process)

    @property
    def name(self):
        return "%s@%d:127.0.0.1" % (self.putty_type, self.port)


def serve_and_cache(root, env, servers):
    """One sshd per key type in `servers` (appended as each starts, so a failure can still stop
    them), each key cached by plink under `env`."""
    for keygen, putty_type, options in KEY_TYPES:
        server = Server(root, keygen, putty_type, options)
        servers.append(server)
        if server.up:
            subprocess.run(["plink", "-P", str(server.port), "nobody@127.0.0.1", "true"],
                           input=b"y\n", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           env=env, start_new_session=True, timeout=30)


class HkCachePeers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool in ("plink", "ssh", "ssh-keygen"):
            if not shutil.which(tool):
                raise AssertionError("%s is missing: run scripts/install-deps" % tool)
        cls.tmp = tempfile.TemporaryDirectory(prefix="hk-hkcache-")
        root = cls.tmp.name
        cls.puttydir = os.path.join(root, "putty")
        os.mkdir(cls.puttydir, 0o700)
        cls.store = os.path.join(cls.puttydir, "sshhostkeys")
        cls.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": root,
                   "PUTTYDIR": cls.puttydir, "LC_ALL": "C"}
        os.makedirs("/run/sshd", exist_ok=True)
        cls.servers = []
        try:
            serve_and_cache(root, cls.env, cls.servers)
            with open(cls.store) as f:
                cls.cached = {line.split(" ")[0] for line in f.read().splitlines()}
            # Every type but DSA must be served and cached; DSA where this OpenSSH still can.
            cls.servers = [s for s in cls.servers if s.name in cls.cached or s.putty_type != "dss"]
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for server in cls.servers:
            server.stop()
        cls.tmp.cleanup()

    def hkcache(self, *args):
        result = subprocess.run([EXE] + list(args), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env,
                                timeout=60)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def test_plink_cached_every_type(self):
        self.assertEqual({s.name for s in self.servers}, self.cached)

    def test_fingerprints_are_ssh_keygens(self):
        status, out, err = self.hkcache("list")
        self.assertEqual((0, ""), (status, err))
        listed = {line.split(" ")[0]: line.split(" ")[1:] for line in out.splitlines()}
        for server in self.servers:
            with self.subTest(server.putty_type):
                self.assertEqual([server.putty_type, str(server.bits), server.fingerprint],
                                 listed[server.name])

    def test_json_parses_and_holds_openssh_keys(self):
        status, out, err = self.hkcache("list", "--format", "json", "127.0.0.1")
        self.assertEqual((0, ""), (status, err))
        keys = {k["name"]: k for k in json.loads(out)["keys"]}
        for server in self.servers:
            with self.subTest(server.putty_type):
                self.assertEqual({"cache": self.store, "name": server.name, "host": "127.0.0.1",
                                  "port": server.port, "type": server.putty_type,
                                  "openssh_type": server.openssh_type, "bits": server.bits,
                                  "fingerprint": server.fingerprint, "key": server.base64},
                                 keys[server.name])

    def test_putty_format_is_the_file_plink_wrote(self):
        with open(self.store) as f:
            self.assertEqual((0, f.read(), ""), self.hkcache("list", "--format", "putty"))

    def ssh(self, server, known_hosts):
        options = ["-o" + o for o in server.options]
        result = subprocess.run(
            ["ssh", "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=yes", "-o",
             "UserKnownHostsFile=" + known_hosts, "-o", "GlobalKnownHostsFile=/dev/null"] +
            options + ["-p", str(server.port), "nobody@127.0.0.1", "true"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            env=self.env, start_new_session=True, timeout=30)
        return result.stdout.decode()

    def test_ci_seeds_the_pinned_key_and_a_wrong_pin_seeds_nothing(self):
        server = next(s for s in self.servers if s.putty_type == "ssh-ed25519")
        other = next(s for s in self.servers if s.putty_type == "rsa2")
        scan = subprocess.run(["ssh-keyscan", "-p", str(server.port), "127.0.0.1"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=30).stdout
        for pin, status, plink in [(other.fingerprint, 5, "key is not cached"),
                                   (server.fingerprint, 0, "Cannot answer interactive prompts")]:
            env = dict(self.env, PUTTYDIR=tempfile.mkdtemp(dir=self.tmp.name))
            seeded = subprocess.run([EXE, "import", "--fingerprint", pin], input=scan, env=env,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
            self.assertEqual(status, seeded.returncode, seeded.stderr)
            out = subprocess.run(["plink", "-batch", "-P", str(server.port), "nobody@127.0.0.1",
                                  "true"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, env=env, start_new_session=True,
                                 timeout=30).stdout.decode()
            self.assertIn(plink, out)

    def test_known_hosts_passes_ssh_and_a_wrong_key_does_not(self):
        status, out, err = self.hkcache("list", "--format", "known_hosts")
        self.assertEqual((0, ""), (status, err))
        known_hosts = os.path.join(self.tmp.name, "known_hosts")
        with open(known_hosts, "w") as f:
            f.write(out)
        wrong = os.path.join(self.tmp.name, "known_hosts.wrong")
        for server in self.servers:
            with self.subTest(server.putty_type):
                self.assertIn("Permission denied", self.ssh(server, known_hosts))
                # Another server's key of the same type is not this one's.
                other = os.path.join(self.tmp.name, "other-" + server.putty_type)
                if not os.path.exists(other + ".pub"):
                    keygen = next(k for k, t, _ in KEY_TYPES if t == server.putty_type)
                    subprocess.run(["ssh-keygen", "-q", "-N", "", "-f", other] + keygen,
                                   check=True, stdin=subprocess.DEVNULL, timeout=60)
                with open(other + ".pub") as f:
                    kind, blob = f.read().split()[:2]
                with open(wrong, "w") as f:
                    f.write("[127.0.0.1]:%d %s %s\n" % (server.port, kind, blob))
                self.assertIn("Host key verification failed", self.ssh(server, wrong))
        # A cached name that is OpenSSH syntax would trust its key for other hosts: left out.
        for host in ("*", "x,anything"):
            with self.subTest(host):
                with open(self.store) as f, open(wrong, "w") as out:
                    name, data = f.readline().split(" ", 1)
                    out.write(name[:name.index(":") + 1] + host + " " + data)
                listed = subprocess.run([EXE, "list", "-f", "known_hosts"], timeout=60,
                                        env=dict(self.env, PUTTYSSHHOSTKEYS=wrong),
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                self.assertIn(": left out\n", listed.stderr.decode())
                with open(known_hosts, "wb") as f:
                    f.write(listed.stdout)
                self.assertEqual(1, subprocess.run(["ssh-keygen", "-F", "anything", "-f",
                                                    known_hosts], stdout=subprocess.DEVNULL,
                                                   timeout=30).returncode)

    def test_completion_never_evaluates_cache_text(self):
        planted = os.path.join(self.tmp.name, "planted")
        cache = os.path.join(self.tmp.name, "hostile")
        with open(cache, "w") as f:
            f.write("rsa2@22:$(touch${IFS}%s) 0x1,0x2\nrsa2@22:`touch${IFS}%s` 0x1,0x2\n"
                    % (planted, planted))
        script = ('source "$1"; COMP_WORDS=("$2" "$3" ""); COMP_CWORD=2; _hkcache; '
                  'printf "%s\\n" "${COMPREPLY[@]}"')
        for command in ("list", "remove"):
            with self.subTest(command):
                out = subprocess.run(["bash", "-c", script, "bash", COMPLETION, EXE, command],
                                     env=dict(self.env, PUTTYSSHHOSTKEYS=cache),
                                     stdout=subprocess.PIPE, timeout=30).stdout.decode()
                self.assertFalse(os.path.exists(planted))
                self.assertEqual(["\\$\\(touch\\$\\{IFS\\}%s\\)" % planted,
                                  "\\`touch\\$\\{IFS\\}%s\\`" % planted], out.splitlines())
        # Commands complete from their table: restore beside remove.
        script = 'source "$1"; COMP_WORDS=("$2" re); COMP_CWORD=1; _hkcache; echo "${COMPREPLY[@]}"'
        self.assertEqual(b"remove restore\n", subprocess.run(
            ["bash", "-c", script, "bash", COMPLETION, EXE], stdout=subprocess.PIPE,
            timeout=30).stdout)

    def test_every_command_and_option_in_help_completes(self):
        script = ('source "$1"; COMP_WORDS=("${@:2}"); COMP_CWORD=$(($# - 2)); _hkcache; '
                  'printf "%s\\n" "${COMPREPLY[@]}"')

        def completions(*words):
            return subprocess.run(["bash", "-c", script, "bash", COMPLETION, EXE] + list(words),
                                  stdout=subprocess.PIPE, timeout=30).stdout.decode().split("\n")
        commands = [line.split()[0] for line in
                    self.hkcache("--help")[1].split("Subcommands:\n")[1].splitlines() if line]
        for command in [[]] + [[c] for c in commands]:
            if command:
                self.assertIn(command[0], completions(*command))
            for line in self.hkcache(*command, "--help")[1].splitlines():
                for name in line.split()[0].split(",") if line.startswith("  -") else []:
                    with self.subTest(command=command, option=name):
                        self.assertIn(name, completions(*command, name))

    @unittest.skipUnless(os.geteuid() == 0, "reading other users' homes needs root")
    def test_other_users_files_and_the_links_they_plant(self):
        home = os.path.join(self.tmp.name, "home-hkc")
        # A second account with the same home: their one file is listed once.
        with throwaway_user("hkc", home) as entry, throwaway_user("hks", home):
            user = entry.pw_name
            os.mkdir(home, 0o755)
            os.mkdir(os.path.join(home, ".putty"), 0o700)
            cache = os.path.join(home, ".putty", "sshhostkeys")
            shutil.copy(self.store, cache)
            for path in (home, os.path.dirname(cache), cache):
                os.chown(path, entry.pw_uid, entry.pw_gid)
            with open(self.store) as f:
                plinks = f.read()
            self.assertEqual((0, plinks, ""),
                             self.hkcache("list", "--cache", "user:" + user, "-f", "putty"))
            status, out, err = self.hkcache("list", "--cache", "all", "-f", "json")
            self.assertEqual(len(self.servers),
                             [k["cache"] for k in json.loads(out)["keys"]].count(cache), err)
            self.assertNotIn(cache, err)
            # Every user's cache is those there are: none is made for the others (/bin...).
            server = self.servers[0]
            with tempfile.NamedTemporaryFile("w", suffix=".known_hosts") as keys:
                keys.write("[hk-all.invalid]:2 %s %s\n" % (server.openssh_type, server.base64))
                keys.flush()
                status, out, err = self.hkcache("import", "--cache", "all", "--dry-run",
                                                "--output-format", "json", keys.name)
            made = {c["cache"] for c in json.loads(out)["changes"]}
            self.assertIn(cache, made, err)
            self.assertEqual([], [path for path in made if not os.path.exists(path)])
            # Root's removal keeps the backup beside their file, and theirs.
            status, out, err = self.hkcache("remove", "--cache", "user:" + user, "127.0.0.1")
            self.assertEqual((0, "hkcache: removed keys kept in %s.old\n" % cache), (status, err))
            with open(cache + ".old") as f:
                self.assertEqual(plinks, "".join(f.readlines()[1:]))  # after its dated line
            self.assertEqual(entry.pw_uid, os.stat(cache + ".old").st_uid)

            with open("/etc/shadow") as f:
                shadow = [line for line in f.read().splitlines() if line]
            os.unlink(cache)
            os.symlink("/etc/shadow", cache)
            os.lchown(cache, entry.pw_uid, entry.pw_gid)
            cases = [("a link out of the home", lambda: None),
                     ("a directory writable by others",
                      lambda: (os.unlink(cache), shutil.copy(self.store, cache),
                               os.chown(cache, entry.pw_uid, entry.pw_gid),
                               os.chmod(os.path.dirname(cache), 0o777))),
                     ("a file owned by someone else",
                      lambda: (os.chmod(os.path.dirname(cache), 0o700),
                               os.chown(cache, 4242, 4242)))]
            for what, arrange in cases:
                arrange()
                for fmt in ("putty", "text"):
                    with self.subTest(what, format=fmt):
                        status, out, err = self.hkcache("list", "--cache", "user:" + user,
                                                        "-f", fmt)
                        self.assertEqual((2, ""), (status, out))
                        self.assertRegex(err, r"^hkcache: %s: refused: .*\n$" % cache)
                        status, out, err = self.hkcache("list", "--cache", "all", "-f", fmt)
                        self.assertIn("hkcache: %s: refused: " % cache, err)
                        self.assertFalse([line for line in shadow if line in out])
                        self.assertNotIn(cache, out)

    @unittest.skipUnless(os.geteuid() == 0, "other users' caches need root")
    def test_every_cache_but_a_refused_one_is_worked_on_and_named_by_its_user(self):
        server, group = self.servers[0], "hkg%d" % os.getpid()
        os.chmod(self.tmp.name, 0o711)
        subprocess.run(["groupadd", group], check=True, timeout=30)
        self.addCleanup(subprocess.run, ["groupdel", group], timeout=30)
        homes = [os.path.join(self.tmp.name, "home-" + name) for name in ("hku", "hkv", "hkw")]
        with throwaway_user("hku", homes[0]) as own, \
                throwaway_user("hkv", homes[1], "-N", "-g", group) as safe, \
                throwaway_user("hkw", homes[2], "-N", "-g", group) as unsafe:
            caches = [os.path.join(home, ".putty", "sshhostkeys") for home in homes]
            for entry, mode in ((own, 0o755), (safe, 0o700), (unsafe, 0o700)):
                os.mkdir(entry.pw_dir, mode)
                os.chown(entry.pw_dir, entry.pw_uid, entry.pw_gid)
            # PuTTY's own writes under umask 002 (a group of the user's alone), and a file
            # writable by a group that two users share.
            subprocess.run(["sh", "-c", "umask 002; mkdir ~/.putty; plink -P %d nobody@127.0.0.1"
                            " true" % server.port], input=b"y\n", capture_output=True,
                           env={"PATH": self.env["PATH"], "HOME": own.pw_dir},
                           preexec_fn=lambda: (os.setgroups([]), os.setgid(own.pw_gid),
                                               os.setuid(own.pw_uid)), timeout=30)
            self.assertEqual([0o40775, 0o100664],
                             [os.stat(p).st_mode for p in (os.path.dirname(caches[0]), caches[0])])
            for entry, cache, mode in ((safe, caches[1], 0o600), (unsafe, caches[2], 0o620)):
                os.mkdir(os.path.dirname(cache), 0o700)
                shutil.copy(self.store, cache)
                os.chmod(cache, mode)
                for path in (os.path.dirname(cache), cache):
                    os.chown(path, entry.pw_uid, entry.pw_gid)
            refused = "hkcache: %s: refused: the file is writable by group %d, not the " \
                "user's alone\n" % (caches[2], unsafe.pw_gid)
            key = ["127.0.0.1", "--port", str(server.port), "--cache", "all"]
            status, out, err = self.hkcache("list", "-f", "json", *key)
            self.assertEqual((2, refused), (status, err))
            self.assertEqual([(caches[0], own.pw_name), (caches[1], safe.pw_name)], sorted(
                (k["cache"], k["account"]) for k in json.loads(out)["keys"] if k["cache"] in caches))
            status, out, err = self.hkcache("list", *key)
            self.assertIn("(%s) %s\n" % (own.pw_name, caches[0]), out)
            status, out, err = self.hkcache("verify", *key)
            self.assertEqual((2, refused), (status, err))
            self.assertIn("%s: match %s" % (caches[0], server.name), out)
            self.assertEqual(2, self.hkcache("remove", *key)[0])
            self.assertEqual([False, False, True],
                             [server.name in pathlib.Path(cache).read_text() for cache in caches])

    @unittest.skipUnless(os.geteuid() == 0, "every user's cache needs root")
    def test_root_restores_every_users_removal_and_no_user_steers_it(self):
        server = self.servers[0]
        name = "%s@2:hk-restore.invalid" % server.putty_type
        keys = os.path.join(self.tmp.name, "restore.known_hosts")
        with open(keys, "w") as f:
            f.write("[hk-restore.invalid]:2 %s %s\n" % (server.openssh_type, server.base64))
        with throwaway_user("hka", os.path.join(self.tmp.name, "hka")) as a, \
                throwaway_user("hkb", os.path.join(self.tmp.name, "hkb")) as b:
            caches = []
            for entry in (a, b):
                cache = os.path.join(entry.pw_dir, ".putty", "sshhostkeys")
                os.makedirs(os.path.dirname(cache), 0o700)
                open(cache, "w").close()
                for path in (entry.pw_dir, os.path.dirname(cache), cache):
                    os.chown(path, entry.pw_uid, entry.pw_gid)
                caches.append(cache)
            backup = os.path.join(self.tmp.name, "all.old")
            # One cache holding the key, then two: the newest section puts back each its own.
            for holding in (caches[:1], caches):
                for entry in (a, b)[:len(holding)]:
                    self.hkcache("import", "--cache", "user:" + entry.pw_name, keys)
                self.assertEqual(0, self.hkcache("remove", "--cache", "all", "--backup", backup,
                                                 "hk-restore.invalid")[0])
                status, out, err = self.hkcache("restore", "--cache", "all", backup)
                self.assertEqual((0, ["%s: added %s %s" % (c, name, server.fingerprint)
                                      for c in holding]), (status, sorted(out.splitlines())), err)
            # Their own backup goes to their own cache; a section hka adds for hkb's is left out.
            self.assertEqual(0, self.hkcache("remove", "--cache", "all", "hk-restore.invalid")[0])
            with open(self.store) as f:
                data = [l for l in f if l.startswith(server.putty_type + "@")][0].split(" ")[1]
            with open(caches[0] + ".old", "a") as f:
                f.write("# %s\n%s %s" % (caches[1], name, data))
            status, out, err = self.hkcache("restore", "--cache", "all", caches[0] + ".old")
            self.assertEqual((0, "%s: added %s %s\n" % (caches[0], name, server.fingerprint)),
                             (status, out))
            self.assertIn("the keys for %s left out: the file is %s's" % (caches[1], a.pw_name),
                          err)

    # plink finds ~ in the password database, not in HOME: a user of its own needs root.
    @unittest.skipUnless(os.geteuid() == 0, "a user whose home plink uses needs root")
    def test_import_remove_and_undo_as_plink_sees_them(self):
        home = os.path.join(self.tmp.name, "home-import")
        with throwaway_user("hki", home) as entry:
            user = entry.pw_name
            os.chmod(self.tmp.name, 0o711)
            os.mkdir(home, 0o700)
            os.chown(home, entry.pw_uid, entry.pw_gid)
            env = {"PATH": self.env["PATH"], "HOME": home, "LC_ALL": "C"}
            # The build may lie where the user cannot go (a checkout under /root).
            exe = shutil.copy(EXE, self.tmp.name)

            def become():
                os.setgroups([])
                os.setgid(entry.pw_gid)
                os.setuid(entry.pw_uid)

            def run(*args):
                result = subprocess.run(list(args), stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        env=env, preexec_fn=become, cwd=home, timeout=60)
                return result.returncode, result.stdout.decode()

            def hkcache(*args):
                status, out = run(exe, *args)
                return status, sorted(out.splitlines())

            def plink():
                """How far plink -batch gets with each server: the host key verified (it then
                stops at the password prompt), or refused as not cached."""
                seen = {}
                for s in self.servers:
                    out = run("plink", "-batch", "-P", str(s.port), "nobody@127.0.0.1", "true")[1]
                    seen[s.putty_type] = ("verified" if "Cannot answer interactive prompts" in out
                                          else "not cached" if "key is not cached" in out else out)
                return seen

            verified = {s.putty_type: "verified" for s in self.servers}
            refused = {s.putty_type: "not cached" for s in self.servers}
            with open(self.store, "rb") as f:
                plinks = sorted(f.read().splitlines(keepends=True))

            def lines(verb, servers=self.servers):
                return sorted("%s %s %s" % (verb, s.name, s.fingerprint) for s in servers)

            first = self.servers[0]
            self.assertEqual((0, lines("added", [first])),
                             hkcache("import", "--host", "[127.0.0.1]:%d" % first.port,
                                     first.key + ".pub"))
            cache = os.path.join(home, ".putty", "sshhostkeys")
            self.assertTrue(os.path.isfile(cache))

            # Other hosts' lines before and after ours, one host a prefix of 127.0.0.1.
            others = [line.replace(b":127.0.0.1 ", b":127.0.0.10 ") for line in plinks] + \
                [b"ssh-ed25519@22:localhost 0x1,0x2\n", b"rsa2@2022:other.example 0x23,0x35\n"]
            with open(cache, "r+b") as f:
                text = f.read()
                f.seek(0)
                f.write(b"".join(others[:3]) + text + b"".join(others[3:]))

            def cached():
                """Our lines, sorted, and whether the others are still there, byte for byte."""
                with open(cache, "rb") as f:
                    held = f.read().splitlines(keepends=True)
                return sorted(l for l in held if l not in others), \
                    [l for l in held if l in others] == others

            known_hosts = os.path.join(home, "known_hosts")
            with open(known_hosts, "w") as f:
                f.write("# the servers this user trusts\n\n" + "".join(
                    "[127.0.0.1]:%d %s %s\n" % (s.port, s.openssh_type, s.base64)
                    for s in self.servers[1:]))
            self.assertEqual((0, lines("added", self.servers[1:])), hkcache("import", known_hosts))
            self.assertEqual((plinks, True), cached())
            self.assertEqual(verified, plink())

            kept = "hkcache: removed keys kept in %s.old" % cache
            self.assertEqual((0, sorted(lines("removed") + [kept])), hkcache("remove", "127.0.0.1"))
            self.assertEqual(([], True), cached())
            with open(cache + ".old", "rb") as f:
                self.assertEqual(plinks, sorted(f.read().splitlines(keepends=True))[1:])
            self.assertEqual(refused, plink())

            status, out = run(EXE, "import", "--format", "putty", "--output-format", "json",
                              cache + ".old")
            self.assertEqual((0, lines("added")), (status, sorted(
                "%(action)s %(name)s %(fingerprint)s" % c for c in json.loads(out)["changes"])))
            self.assertEqual((plinks, True), cached())
            self.assertEqual(verified, plink())
            # A second removal adds a section of its own: the import puts each key back once.
            self.assertEqual(0, hkcache("remove", "127.0.0.1")[0])
            with open(cache + ".old", "rb") as f:
                self.assertEqual(2 * (len(plinks) + 1), len(f.readlines()))
            self.assertEqual((0, lines("added")),
                             hkcache("import", "--format", "putty", cache + ".old"))
            self.assertEqual((plinks, True), cached())


if __name__ == "__main__":
    main("hkcache")
