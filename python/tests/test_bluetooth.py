"""The Bluetooth relay over kqsim's radio: scan, connect, listen, and messages both ways over the
loopback of channels 1 and 2, all seen as event objects."""

import pytest

import kvarolib
from kvarolib import _errors as codes
from conftest import wait_until

PHONE, R2 = "00:1A:7D:DA:72:01", "00:1A:7D:DA:72:02"


def _next(events, action, channel, status=None):
    """The next event of that action and channel (others, such as read replies, are skipped)."""
    while True:
        event = events.get(30)
        assert event is not None, "no %s event on channel %d" % (action, channel)
        if isinstance(event, kvarolib.BluetoothEvent) and (event.action, event.channel) == (action, channel):
            if status is None or event.status == status:
                return event


@pytest.mark.parametrize("transfer", [False, True])
def test_messages_both_ways(sim_factory, transfer):
    sim_factory("--bt-loopback", "1:2")
    with kvarolib.open() as kq, kq.events() as events:
        ta = kq.transfer() if transfer else None
        bt = kq.bluetooth
        bt.connect(1, PHONE)
        assert _next(events, "connect", 1).status == 0
        bt.connect(2, R2)
        assert _next(events, "connect", 2).status == 0
        wait_until(lambda: bt.status(1).conn_state != 0 and bt.status(2).conn_state != 0, what="connected")
        bt.read_on(1)
        bt.read_on(2)
        wait_until(lambda: bt.status(2).read_on and bt.status(1).read_on, what="reading on")
        bt.send(1, b"hello")
        assert _next(events, "read_on", 2, status=10).data == b"hello"
        bt.send(2, bytes(range(16)))
        assert _next(events, "read_on", 1, status=10).data == bytes(range(16))
        bt.read_off(2)
        bt.disconnect(1)
        assert _next(events, "disconnect", 1) is not None
        if ta is not None:
            ta.stop()


def test_scan_listen_and_refusals(sim_factory):
    sim_factory()
    with kvarolib.open() as kq, kq.events() as events:
        bt = kq.bluetooth
        bt.scan()
        scans = []
        while not (scans and scans[-1].finished):
            event = events.get(30)
            assert event is not None, "the scan did not end"
            if isinstance(event, kvarolib.ScanEvent):
                scans.append(event)
        assert len(scans) == 4  # three devices in range, then the end
        bt.listen(3, PHONE)
        assert _next(events, "listen_on", 3, status=11) is not None  # the phone calls
        bt.stop_listening(3)
        with pytest.raises(kvarolib.KvError) as channel:
            bt.send(9, b"x")
        assert channel.value.code == codes.KVLIB_ERR_BT_INVALID_CHANNEL
        with pytest.raises(kvarolib.KvError) as long:
            bt.send(1, bytes(17))
        assert long.value.code == codes.KVLIB_ERR_INVALID_PARAM
        with pytest.raises(ValueError):
            bt.connect(1, "00:11")
