"""Discovery, open and close, information, shell, disk and upload against kqsim."""

import hashlib
import os

import pytest

import kvarolib
from kvarolib import _errors as codes
from conftest import DEVICE_NAME


def test_ports_are_listed_with_kind(sim):
    os.environ["KVLIB_PORTS"] += ";/dev/null=Seriell-Bluetooth, MAC 00:1A:7D:DA:71:13"
    ports = {p.device: p for p in kvarolib.list_ports()}
    assert ports[sim.port] == kvarolib.PortInfo(sim.port, DEVICE_NAME, "USB")
    assert ports["/dev/null"].kind == "Bluetooth"
    assert ports["/dev/null"].description == "Seriell-Bluetooth, MAC 00:1A:7D:DA:71:13"
    assert kvarolib.find_controller() == sim.port


def test_no_controller_named(sim):
    os.environ["KVLIB_PORTS"] = "/dev/null=Some USB Modem"
    with pytest.raises(kvarolib.NotFoundError):
        kvarolib.open()
    # The failed open closed the library it had started: the next open works.
    with kvarolib.open(sim.port) as kq:
        assert kq.is_open


def test_open_close_in_any_order(sim):
    first = kvarolib.open()
    # The library serves one controller: a second open is refused and leaves the first one working.
    with pytest.raises(kvarolib.KvError) as refused:
        kvarolib.open(sim.port)
    assert refused.value.code == codes.KVLIB_ERR_DEVICE_IS_OPEN
    assert first.serial_number == "KQ10042317"
    first.close()
    first.close()  # a second close does nothing
    with pytest.raises(kvarolib.KvError) as closed:
        first.serial_number
    assert closed.value.code == codes.KVLIB_ERR_DEVICE_NOT_OPEN
    with kvarolib.open() as again:
        assert again.device_name == "VORI-KQ-M"
    assert not again.is_open


def test_open_failures_raise_with_their_code(tmp_path):
    with pytest.raises(kvarolib.KvError) as missing:
        kvarolib.open(str(tmp_path / "no-such-port"))
    assert missing.value.code == codes.KVLIB_ERR_OPEN_COM
    assert missing.value.name == "KVLIB_ERR_OPEN_COM"


def test_information(kq):
    assert kq.serial_number == "KQ10042317"
    assert kq.firmware == "1.05"
    assert len(kq.hardware_release) == 1
    assert kq.device_name == "VORI-KQ-M"
    assert kq.device_name_of(2) == "VORI-KQ-S2"
    layout = kq.memory_layout
    assert layout.app_area_size > 0 and layout.app_area_start >= layout.shared_memory_start
    assert kq.extensions == (False, True, False, False, False, False, False, False)
    kq.refresh()
    kq.refresh(2)
    with pytest.raises(kvarolib.KvError) as bad:
        kq.firmware_of(9)
    assert bad.value.code == codes.KVLIB_ERR_INVALID_PARAM
    with pytest.raises(kvarolib.KvError) as name:
        kq.device_name = "x" * 17
    assert name.value.code == codes.KVLIB_ERR_WRONG_HOSTNAME_LEN


def test_shell_and_clean_disk(kq, sim):
    assert "KQ10042317" in kq.shell("get_ser_num")
    (sim.store / "ramdisk").mkdir(parents=True, exist_ok=True)
    (sim.store / "ramdisk" / "old.txt").write_text("x")
    kq.clean_disk("ramdisk")
    assert not (sim.store / "ramdisk" / "old.txt").exists()
    with pytest.raises(kvarolib.KvError) as refused:
        kq.clean_disk(kvarolib.SYSTEM)
    assert refused.value.code == codes.KVLIB_ERR_CLEAN_SYSTEM_REFUSED


@pytest.mark.parametrize("mode", ["crc", "nak"])
def test_upload_sizes_around_blocks(sim_factory, mode, tmp_path):
    sim = sim_factory("--xrecv-start", mode, "--flash-delay", "50")
    with kvarolib.open() as kq:
        for size in (0, 1, 128, 129, 1024, 1025, 2048 + 127):
            data = hashlib.sha256(b"%d" % size).digest() * (size // 32 + 1)
            data = data[:size]
            seen = []
            kq.upload(data, kvarolib.RAMDISK, progress=lambda done, total: seen.append((done, total)),
                      name="b%d.bin" % size)
            assert (sim.store / "ramdisk" / ("b%d.bin" % size)).read_bytes() == data
            assert seen[-1] == (size, size)
            assert [d for d, _ in seen] == sorted(d for d, _ in seen)
        path = tmp_path / "file.bin"
        path.write_bytes(os.urandom(5000))
        kq.upload(path, "flash")
        assert (sim.store / "flash" / "file.bin").read_bytes() == path.read_bytes()


def test_upload_cancelled_after_a_block(sim_factory):
    # The controller's CAN after a block is followed by the library's FAILED: that is the outcome.
    sim_factory("--xrecv-can-after", "2")
    with kvarolib.open() as kq, kq.events(lambda e: isinstance(e, kvarolib.UploadStatusEvent)) as events:
        with pytest.raises(kvarolib.KvError) as failed:
            kq.upload(bytes(5000), name="c.bin")
        assert failed.value.code == codes.KVLIB_ERR_UPLOAD_FAILED
        statuses = [events.get(10).status for _ in range(4)]
    assert statuses == [codes.KVLIB_ERR_UPLOAD_START, codes.KVLIB_ERR_UPLOAD_ACK, codes.KVLIB_ERR_UPLOAD_CANCELED,
                        codes.KVLIB_ERR_UPLOAD_FAILED]


def test_upload_failures(sim_factory, tmp_path):
    sim = sim_factory("--xrecv-can-before-first")
    with kvarolib.open() as kq:
        with pytest.raises(kvarolib.KvError) as cancelled:
            kq.upload(b"abc", name="c.bin")
        assert cancelled.value.code == codes.KVLIB_ERR_UPLOAD_CANCELED
        with pytest.raises(kvarolib.KvError) as missing:
            kq.upload(tmp_path / "missing.bin")
        assert missing.value.code == codes.KVLIB_ERR_UPLOAD_FILE_NOT_OPEN
        with pytest.raises(kvarolib.KvError) as bad_name:
            kq.upload(b"abc", name="a/b")
        assert bad_name.value.code == codes.KVLIB_ERR_INVALID_PARAM
        # The controller's shell is there again after the failures.
        assert "KQ10042317" in kq.shell("get_ser_num")
    sim.stop()
