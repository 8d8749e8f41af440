# A port server for the tests: serves one connection on 127.0.0.1:PORT with pyserial's server
# class over a loop:// port, which mirrors RTS to CTS and DTR to DSR.
#   rfc2217_server.py MODE PORT RECORD_FILE
# MODE "serve": the port echoes what it receives. "record": it writes every change of RTS and DTR
# and every block of data it receives to RECORD_FILE ("rts 1", "dtr 0", "data 00ff10"), in the
# order they happen, and echoes nothing. "plain": a server that knows nothing of the protocol
# (a login prompt, then silence). The device refuses the speed 12345: the server answers with the
# speed it keeps. Exits by itself after two minutes, whatever the test did.
import os
import socket
import sys
import threading
import time

mode, port, record = sys.argv[1], int(sys.argv[2]), sys.argv[3]
threading.Timer(120, lambda: os._exit(0)).start()
srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.1", port))
srv.listen(1)
conn, _ = srv.accept()
if mode == "plain":
    conn.sendall(b"login: ")
    time.sleep(120)
    os._exit(0)

import serial
import serial.rfc2217
from serial.urlhandler import protocol_loop


class Device(protocol_loop.Serial):
    """loop:// that refuses one speed and, when recording, keeps what it is told."""

    log = open(record, "w", buffering=1) if mode == "record" else None
    lines = {}

    def _reconfigure_port(self):
        if self._baudrate == 12345:
            raise ValueError("unsupported speed")
        super()._reconfigure_port()

    def _note(self, name, value):
        if self.log is not None and self.lines.get(name) != value:
            self.lines[name] = value
            self.log.write("%s %d\n" % (name, value))

    def _update_rts_state(self):
        self._note("rts", self._rts_state)
        super()._update_rts_state()

    def _update_dtr_state(self):
        self._note("dtr", self._dtr_state)
        super()._update_dtr_state()

    def write(self, data):
        if self.log is None:
            return super().write(data)
        if data:
            self.log.write("data %s\n" % bytes(data).hex())
        return len(data)


class Connection:
    # The server class writes its answers with write(); the lock keeps them whole beside the
    # data thread's.
    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            self.sock.sendall(data)


device = Device(None)
device.timeout = 0.02
device.port = "loop://"
device.open()
link = Connection(conn)
manager = serial.rfc2217.PortManager(device, link)


def to_network():
    while True:
        data = device.read(4096)
        if data:
            link.write(b"".join(manager.escape(data)))
        manager.check_modem_lines()


threading.Thread(target=to_network, daemon=True).start()
while True:
    try:
        data = conn.recv(4096)
    except OSError:  # reset: the client closed with our answers unread
        break
    if not data:
        break
    device.write(b"".join(manager.filter(data)))
os._exit(0)
