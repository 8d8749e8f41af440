# A port server for the tests: serves one connection on a free loopback port (printed on the
# first line of stdout) with pyserial's server class over its loop:// port, which mirrors RTS to
# CTS and DTR to DSR. Mode "plain": a telnet-less server that never answers the protocol.
# Exits by itself after a minute, whatever the test did.
import socket
import sys
import threading
import time

mode = sys.argv[1] if len(sys.argv) > 1 else "serve"
threading.Timer(60, lambda: __import__("os")._exit(0)).start()
srv = socket.socket()
srv.bind(("127.0.0.1", 0))
srv.listen(1)
print(srv.getsockname()[1], flush=True)
conn, _ = srv.accept()
if mode == "plain":
    conn.sendall(b"login: ")
    time.sleep(60)
    sys.exit(0)

import serial
import serial.rfc2217



class Connection:
    # The server class writes its answers with write(); the lock keeps them whole beside the
    # data thread's.
    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            self.sock.sendall(data)


port = serial.serial_for_url("loop://", timeout=0.02)
link = Connection(conn)
manager = serial.rfc2217.PortManager(port, link)


def to_network():
    while True:
        data = port.read(4096)
        if data:
            link.write(b"".join(manager.escape(data)))
        manager.check_modem_lines()


threading.Thread(target=to_network, daemon=True).start()
while True:
    data = conn.recv(4096)
    if not data:
        break
    port.write(b"".join(manager.filter(data)))
__import__("os")._exit(0)
