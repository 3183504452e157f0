"""python -m kvarolib: ports | send COMMAND | put FILE [AREA] | monitor."""

import argparse
import os
import signal
import sys
import threading
import time
from typing import List, Optional, TextIO

from . import KvError, NotFoundError, list_ports, open as open_controller
from ._controller import Controller, Transfer
from .records import IF08_MAX


def _ports(args: argparse.Namespace) -> int:
    for port in list_ports():
        print("%-20s %-9s %s" % (port.device, port.kind, port.description))
    return 0


def _send(args: argparse.Namespace) -> int:
    with open_controller(args.port) as kq:
        sys.stdout.write(kq.shell(args.command))
        sys.stdout.write("\n")
    return 0


class _Progress:
    """A bar that redraws itself on a terminal; plain lines at every tenth otherwise."""

    def __init__(self, out: TextIO) -> None:
        self.out = out
        self.tty = out.isatty()
        self.step = -1

    def __call__(self, done: int, total: int) -> None:
        share = done / total if total else 1.0
        if self.tty:
            filled = int(share * 40)
            self.out.write("\r[%s%s] %3d%% %d/%d bytes" % ("#" * filled, "." * (40 - filled), share * 100,
                                                            done, total))
            if done >= total:
                self.out.write("\n")
        elif int(share * 10) != self.step:
            self.step = int(share * 10)
            self.out.write("%d%% (%d of %d bytes)\n" % (share * 100, done, total))
        self.out.flush()


def _put(args: argparse.Namespace) -> int:
    with open_controller(args.port) as kq:
        print("Uploading %s to the %s..." % (args.file, args.area), flush=True)
        kq.upload(args.file, args.area, progress=_Progress(sys.stdout))
        print("Done.")
    return 0


def _view(kq: Controller, ta: Transfer) -> List[str]:
    lines = ["%s  serial %s  firmware %s  transfer %s" % (
        kq.device_name, kq.serial_number, kq.firmware, "running" if ta.running else "stopped")]
    master = ta.master
    for k in range(IF08_MAX):
        if k and master.State.ExtState[k - 1] != 1:
            continue
        rec = ta.record(k)
        label = "master" if k == 0 else "ext %d " % k
        lines.append("%s in %s  counters %s" % (
            label, " ".join("%5d" % v for v in rec.Input.InputValue),
            " ".join("%5d" % v for v in rec.Input.Counter)))
    lines.append("extensions " + " ".join(str(k) if master.State.ExtState[k - 1] == 1 else "-"
                                          for k in range(1, IF08_MAX)))
    bt = []
    for ch in range(8):
        c = master.State.BtChannel[ch]
        bt.append("%d:%d%s%s" % (ch + 1, c.ConnState, "L" if c.ListenOn else "", "R" if c.ReadOn else ""))
    lines.append("bluetooth  " + "  ".join(bt))
    return lines


def _monitor(args: argparse.Namespace) -> int:
    stop = threading.Event()
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    tty = sys.stdout.isatty()
    with open_controller(args.port) as kq, kq.transfer() as ta:
        deadline = time.monotonic() + args.seconds if args.seconds else None
        while not stop.is_set() and (deadline is None or time.monotonic() < deadline):
            lines = _view(kq, ta)
            if tty:
                sys.stdout.write("\x1b[H\x1b[J" + "\n".join(lines) + "\n")
            else:
                sys.stdout.write("\n".join(lines) + "\n\n")
            sys.stdout.flush()
            if not ta.running:
                print("The transfer stopped.", file=sys.stderr)
                return 1
            stop.wait(0.1)
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kvarolib", description="The VORI KQ Controller.")
    parser.add_argument("--port", help="the controller's port (default: found by its device name)")
    sub = parser.add_subparsers(dest="what", required=True)
    sub.add_parser("ports", help="list the serial ports").set_defaults(run=_ports)
    send = sub.add_parser("send", help="send a command line to the controller's shell")
    send.add_argument("command")
    send.set_defaults(run=_send)
    put = sub.add_parser("put", help="upload a file")
    put.add_argument("file")
    put.add_argument("area", nargs="?", default="ramdisk", choices=("ramdisk", "flash", "system"))
    put.set_defaults(run=_put)
    monitor = sub.add_parser("monitor", help="a live view of the transfer area")
    monitor.add_argument("--seconds", type=float, default=0, help="end after this long (default: Ctrl-C)")
    monitor.set_defaults(run=_monitor)
    args = parser.parse_args(argv)
    if args.what == "put" and not os.path.isfile(args.file):
        parser.error("no file %s" % args.file)
    try:
        return int(args.run(args))
    except (KvError, NotFoundError) as e:
        print("kvarolib: %s" % e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
