#!/usr/bin/env python3
"""Holds the ctypes records of the Python example against the C header.

    check_layout.py LAYOUT_DUMP EXAMPLE.py

LAYOUT_DUMP is the compiled layout_dump.c: it prints, as the C compiler lays the header out, one line
"TYPE.FIELD OFFSET SIZE" per field and "TYPE SIZE" per record (and the two constants). Every line must
match the example's ctypes records exactly, and the example must have no record or field the dump
does not list. Exit code 0 when both agree, 1 with the differences otherwise.
"""

import importlib.util
import subprocess
import sys


def c_layout(dump):
    out = subprocess.run([dump], check=True, capture_output=True, text=True).stdout
    layout = {}
    for line in out.splitlines():
        name, *numbers = line.split()
        layout[name] = tuple(int(n) for n in numbers)
    return layout


def python_layout(example_path):
    found = importlib.util.spec_from_file_location("transfer_monitor_example", example_path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)  # defines the records only; loads no library
    layout = {"IF08_MAX": (module.IF08_MAX,), "RESERVE_SIZE": (module.RESERVE_SIZE,)}
    for record in module.RECORD_TYPES:
        layout[record.__name__] = (module.ctypes.sizeof(record),)
        for field, *_ in record._fields_:
            descriptor = getattr(record, field)
            layout["%s.%s" % (record.__name__, field)] = (descriptor.offset, descriptor.size)
    return layout


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    c, py = c_layout(sys.argv[1]), python_layout(sys.argv[2])
    problems = []
    for name in sorted(c.keys() | py.keys()):
        if name not in py:
            problems.append("%s: in the C header %s, missing in Python" % (name, c[name]))
        elif name not in c:
            problems.append("%s: in Python %s, not in the C header" % (name, py[name]))
        elif c[name] != py[name]:
            problems.append("%s: C %s, Python %s" % (name, c[name], py[name]))
    for problem in problems:
        print(problem)
    print("%d names compared, %d differ." % (len(c.keys() | py.keys()), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
