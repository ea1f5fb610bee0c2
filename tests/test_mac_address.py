import sys
from collections.abc import Mapping

import pytest
from conftest import AF_LINK, RELEASE, FakePsutil, Record, inet, inet6, link

import varnok.ostrel as ostrel

PREFIX = "Error while getting MAC address: "


class Table(Mapping):
    """A mapping that is not a dict: walked through its items(), which may hold what no dict can."""

    __getitem__ = __iter__ = __len__ = None  # no other way in is needed

    def __init__(self, items):
        self.items = lambda: items


# The tables that psutil returns in turn (then how many queries were made),
# or a stand-in for psutil (then the text of the one error line written).
@pytest.mark.parametrize(
    "tables, result, seen",
    [
        ([{"wlan0": [link("wl")], "eth0": [link("et")]}], "wl", 1),
        ([{"eth0": [inet("10.0.0.1"), inet6("fe80::1")], "wlan0": [link("wl")]}], "wl", 1),
        ([{"eth0": [inet("10.0.0.1"), inet6("fe80::1"), link("et")]}], "et", 1),
        ([{"lo": [link("00:00:00:00:00:00")], "docker0": [link("dk")], "enp3s0": [link("en")]}], "en", 2),
        ([{"veth0": [link("ve")], "eth0.100": [link("vl")]}], "vl", 2),
        ([{"lo": [link("00:00:00:00:00:00")], "wlo1": [link("wo")]}], "", 2),
        ([{"lo": [link("a")], "docker0": [link("b")], "veth1": [link("c")], "br-veth": [link("d")]}], "", 2),
        ([{}], "", 2),
        ([{"enp3s0": [inet("10.0.0.2"), link("00:00:00:00:00:00")]}], "00:00:00:00:00:00", 2),
        ([{"lo": [link("a")]}, {"enp3s0": [link("fresh")]}], "fresh", 2),
        ([Table([("eth1", [link("first")]), ("eth0", [link("et")])])], "et", 1),
        ([Table([("eth1", [link("first")])])], "first", 2),
        ([{"eth0": [Record(AF_LINK, None, None, None, None)]}], None, 1),
        ([{"eth0": (link(" Mixed-Case|x "),)}], " Mixed-Case|x ", 1),
        (FakePsutil(OSError("boom")), "", "boom"),
        (FakePsutil(RuntimeError()), "", ""),
        (FakePsutil({"eth0": [link(b"\x02\x00")]}), "", "Expected unicode, got bytes"),
        (FakePsutil({"enp3s0": [link(5)]}), "", "Expected unicode, got int"),
        (FakePsutil(None), "", "'NoneType' object has no attribute 'items'"),
        (FakePsutil(Table([("eth0",)])), "", "need more than 1 value to unpack"),
        (FakePsutil(Table([()])), "", "need more than 0 values to unpack"),
        (FakePsutil(Table([("a", [], 1)])), "", "too many values to unpack (expected 2)"),
        (FakePsutil(Table([["eth0", [link("x")], 1]])), "", "too many values to unpack (expected 2)"),
        (FakePsutil(Table([None])), "", "'NoneType' object is not iterable"),
        (FakePsutil({"eth0": None}), "", "'NoneType' object is not iterable"),
        (FakePsutil({"eth0": [object()]}), "", "'object' object has no attribute 'family'"),
        (FakePsutil({5: [link("x")]}), "", RELEASE["not a container"].format("int")),
        (object(), "", "'object' object has no attribute 'net_if_addrs'"),
    ],
)
def test_interface_choice(bind, capsys, tables, result, seen):
    fake = FakePsutil(*tables) if isinstance(tables, list) else tables
    bind(psutil=fake)
    assert ostrel.get_mac_address() == result
    assert capsys.readouterr().out == ("" if isinstance(tables, list) else PREFIX + seen + "\n")
    if isinstance(tables, list):
        assert fake.calls == seen


@pytest.mark.parametrize("fields", [{}, {"name": "own"}, {"obj": 5}])
def test_getter_attribute_error_gets_what_getattr_adds(bind, monkeypatch, fields):
    """A record's property getter raises AttributeError: its name and obj, unless it carries either, are the field
    and the record (seen through the exception being handled as the error line is written)."""
    record = type("Record", (), {"family": property(lambda _: (_ for _ in ()).throw(AttributeError("x", **fields)))})()
    bind(psutil=FakePsutil({"eth0": [record]}))
    handled, out = [], type("Out", (), {"write": lambda _, text: text.strip() and handled.append(sys.exception())})()
    monkeypatch.setattr(sys, "stdout", out)
    assert ostrel.get_mac_address() == ostrel.get_mac_address() == ""  # the second once the class is tagged
    expected = (fields.get("name"), fields.get("obj")) if fields else ("family", record)
    assert [(exc.name, exc.obj) for exc in handled] == [expected] * 2
