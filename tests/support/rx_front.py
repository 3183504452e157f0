#!/usr/bin/env python3
"""A thin controller shell in front of an independent XMODEM receiver.

Usage: rx_front.py DIR [RX_OPTION...]

Opens a pseudo terminal and prints the path of its slave side (the port the library opens) as the
first line of its output. It waits for the upload's command line, \\r xrecv "/AREA/NAME" SIZE \\r,
answers it as the controller's shell would (the echo, a line end and the prompt "USB>"), and then
runs `rx RX_OPTION... NAME` from lrzsz in DIR, so that every block is judged by a receiver that
shares no code with the library. rx's own messages go to DIR/rx.log and its exit code to
DIR/rx.exit. Afterwards the prompt is written again and the line is kept open until SIGTERM.

rx does not get the pseudo terminal itself but a socket whose bytes this front relays to and from
it. On its way out rx flushes its terminal's queues; on a serial line its last ACK has left by
then, but on a pseudo terminal that flush would take back an ACK the library has not read yet.
"""

import os
import re
import select
import signal
import socket
import subprocess
import sys
import tty

COMMAND = re.compile(rb'\r(xrecv "/([A-Za-z]+)/([^"\r]+)" (\d+))\r')


def relay(master: int, rx_side: socket.socket) -> None:
    """Copies bytes both ways until rx has closed its side and everything it wrote is passed on."""
    while True:
        ready, _, _ = select.select([master, rx_side], [], [])
        if rx_side in ready:
            data = rx_side.recv(4096)
            if not data:
                return
            os.write(master, data)
        if master in ready:
            data = os.read(master, 4096)
            try:
                rx_side.sendall(data)
            except OSError:
                pass  # rx is gone; its last words are still to be read above


def main() -> int:
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    out_dir = sys.argv[1]
    rx_options = sys.argv[2:]
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))

    master, slave = os.openpty()
    # Raw until the library sets its own modes: no echo of what it writes, no line editing.
    tty.setraw(slave)
    print(os.ttyname(slave), flush=True)

    # The slave stays open here too, so that reading the master never fails before the library
    # has opened its side.
    received = b""
    while True:
        received += os.read(master, 4096)
        match = COMMAND.search(received)
        if match:
            break
    command, name = match.group(1), match.group(3).decode()
    os.write(master, command + b"\r\nUSB>")

    front_side, rx_side = socket.socketpair()
    # rx runs in DIR and is given a plain name: it may refuse paths that lead elsewhere.
    with open(os.path.join(out_dir, "rx.log"), "wb") as log:
        rx = subprocess.Popen(["rx", *rx_options, os.path.basename(name)], cwd=out_dir, stdin=rx_side,
                              stdout=rx_side, stderr=log)
        rx_side.close()
        relay(master, front_side)
        code = rx.wait()
    # Written whole and then renamed, so that a reader never sees it half done.
    with open(os.path.join(out_dir, "rx.exit.part"), "w", encoding="ascii") as status:
        status.write(str(code))
    os.rename(os.path.join(out_dir, "rx.exit.part"), os.path.join(out_dir, "rx.exit"))
    os.write(master, b"\r\nUSB>")

    while True:
        signal.pause()


if __name__ == "__main__":
    sys.exit(main())
