#!/usr/bin/env python3
"""An SSH server that shows a victim's public host key but signs with another key, as a server
that copied the victim's .pub would: paramiko (Debian's python3-paramiko) runs the protocol.

    impostor_server.py PORT VICTIM.pub OWN_ED25519_KEY
"""

import base64
import socket
import sys
import threading

import paramiko

port, victim, own = int(sys.argv[1]), sys.argv[2], sys.argv[3]
with open(victim) as f:
    blob = base64.b64decode(f.read().split()[1])


class Impostor(paramiko.Ed25519Key):
    def asbytes(self):
        return blob


key = Impostor(filename=own)
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
listener.listen(16)


def serve(connection):
    transport = paramiko.Transport(connection)
    transport.add_server_key(key)
    try:
        transport.start_server(server=paramiko.ServerInterface())
        transport.join(10)
    except Exception:  # the client gave up on the proof: what is meant to happen
        pass


while True:
    threading.Thread(target=serve, args=(listener.accept()[0],), daemon=True).start()
