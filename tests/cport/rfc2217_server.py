#!/usr/bin/env python3
"""A second com port server for the tests: pySerial's RFC 2217 PortManager in
front of a pretend serial port whose modem lines the test sets.

Listens on 127.0.0.1 on a free port, prints that port on the first line of
stdout, serves one client and echoes its data back. Commands on stdin, one a
line:
    lines CTS DSR RI CD   each 0 or 1: sets the pretend lines, and the
                          PortManager notifies the client of the change
    suspend, resume       asks the client to hold its data, or to go on
                          (FLOWCONTROL-SUSPEND / FLOWCONTROL-RESUME)
    break?                prints "break 1" or "break 0": whether the client
                          holds the line in the break state
The server ends when the client goes or stdin closes.
"""
import socket
import sys
import threading

import serial
import serial.rfc2217 as rfc2217


class PretendPort:
    """What PortManager reads and writes of a serial port."""

    def __init__(self):
        self.cts = self.dsr = self.ri = self.cd = False
        self.baudrate = 9600
        self.bytesize = serial.EIGHTBITS
        self.parity = serial.PARITY_NONE
        self.stopbits = serial.STOPBITS_ONE
        self.xonxoff = self.rtscts = False
        self.dtr = self.rts = True
        self.break_condition = False

    def reset_input_buffer(self):
        pass

    def reset_output_buffer(self):
        pass


class Connection:
    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            self.sock.sendall(data)


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print(listener.getsockname()[1], flush=True)
    sock, _ = listener.accept()
    listener.close()
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    port = PretendPort()
    connection = Connection(sock)
    manager = rfc2217.PortManager(port, connection)
    manager_lock = threading.Lock()

    def commands():
        for line in sys.stdin:
            words = line.split()
            if len(words) == 5 and words[0] == "lines":
                with manager_lock:
                    port.cts, port.dsr, port.ri, port.cd = (w == "1" for w in words[1:])
                    manager.check_modem_lines()
            elif words in (["suspend"], ["resume"]):
                command = (rfc2217.SERVER_FLOWCONTROL_SUSPEND if words[0] == "suspend"
                           else rfc2217.SERVER_FLOWCONTROL_RESUME)
                with manager_lock:
                    manager.rfc2217_send_subnegotiation(command)
            elif words == ["break?"]:
                with manager_lock:
                    print("break 1" if port.break_condition else "break 0", flush=True)
        sock.shutdown(socket.SHUT_RDWR)

    threading.Thread(target=commands, daemon=True).start()
    while True:
        try:
            data = sock.recv(4096)
        except OSError:
            break
        if not data:
            break
        with manager_lock:
            received = b"".join(manager.filter(data))
        if received:
            connection.write(b"".join(manager.escape(received)))


if __name__ == "__main__":
    main()
