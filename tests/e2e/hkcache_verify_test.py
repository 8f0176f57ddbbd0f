#!/usr/bin/env python3
"""hkcache verify and fetch against live servers on loopback: one sshd per key type whose keys
plink cached, a server whose key was regenerated, a closed port, a listener that never answers,
and an impostor that replays a victim's public key (which ssh-keyscan accepts). As root, a
throwaway user's fetch with the right pin lets plink -batch pass host-key verification, and the
run has a network of its own (unshare) whose name server never answers.

    hkcache_verify_test.py --exe build/native/bin/hkcache
"""

import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_common import free_port, listening, main, stop  # noqa: E402
from hkcache_plink_test import KEY_TYPES, Server, throwaway_user  # noqa: E402

EXE = None
HERE = os.path.dirname(os.path.abspath(__file__))


def paramiko_python():
    """A Python that has paramiko: this one, or Debian's."""
    for python in (sys.executable, "/usr/bin/python3"):
        if subprocess.run([python, "-c", "import paramiko"], stderr=subprocess.DEVNULL).returncode == 0:
            return python
    raise AssertionError("python3-paramiko is missing: run scripts/install-deps")


def words(out):
    """Each text line's result word(s) by name."""
    results = {}
    for line in out.splitlines():
        word = " ".join(line.split(" ")[:2]) if line.split(" ")[0] in ("BAD", "not") else line.split(" ")[0]
        results[line[len(word) + 1:].split(" ")[0]] = (word, line)
    return results


def disconnecting(text):
    """The port of a server that agrees to a key exchange, then disconnects with `text`."""
    def string(data):
        return struct.pack(">I", len(data)) + data

    def packet(payload):
        pad = 16 - (len(payload) + 5) % 8
        return struct.pack(">IB", len(payload) + pad + 1, pad) + payload + bytes(pad)
    names = [b"curve25519-sha256", b"ssh-ed25519"] + [b"aes128-ctr"] * 2 + [b"hmac-sha2-256"] * 2
    kexinit = bytes([20] + [0] * 16) + b"".join(map(string, names + [b"none"] * 2 + [b""] * 2))
    sent = packet(kexinit + bytes(5)) + packet(b"\1\0\0\0\2" + string(text) + string(b""))
    listener = socket.create_server(("127.0.0.1", 0))

    def serve():
        while True:
            with listener.accept()[0] as connection:
                connection.sendall(b"SSH-2.0-x\r\n" + sent)
                # Read until the client closes: closed with its data unread, the socket sends a
                # reset, which may overtake the DISCONNECT on a slow client.
                connection.settimeout(10)
                try:
                    while connection.recv(4096):
                        pass
                except OSError:
                    pass
    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


class HkCacheVerify(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="hk-verify-")
        root = cls.tmp.name
        cls.puttydir = os.path.join(root, "putty")
        os.mkdir(cls.puttydir, 0o700)
        cls.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": root,
                   "PUTTYDIR": cls.puttydir, "LC_ALL": "C"}
        os.makedirs("/run/sshd", exist_ok=True)
        cls.servers, cls.others = [], []  # sshds; other servers
        try:
            for keygen, putty_type, options in KEY_TYPES:
                if putty_type != "dss":
                    cls.servers.append(Server(root, keygen, putty_type, options))
                    cls.plink(cls.servers[-1].port)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def plink(cls, port, env=None):
        subprocess.run(["plink", "-P", str(port), "nobody@127.0.0.1", "true"], input=b"y\n",
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env or cls.env,
                       start_new_session=True, timeout=30)

    @classmethod
    def tearDownClass(cls):
        for server in cls.servers + cls.others:
            server.stop() if isinstance(server, Server) else stop(server)
        cls.tmp.cleanup()

    def hkcache(self, *args, env=None):
        result = subprocess.run([EXE] + list(args), stdin=subprocess.DEVNULL, timeout=120,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env or self.env)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def cache_of(self, lines):
        """A cache file of its own holding `lines`, and the environment that makes it current."""
        path = os.path.join(self.tmp.name, "cache-%d" % len(os.listdir(self.tmp.name)))
        with open(path, "w") as f:
            f.write("".join(line + "\n" for line in lines))
        return dict(self.env, PUTTYSSHHOSTKEYS=path)

    def test_every_type_plink_cached_matches(self):
        status, out, err = self.hkcache("verify", "-f", "json")
        results = {r["name"]: r for r in json.loads(out)["results"]}
        self.assertEqual(0, status, err)
        for server in self.servers:
            with self.subTest(server.putty_type):
                self.assertEqual(("match", server.fingerprint, server.fingerprint),
                                 tuple(results[server.name][k] for k in
                                       ("result", "fingerprint", "server_fingerprint")))

    def test_regenerated_key_is_a_mismatch_with_both_fingerprints(self):
        server = next(s for s in self.servers if s.putty_type == "ssh-ed25519")
        # The key the server had before it was regenerated.
        old = os.path.join(self.tmp.name, "old-ed25519")
        subprocess.run(["ssh-keygen", "-q", "-N", "", "-t", "ed25519", "-f", old], check=True,
                       stdin=subprocess.DEVNULL, timeout=60)
        fingerprint = subprocess.run(["ssh-keygen", "-lf", old + ".pub"], stdout=subprocess.PIPE,
                                     check=True, timeout=30).stdout.decode().split()[1]
        env = self.cache_of([])
        self.hkcache("import", "--host", "[127.0.0.1]:%d" % server.port, old + ".pub", env=env)
        status, out, err = self.hkcache("verify", env=env)
        self.assertEqual((3, "MISMATCH %s %s -> %s\n" % (server.name, fingerprint,
                                                          server.fingerprint)), (status, out), err)

    def cached(self, putty_type):
        """plink's data for the key of that type."""
        with open(os.path.join(self.puttydir, "sshhostkeys")) as f:
            return next(l.split()[1] for l in f if l.startswith(putty_type + "@"))

    def test_closed_port_and_silent_listener_are_unreachable_within_the_timeout(self):
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)
        data = self.cached("ssh-ed25519")
        env = self.cache_of(["ssh-ed25519@%d:127.0.0.1 %s" % (port, data)
                             for port in (free_port(), silent.getsockname()[1])])
        start = time.monotonic()
        status, out, err = self.hkcache("verify", "--timeout", "2", env=env)
        elapsed = time.monotonic() - start
        silent.close()
        self.assertEqual(4, status, err)
        self.assertEqual(["unreachable", "unreachable"], [w for w, _ in words(out).values()], out)
        self.assertLess(elapsed, 4)

    def test_results_stream_in_cache_order_until_a_signal_stops_the_rest(self):
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)
        port = silent.getsockname()[1]
        ed, ecdsa = (next(s for s in self.servers if s.putty_type == t)
                     for t in ("ssh-ed25519", "ecdsa-sha2-nistp256"))
        # Two at once: the second hangs while the third is proved (held behind it) and the fourth
        # hangs; the signal comes then, and the fifth never starts.
        names = [ed.name, "ssh-ed25519@%d:127.0.0.1" % port, ecdsa.name,
                 "rsa2@%d:127.0.0.1" % port, "ecdsa-sha2-nistp256@%d:127.0.0.1" % port]
        env = self.cache_of([n + " " + self.cached(n.split("@")[0]) for n in names])
        for sig, status, form in ((signal.SIGINT, 130, "text"), (signal.SIGTERM, 143, "jsonl")):
            with self.subTest(form):
                process = subprocess.Popen(
                    [EXE, "verify", "-j", "2", "--timeout", "3", "-f", form], env=env,
                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                    start_new_session=True,  # a script's background job ignores SIGINT
                    preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
                start = time.monotonic()
                first = process.stdout.readline().decode()
                self.assertLess(time.monotonic() - start, 2, first)
                time.sleep(1)
                process.send_signal(sig)
                rest, err = process.communicate(timeout=30)
                out = first + rest.decode()
                self.assertEqual(status, process.returncode, out + err.decode())
                self.assertEqual(names[:4], list(words(out)) if form == "text" else
                                 [json.loads(line)["name"] for line in out.splitlines()])
                self.assertEqual("hkcache: stopped: 1 of 5 keys not checked\n", err.decode())
        silent.close()

    def impostor(self, victim):
        """The port of a server that shows `victim`'s key and signs with an Ed25519 key."""
        own = os.path.join(self.tmp.name, "impostor-" + victim.putty_type)
        subprocess.run(["ssh-keygen", "-q", "-N", "", "-t", "ed25519", "-f", own], check=True,
                       stdin=subprocess.DEVNULL, timeout=60)
        port = free_port()
        self.others.append(subprocess.Popen(
            [paramiko_python(), os.path.join(HERE, "impostor_server.py"), str(port),
             victim.key + ".pub", own], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL))
        self.assertTrue(listening(port, time.monotonic() + 15))
        return port

    def test_a_connect_or_a_lookup_that_hangs_ends_at_a_fraction_of_a_second(self):
        # The queue holds one connection never accepted: the kernel drops later SYNs.
        full = socket.create_server(("127.0.0.1", 0), backlog=0)
        queued = socket.create_connection(full.getsockname())
        names = ["%d:127.0.0.1" % full.getsockname()[1]] + ["22:hangs.example.com"] * OWN_NETWORK
        env = self.cache_of(["ssh-ed25519@%s %s" % (n, self.cached("ssh-ed25519")) for n in names])
        start = time.monotonic()
        status, out, err = self.hkcache("verify", "--timeout", "0.2", env=env)
        elapsed = time.monotonic() - start
        full.close(), queued.close()
        self.assertEqual((4, ["unreachable"] * len(names)),
                         (status, [w for w, _ in words(out).values()]), out + err)
        self.assertLess(elapsed, 0.9, out)

    def test_impostor_that_replays_a_key_is_bad_proof(self):
        victim = next(s for s in self.servers if s.putty_type == "ssh-ed25519")
        port = self.impostor(victim)
        scanned = subprocess.run(["ssh-keyscan", "-p", str(port), "-t", "ed25519", "127.0.0.1"],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                 timeout=30).stdout.decode().split()
        self.assertEqual(victim.base64, scanned[2])
        env = self.cache_of(["ssh-ed25519@%d:127.0.0.1 %s" % (port, self.cached("ssh-ed25519"))])
        status, out, err = self.hkcache("verify", env=env)
        self.assertEqual((3, "BAD PROOF"), (status, out[:9]), out + err)

    def test_the_servers_words_never_decide_and_another_type_is_named(self):
        ecdsa, ed25519 = (next(s for s in self.servers if s.putty_type == t)
                          for t in ("ecdsa-sha2-nistp256", "ssh-ed25519"))
        texts = ["Failed to verify server hostkey signature",
                 "no match for method server host key algo", "Timeout connecting\x1b[2J"]
        ports = [disconnecting(text.encode()) for text in texts] + [self.impostor(ecdsa)]
        env = self.cache_of(["ssh-ed25519@%d:127.0.0.1 %s" % (p, self.cached("ssh-ed25519"))
                             for p in ports] + ["ecdsa-sha2-nistp256@%d:127.0.0.1 %s" % (
                                 ed25519.port, self.cached("ecdsa-sha2-nistp256"))])
        status, out, err = self.hkcache("verify", "--timeout", "5", env=env)
        lines = [words(out)["ssh-ed25519@%d:127.0.0.1" % port] for port in ports]
        self.assertEqual((4, ["failed"] * 4), (status, [word for word, _ in lines]), out + err)
        self.assertIn(texts[0] + ")", lines[0][1])
        self.assertIn("Timeout connecting\\x1b[2J)", lines[2][1])
        self.assertIn("(the server sent a key of type ecdsa-sha2-nistp256 for ssh-ed25519)", lines[3][1])
        self.assertIn("(server offers ssh-ed25519 %s)" % ed25519.fingerprint,
                      words(out)["ecdsa-sha2-nistp256@%d:127.0.0.1" % ed25519.port][1])

    # plink finds ~ in the password database, not in HOME: a user of its own needs root.
    @unittest.skipUnless(os.geteuid() == 0, "a user whose home plink uses needs root")
    def test_fetch_with_the_right_pin_lets_plink_batch_pass(self):
        server = next(s for s in self.servers if s.putty_type == "ecdsa-sha2-nistp384")
        home = os.path.join(self.tmp.name, "home-fetch")
        with throwaway_user("hkf", home) as entry:
            os.chmod(self.tmp.name, 0o711)
            os.mkdir(home, 0o700)
            os.chown(home, entry.pw_uid, entry.pw_gid)
            exe = shutil.copy(EXE, self.tmp.name)

            def run(*args):
                def become():
                    os.setgroups([])
                    os.setgid(entry.pw_gid)
                    os.setuid(entry.pw_uid)
                result = subprocess.run(list(args), stdin=subprocess.DEVNULL, cwd=home,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        env={"PATH": self.env["PATH"], "HOME": home},
                                        preexec_fn=become, timeout=60)
                return result.returncode, result.stdout.decode()

            host = "127.0.0.1:%d" % server.port
            wrong = next(s for s in self.servers if s is not server).fingerprint
            status, out = run(exe, "fetch", host, "--fingerprint", wrong)
            self.assertEqual(1, status, out)
            self.assertIn(server.fingerprint, out)
            self.assertFalse(os.path.exists(os.path.join(home, ".putty", "sshhostkeys")))
            plink = ["plink", "-batch", "-P", str(server.port), "nobody@127.0.0.1", "true"]
            self.assertIn("key is not cached", run(*plink)[1])
            self.assertEqual((0, "added %s@%d:127.0.0.1 %s\n" % (
                server.putty_type, server.port, server.fingerprint)),
                run(exe, "fetch", host, "--fingerprint", server.fingerprint + "="))
            self.assertIn("Cannot answer interactive prompts", run(*plink)[1])


# Set when the script runs again in a network of its own (where root, unshare and ip allow it),
# with a name server that reads and never answers.
OWN_NETWORK = bool(os.environ.get("HK_OWN_NETWORK"))
SILENT = ("import socket,os,sys; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); "
          "s.bind(('127.0.0.1',53)); s.set_inheritable(True); os.execvp(sys.argv[1],sys.argv[1:])")


def in_own_network():
    if OWN_NETWORK or os.geteuid() or not (shutil.which("ip") and shutil.which("unshare")) or \
            subprocess.run(["unshare", "-n", "-m", "true"], stderr=subprocess.DEVNULL).returncode:
        return
    with tempfile.NamedTemporaryFile("w", prefix="hk-resolv-") as resolv:
        resolv.write("nameserver 127.0.0.1\noptions timeout:5 attempts:1\n")
        resolv.flush()
        script = 'ip link set lo up && mount --bind "$0" /etc/resolv.conf && exec "$@"'
        sys.exit(subprocess.run(["unshare", "-n", "-m", "sh", "-c", script, resolv.name,
                                 sys.executable, "-c", SILENT, sys.executable] + sys.argv,
                                env=dict(os.environ, HK_OWN_NETWORK="1")).returncode)


if __name__ == "__main__":
    in_own_network()
    main("hkcache")
