#!/usr/bin/env python3
"""The Linux side of a Wine COM port for the Windows tests.

Makes a pseudo-terminal pair, links its slave as LINK (a Wine prefix's
dosdevices/comN, so that \\\\.\\COMn opens it), and serves a Windows test over a
TCP control connection on 127.0.0.1. The port it listens on is written to
READY_FILE once everything is in place. One command per line, one answer
per line:
    write HEX            write the bytes to the master           -> ok
    read N MS            read up to N bytes, waiting up to MS ms -> data HEX
    termios              the slave's settings read with TCGETS2  -> speed S cflag C iflag I
    quit                 remove the link and end                 -> ok
It also ends, removing the link, when the control connection closes.
Usage: com_peer.py LINK READY_FILE
"""
import fcntl
import os
import select
import socket
import struct
import sys
import time
import tty

TCGETS2 = 0x802C542A
TERMIOS2 = "IIIIB19sII"


def termios2(fd):
    raw = fcntl.ioctl(fd, TCGETS2, bytes(struct.calcsize(TERMIOS2)))
    iflag, _oflag, cflag, _lflag, _line, _cc, ispeed, _ospeed = struct.unpack(TERMIOS2, raw)
    return ispeed, cflag, iflag


def read_bytes(fd, count, ms):
    data = b""
    deadline = time.monotonic() + ms / 1000.0
    while len(data) < count:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            break
        try:
            chunk = os.read(fd, count - len(data))
        except OSError:
            break
        if not chunk:
            break
        data += chunk
    return data


def main():
    link, ready_file = sys.argv[1], sys.argv[2]
    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    with open(ready_file + ".part", "w") as f:
        f.write("%d\n" % server.getsockname()[1])
    os.rename(ready_file + ".part", ready_file)
    server.settimeout(60)
    try:
        conn, _ = server.accept()
    except socket.timeout:
        os.unlink(link)
        return
    reader = conn.makefile("r")
    try:
        for line in reader:
            words = line.split()
            if not words:
                continue
            if words[0] == "write":
                os.write(master, bytes.fromhex(words[1] if len(words) > 1 else ""))
                answer = "ok"
            elif words[0] == "read":
                answer = "data " + read_bytes(master, int(words[1]), int(words[2])).hex()
            elif words[0] == "termios":
                speed, cflag, iflag = termios2(slave)
                answer = "speed %d cflag %d iflag %d" % (speed, cflag, iflag)
            elif words[0] == "quit":
                conn.sendall(b"ok\n")
                break
            else:
                answer = "error unknown command"
            conn.sendall((answer + "\n").encode())
    finally:
        if os.path.lexists(link):
            os.unlink(link)


if __name__ == "__main__":
    main()
