#!/usr/bin/env python3
"""transfer_monitor_kvarolib.py: transfer_monitor.py's job on the kvarolib package.

Finds the VORI KQ Controller by its device name, opens it, starts the transfer area and prints the
inputs of the master and of every extension controller every 100 ms. Meanwhile it sets an output,
resets counter 0 of the master (the package waits for the confirmation) and reports the extension
controllers that come and go, as events handed over by the package.

    python3 transfer_monitor_kvarolib.py [--seconds N] [--library PATH]

Exit code 0 when the controller was found and opened, the transfer ran, the master's inputs moved,
the output went out and the counter reset was confirmed; 1 otherwise. SIGINT or SIGTERM ends early.
"""

import argparse
import os
import signal
import sys
import threading
import time
from pathlib import Path

if __name__ == "__main__" and (Path(__file__).resolve().parent.parent / "python" / "kvarolib").is_dir():
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))  # run from the repository


def inputs_text(record, label):
    values = " ".join("%5d" % v for v in record.Input.InputValue)
    counters = " ".join("%5d" % v for v in record.Input.Counter)
    return " %s in: %s cnt: %s" % (label, values, counters)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Watch the transfer area of a VORI KQ Controller.")
    parser.add_argument("--seconds", type=float, default=5.0, help="how long to watch (default 5)")
    parser.add_argument("--library", help="path of libkvarolib.so (default: the package's own)")
    args = parser.parse_args(argv)
    if args.library:
        os.environ["KVLIB_LIBRARY"] = args.library
    import kvarolib

    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())

    # Taken before the open, which reports the extensions present at its end.
    extensions = kvarolib.events(lambda e: isinstance(e, kvarolib.ExtensionEvent))
    try:
        kq = kvarolib.open()
    except kvarolib.NotFoundError as e:
        print("No controller found: %s." % e, file=sys.stderr)
        return 1
    except kvarolib.KvError as e:
        print("Cannot open the controller: %s" % e, file=sys.stderr)
        return 1
    failures = 0
    with kq, extensions:
        print("Controller on %s" % kq.port)
        print("Master %s, firmware %s, serial number %s" % (kq.device_name, kq.firmware, kq.serial_number))
        try:
            ta = kq.transfer()
        except kvarolib.KvError as e:
            print("The transfer did not start: %s" % e, file=sys.stderr)
            return 1
        with ta:
            print("Transfer running.", flush=True)
            master = ta.master
            master.Output.OutputData[0] = 0x01
            master.ChangeState.OutputsSent = 0
            first = tuple(master.Input.InputValue) + tuple(master.Input.Counter)
            inputs_moved = output_sent = reset_seen = False
            start = time.monotonic()
            while not stop.is_set() and time.monotonic() - start < args.seconds:
                stop.wait(0.1)
                if not ta.running:
                    print("The transfer stopped (port error %d)." % master.TransferStatus.ComError)
                    failures += 1
                    break
                line = "%5.1f s" % (time.monotonic() - start) + inputs_text(master, "M")
                for k in ta.present()[1:]:
                    line += " |" + inputs_text(ta.record(k), "E%d" % k)
                print(line)
                inputs_moved = inputs_moved or tuple(master.Input.InputValue) + tuple(master.Input.Counter) != first
                if not output_sent and master.ChangeState.OutputsSent:
                    output_sent = True
                    print("Output byte 0 of the master sent.")
                    try:
                        ta.reset_counter(0, 0, timeout=10)  # the new id, the flag cleared, confirmed
                        reset_seen = True
                        print("Counter 0 of the master reset, now %d." % master.Input.Counter[0])
                    except kvarolib.KvError as e:
                        print("The counter reset failed: %s" % e)
                event = extensions.get(0)
                while event is not None:
                    print("Extension %d: %s." % (event.controller, "present" if event.present else "gone"))
                    event = extensions.get(0)
                sys.stdout.flush()
    if failures == 0 and not inputs_moved:
        print("No inputs arrived: the master's inputs never changed.")
        failures += 1
    if not output_sent:
        print("The output was never sent.")
        failures += 1
    if not reset_seen:
        print("The reset of counter 0 was not confirmed.")
        failures += 1
    print("OK." if failures == 0 else "FAILED.")
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
