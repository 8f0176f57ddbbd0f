#!/usr/bin/env python3
"""The collection hkprune.putty on Linux: ansible-playbook over real SSH (a loopback sshd, a
throwaway user) with the collection and hkcache from the build tree. Check mode predicts the
change and writes nothing; present changes, then does not; diff shows the lines; plink -batch
passes host-key verification, and refuses it after absent (which leaves hkcache's backup).
`cache: all` as root reaches two throwaway users (and, on the way, every other user's cache that
exists: the test's host is added there and removed again). ansible-doc renders the module and
yamllint passes on the collection. As root only.

    ansible_test.py --exe build/native/bin/hkcache
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_common import free_port, listening, main, stop  # noqa: E402

EXE = None
HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "..", "..", "ansible")

PLAYBOOK = """
- hosts: a_host
  gather_facts: false
  vars: {a: &a {name: "[127.0.0.1]:%(port)d", hkcache_path: "%(exe)s"}, m: &m {<<: *a, key: "%(key)s"}}
  tasks:
    - {hkprune.putty.putty_hostkey: *m, check_mode: true, diff: true, register: check, name: check}
    - {stat: {path: .putty/sshhostkeys}, register: check_file, name: check_file}
    - {hkprune.putty.putty_hostkey: *m, diff: true, register: first, name: first}
    - {hkprune.putty.putty_hostkey: *m, register: second, name: second}
    - {command: "plink -batch -P %(port)d probe@127.0.0.1 true", register: plink_cached,
       ignore_errors: true, name: plink_cached}
    - {hkprune.putty.putty_hostkey: {<<: *a, state: absent}, diff: true, register: absent,
       name: absent}
    - {stat: {path: .putty/sshhostkeys.old}, register: backup, name: backup}
    - {command: "plink -batch -P %(port)d probe@127.0.0.1 true", register: plink_gone,
       ignore_errors: true, name: plink_gone}
    - {hkprune.putty.putty_hostkey: {<<: *a, state: absent}, name: absent_again}
- hosts: root_host
  gather_facts: false
  vars: {r: &r {name: "%(other)s", hkcache_path: "%(exe)s"},
         p: &p {name: "[127.0.0.1]:%(port)d", hkcache_path: "%(exe)s", cache: "user:%(user_b)s"}}
  tasks:
    - {hkprune.putty.putty_hostkey: {<<: *r, key: "%(key)s", cache: "user:%(user_a)s"}}
    - {hkprune.putty.putty_hostkey: {<<: *r, key: "%(key)s", cache: "user:%(user_b)s"}}
    - {hkprune.putty.putty_hostkey: {<<: *r, state: absent, cache: all}, name: all_gone}
    - {hkprune.putty.putty_hostkey: {<<: *p, fingerprint: "%(fingerprint)s"}, check_mode: true,
       name: pinned_check}
    - {hkprune.putty.putty_hostkey: {<<: *p, fingerprint: "%(fingerprint)s"}, name: pinned}
    - {hkprune.putty.putty_hostkey: {<<: *p, fingerprint: "SHA256:%(wrong)s"}, name: wrong_pin,
       ignore_errors: true}
"""


def run(*args, **kwargs):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300,
                          **kwargs)


class Collection(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root: it adds users and an sshd they log in to")
        for tool in ("ansible-playbook", "ansible-doc", "yamllint", "plink", "sshd"):
            if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
                raise AssertionError("%s is missing: run scripts/install-deps" % tool)
        cls.tmp = tempfile.TemporaryDirectory(prefix="hk-ansible-")
        cls.root = cls.tmp.name
        os.chmod(cls.root, 0o755)
        cls.users, cls.sshd = [], None
        try:
            cls.start()
            cls.results = cls.play()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def start(cls):
        root = cls.root
        run("ssh-keygen", "-q", "-N", "", "-t", "ed25519", "-f", root + "/host", check=True)
        run("ssh-keygen", "-q", "-N", "", "-t", "ed25519", "-f", root + "/client", check=True)
        os.mkdir(root + "/keys", 0o755)
        for name in ("a", "b"):
            user = "hkans%s%d" % (name, os.getpid())
            home = os.path.join(root, user)
            run("useradd", "-M", "-p", "*", "-d", home, user, check=True)
            cls.users.append(user)
            os.mkdir(home, 0o700)
            shutil.copy(root + "/client.pub", root + "/keys/" + user)
            run("chown", "-R", user, home, check=True)
        shutil.copy(root + "/client.pub", root + "/keys/root")
        cls.port = free_port()
        with open(root + "/sshd_config", "w") as f:
            f.write("Port %d\nListenAddress 127.0.0.1\nHostKey %s/host\nPidFile %s/pid\nUsePAM no\n"
                    "StrictModes no\nAuthorizedKeysFile %s/keys/%%u\nPermitRootLogin "
                    "prohibit-password\n" % (cls.port, root, root, root))
        os.makedirs("/run/sshd", exist_ok=True)
        cls.sshd = subprocess.Popen([shutil.which("sshd") or "/usr/sbin/sshd", "-D", "-f",
                                     root + "/sshd_config", "-E", root + "/sshd.log"])
        if not listening(cls.port, time.monotonic() + 15):
            raise AssertionError("sshd did not start")

    @classmethod
    def play(cls):
        root = cls.root
        with open(root + "/host.pub") as f:
            cls.key = " ".join(f.read().split()[:2])
        cls.fingerprint = run("ssh-keygen", "-lf", root + "/host.pub").stdout.split()[1].decode()
        cls.other = "hk-ansible-%d.invalid" % os.getpid()
        with open(root + "/site.yml", "w") as f:
            f.write(PLAYBOOK % {"port": cls.port, "key": cls.key, "exe": EXE, "other": cls.other,
                               "user_a": cls.users[0], "user_b": cls.users[1],
                               "fingerprint": cls.fingerprint, "wrong": "A" * 43})
        with open(root + "/hosts", "w") as f:
            for group, user in (("a", cls.users[0]), ("root", "root")):
                f.write("%s_host ansible_host=127.0.0.1 ansible_user=%s\n" % (group, user))
        env = dict(os.environ, HOME=root, ANSIBLE_COLLECTIONS_PATH=os.path.dirname(EXE) + "/..",
                   ANSIBLE_STDOUT_CALLBACK="json", ANSIBLE_HOST_KEY_CHECKING="False",
                   ANSIBLE_LOCAL_TEMP=root + "/tmp",
                   ANSIBLE_PYTHON_INTERPRETER="/usr/bin/python3", ANSIBLE_PIPELINING="True",
                   ANSIBLE_SSH_ARGS="-o ControlMaster=no")
        out = subprocess.run(["ansible-playbook", "-i", root + "/hosts", "--private-key", root + "/client",
                  "-e", "ansible_port=%d" % cls.port, root + "/site.yml"], env=env, cwd=root,
                             stdout=subprocess.PIPE, timeout=300)
        try:
            report = json.loads(out.stdout)
        except ValueError:
            raise AssertionError(out.stdout.decode())
        return {task["task"]["name"]: list(task["hosts"].values())[0]
                for play in report["plays"] for task in play["tasks"]}

    @classmethod
    def tearDownClass(cls):
        if cls.sshd:
            stop(cls.sshd)
        for user in cls.users:
            subprocess.run(["userdel", user], timeout=30)
        cls.tmp.cleanup()

    def test_check_mode_predicts_and_writes_nothing(self):
        check = self.results["check"]
        self.assertTrue(check["changed"], check)
        self.assertEqual(["would add"], [c["action"] for c in check["changes"]])
        self.assertIn(" 0x", check["diff"][0]["after"])
        self.assertFalse(self.results["check_file"]["stat"]["exists"])

    def test_present_changes_once_and_shows_the_lines(self):
        first, second = self.results["first"], self.results["second"]
        self.assertEqual((True, False), (first["changed"], second["changed"]), (first, second))
        self.assertEqual(self.results["check"]["diff"], first["diff"])
        self.assertEqual("", first["diff"][0]["before"])
        self.assertTrue(first["diff"][0]["after"].startswith("ssh-ed25519@%d:127.0.0.1 " % self.port))

    def test_plink_verifies_the_key_until_it_is_absent(self):
        self.assertIn("Cannot answer interactive prompts", self.results["plink_cached"]["stderr"])
        absent = self.results["absent"]
        self.assertEqual((True, ""), (absent["changed"], absent["diff"][0]["after"]), absent)
        self.assertTrue(self.results["backup"]["stat"]["exists"])
        self.assertIn("key is not cached", self.results["plink_gone"]["stderr"])

    def test_absent_of_a_host_not_cached_is_ok_and_unchanged(self):
        again = self.results["absent_again"]
        self.assertEqual((False, False), (again.get("failed", False), again["changed"]), again)

    def test_cache_all_reaches_every_users_file(self):
        homes = [os.path.join(self.root, user, ".putty/sshhostkeys") for user in self.users]
        self.assertLessEqual(set(homes), set(self.results["all_gone"]["fingerprints"]),
                             self.results["all_gone"])

    def test_a_pinned_fingerprint_fetches_the_proved_key_and_a_wrong_one_nothing(self):
        # Check mode predicts the fetch and writes nothing: the run after it still adds the key.
        check = self.results["pinned_check"]
        self.assertEqual(["would add"], [c["action"] for c in check["changes"]], check)
        pinned, wrong = self.results["pinned"], self.results["wrong_pin"]
        cache = os.path.join(self.root, self.users[1], ".putty/sshhostkeys")
        self.assertEqual((True, [self.fingerprint]),
                         (pinned["changed"], pinned["fingerprints"].get(cache)), pinned)
        self.assertEqual((True, False), (wrong.get("failed"), wrong["changed"]), wrong)

    def test_ansible_doc_and_yamllint(self):
        env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=os.path.dirname(EXE) + "/..")
        doc = run("ansible-doc", "hkprune.putty.putty_hostkey", env=env)
        self.assertIn(b"hkcache_path", doc.stdout)
        lint = run("yamllint", "-s", ".", cwd=SOURCE)
        self.assertEqual(0, lint.returncode, lint.stdout)


if __name__ == "__main__":
    main("hkcache")
