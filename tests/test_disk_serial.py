import ast
import types

import pytest
from conftest import RELEASE, FakeDevice, FakePyudev, in_namespace

import varnok.ostrel as ostrel

PREFIX = "Error while getting disk serial number: "


# The records of each device in turn (then how often each was read), or a
# stand-in for pyudev (then the text of the one error line written).
@pytest.mark.parametrize(
    "records, result, seen",
    [
        ([{}, {"DEVNAME": "/dev/loop0"}], "", [1, 1]),
        ([{"ID_SERIAL": "first"}, {"ID_SERIAL": "second"}], "first", [2, 0]),
        ([{"DEVNAME": "/dev/vda"}, {"ID_SERIAL": "SN-XYZ987"}], "SN-XYZ987", [1, 2]),
        ([{"ID_SERIAL": "  padded\t"}], "  padded\t", [2]),
        ([{"ID_SERIAL": ""}, {"ID_SERIAL": "later"}], "", [2, 0]),
        ([{"ID_SERIAL": None}], None, [2]),
        ([{"ID_SERIAL": "a|b"}], "a|b", [2]),
        (types.SimpleNamespace(Context=lambda: (_ for _ in ()).throw(RuntimeError())), "", ""),  # Context() raises
        (FakePyudev(OSError(2, "No such file or directory")), "", "[Errno 2] No such file or directory"),
        (FakePyudev([FakeDevice({"ID_SERIAL": b"raw"})]), "", "Expected unicode, got bytes"),
        (FakePyudev([FakeDevice({"ID_SERIAL": 7})]), "", "Expected unicode, got int"),
        (FakePyudev([FakeDevice(ValueError("no properties"))]), "", "no properties"),
        (FakePyudev([FakeDevice(None)]), "", RELEASE["not a container"].format("NoneType")),
        (FakePyudev([object()]), "", "'object' object has no attribute 'properties'"),
        (FakePyudev(5), "", "'int' object is not iterable"),
    ],
)
def test_first_device_with_serial(bind, capsys, records, result, seen):
    devices = [FakeDevice(p) for p in records] if isinstance(records, list) else None
    fake = FakePyudev(devices) if devices else records
    bind(pyudev=fake)
    assert ostrel.get_disk_serial_number() == result
    assert capsys.readouterr().out == ("" if devices else PREFIX + seen + "\n")
    if devices:
        assert [d.reads for d in devices] == seen and fake.calls == [((), {"subsystem": "block"})]


# Writes udev records for the block devices that the kernel shows, on a private /run.
UDEV_SETUP = """
mount -t tmpfs tmpfs /run
mkdir -p /run/udev/data
for dev in /sys/class/block/*; do
  n=$((n + 1))
  [ -n "$SERIALS" ] && [ $((n % 2)) -eq 0 ] || continue
  printf 'E:ID_SERIAL=%s-%s \\nE:ID_BUS=test\\n' "$SERIALS" "$(basename $dev)" > /run/udev/data/b$(cat $dev/dev)
done
true
"""

UDEV_QUERY = """
import pyudev, varnok.ostrel as m
first = next((d.properties["ID_SERIAL"] for d in pyudev.Context().list_devices(subsystem="block")
              if "ID_SERIAL" in d.properties), "")
print(repr((m.get_disk_serial_number(), first)))
"""


@pytest.mark.parametrize("serials", ["SN", ""])
def test_real_udev_database_in_mount_namespace(serials):
    result, expected = ast.literal_eval(in_namespace("mount", f"SERIALS={serials}\n{UDEV_SETUP}", UDEV_QUERY))
    assert result == expected
    assert (result.startswith("SN-") and result.endswith(" ")) if serials else result == ""
