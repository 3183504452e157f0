"""The package's tables held against the C header: result codes, and every record's layout as the C
compiler lays it out."""

import ctypes
import re
import shutil
import subprocess

import pytest

from conftest import ROOT

import kvarolib
from kvarolib import records

HEADER = ROOT / "devicelib" / "include" / "kvarolib.h"


def test_result_codes_match_the_header():
    defined = {name: int(value, 16)
               for name, value in re.findall(r"#define (KVLIB_ERR_\w+) 0x([0-9A-Fa-f]+)u", HEADER.read_text())}
    table = {row.name: row.code for row in kvarolib.RESULT_CODES.values()}
    assert table == defined
    for row in kvarolib.RESULT_CODES.values():
        assert row.text, row.name
    # A code without a row reads as the unknown one, with its own number kept.
    error = kvarolib.KvError(0xE0001999)
    assert (error.code, error.name, error.text) == (0xE0001999, "KVLIB_ERR_UNKNOWN", "Unknown error code !")
    error = kvarolib.KvError(0xE0001018, "op")
    assert (error.name, error.text) == ("KVLIB_ERR_INVALID_PARAM", "Invalid parameter")
    assert "0xE0001018" in str(error) and "op" in str(error)


def _c_fields(structure):
    return [name for name, *_ in structure._fields_]


@pytest.mark.skipif(shutil.which("cc") is None, reason="no C compiler")
def test_records_match_the_header(tmp_path):
    # A C program printing offsetof and sizeof of every record and field the package declares: a field
    # the header lacks fails to compile, one the package lacks shows in the record's size or the
    # following offsets.
    lines = ['#include "kvarolib.h"', "#include <stdio.h>", "int main(void) {"]
    expected = []
    for structure in records.RECORD_TYPES:
        name = structure.__name__
        lines.append('printf("%s %%zu\\n", sizeof(%s));' % (name, name))
        expected.append("%s %d" % (name, ctypes.sizeof(structure)))
        for field in _c_fields(structure):
            lines.append('printf("%s.%s %%zu %%zu\\n", offsetof(%s, %s), sizeof(((%s*)0)->%s));'
                         % (name, field, name, field, name, field))
            described = getattr(structure, field)
            expected.append("%s.%s %d %d" % (name, field, described.offset, described.size))
    for constant in ("IF08_MAX", "RESERVE_SIZE", "BT_MESSAGE_SIZE", "BT_SCAN_RECORD_SIZE"):
        lines.append('printf("%s %%d\\n", %s);' % (constant, constant))
        expected.append("%s %d" % (constant, getattr(records, constant)))
    lines.append("return 0; }")
    source = tmp_path / "dump.c"
    source.write_text("\n".join(lines))
    subprocess.run(["cc", "-std=c11", "-I", str(HEADER.parent), "-o", str(tmp_path / "dump"), str(source)],
                   check=True)
    printed = subprocess.run([str(tmp_path / "dump")], check=True, capture_output=True, text=True).stdout
    assert printed.splitlines() == expected
    # Every record type of the header is declared here.
    declared = set(re.findall(r"^typedef struct (\w+) \{", HEADER.read_text(), re.M))
    assert declared == {s.__name__ for s in records.RECORD_TYPES}
