"""What the end-to-end tests share: loopback ports for their servers, stopping them, and the
command line that names the program under test."""

import argparse
import os
import socket
import subprocess
import sys
import time
import unittest


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port, deadline, hosts=("127.0.0.1",)):
    """Whether every one of `hosts` accepts a connection on `port` before `deadline`."""
    while time.monotonic() < deadline:
        try:
            for host in hosts:
                socket.create_connection((host, port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.1)
    return False


def stop(process):
    """Ends a server the test started: asked first, killed if it will not go."""
    process.terminate()
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=10)


def main(what):
    """Runs the tests of the script being run against the program given with --exe (its
    absolute path goes into the script's EXE); other arguments go to unittest."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True, help=what + " to test")
    args, rest = parser.parse_known_args()
    script = sys.modules["__main__"]
    script.EXE = os.path.abspath(args.exe)
    unittest.main(module=script, argv=[sys.argv[0]] + rest, verbosity=2)
