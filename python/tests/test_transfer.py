"""The transfer area and the events against kqsim: moving inputs, the helpers' confirmations,
extensions that come and go, and callbacks that raise."""

import logging
import threading

import pytest

import kvarolib
from kvarolib import _errors as codes
from conftest import wait_until


def test_transfer_follows_moving_inputs(kq):
    with kq.transfer() as ta:
        assert ta.running and ta.present() == [0, 2]
        seen = set()
        for _ in range(20):
            changed = ta.wait_for_change(10)
            assert changed, "no input changed within 10 s"
            seen.update(changed)
            if seen == {0, 2}:
                break
        assert seen == {0, 2}
        counter = ta.master.Input.Counter[0]
        wait_until(lambda: ta.master.Input.Counter[0] != counter, what="counter 0 moving")
    assert not ta.running
    with pytest.raises(kvarolib.KvError) as stopped:
        ta.wait_for_change(1)
    assert stopped.value.code == codes.KVLIB_ERR_THREAD_NOT_RUNNING


def test_counter_reset_and_motor_command_confirmed(kq):
    with kq.events(lambda e: isinstance(e, (kvarolib.CounterResetEvent, kvarolib.MotorReachedEvent))) as events:
        with kq.transfer() as ta:
            for _ in range(2):  # a second reset needs a new id, not the flag of the first
                ta.reset_counter(2, 3, timeout=10)
                assert ta.record(2).Input.CounterResetCmdId[3] == ta.record(2).Output.CounterResetCmdId[3]
            ta.motor_command(0, 1, output_data=b"\x05\x06", timeout=10)
            assert ta.master.Input.MotorExCmdId[1] == ta.master.Output.MotorExCmdId[1]
            got = [events.get(10) for _ in range(3)]
    assert got == [kvarolib.CounterResetEvent(2, 3)] * 2 + [kvarolib.MotorReachedEvent(0, 1)]


def test_configuration_acknowledged(kq):
    with kq.transfer() as ta:
        def digital(config):
            for setting in config.InputSetting:
                setting.Mode, setting.Digital = 0x80, 1

        ta.configure(0, edit=digital, timeout=10)
        # Inputs configured digital flip between 0 and 1 from the acknowledged configuration on.
        for _ in range(5):
            ta.wait_for_change(10)
            assert all(v in (0, 1) for v in ta.master.Input.InputValue)
        analog = kvarolib.records.KVX1_CONFIG()
        ta.configure(0, analog, timeout=10)
        wait_until(lambda: any(v > 1 for v in ta.master.Input.InputValue), what="analog values")
        with pytest.raises(kvarolib.KvError) as timeout:
            ta.configure(5, timeout=0.3)  # no extension 5: nothing acknowledges
        assert timeout.value.code == codes.KVLIB_ERR_TIMEOUT


def test_extension_comes_and_goes_once_each(kq, sim):
    with kq.events(lambda e: isinstance(e, kvarolib.ExtensionEvent)) as events, kq.transfer() as ta:
        sim.control("ext add 3")
        assert events.get(30) == kvarolib.ExtensionEvent(3, True)
        wait_until(lambda: ta.present() == [0, 2, 3], what="extension 3 present")
        sim.control("ext remove 3")
        assert events.get(30) == kvarolib.ExtensionEvent(3, False)
        assert events.get(1) is None


def test_raising_callback_is_reported_and_delivery_goes_on(kq, sim, caplog):
    delivered = []
    threads = set()
    added, done = threading.Event(), threading.Event()

    def raising(event):
        threads.add(threading.current_thread().name)
        raise RuntimeError("a user fault")

    def recording(event):
        delivered.append(event)
        (added if len(delivered) == 1 else done).set()

    with caplog.at_level(logging.ERROR, logger="kvarolib"):
        extensions_only = lambda e: isinstance(e, kvarolib.ExtensionEvent)  # noqa: E731
        with kq.subscribe(raising), kq.subscribe(recording, extensions_only), kq.transfer() as ta:
            sim.control("ext add 4")
            assert added.wait(30)
            sim.control("ext remove 4")
            assert done.wait(30)
            ta.reset_counter(0, 0, timeout=10)  # the library keeps running
    assert delivered == [kvarolib.ExtensionEvent(4, True), kvarolib.ExtensionEvent(4, False)]
    assert threads == {"kvarolib-events"}
    assert sum("a user fault" in r.exc_text for r in caplog.records if r.exc_text) >= 2
