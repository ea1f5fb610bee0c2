import pytest
from conftest import FakeDevice, FakePsutil, FakePyudev, link

import varnok.ostrel as ostrel

SOURCES = ("get_disk_serial_number", "get_mac_address", "get_gpu_uuid")  # in the machine string's order


@pytest.mark.parametrize(
    "pieces, string",
    [
        (("SN-XYZ987", "02:00:5e:aa:bb:cc", "GPU-aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee"), None),
        (("a|b", "", None), "a|b||None"),
        (("é", "€", "\U0001d11e"), None),
        (("", "", ""), "||"),
    ],
)
def test_machine_string(bind, capsys, pieces, string):
    calls = []
    bind(**{name: lambda n=name, v=value: calls.append(n) or v for name, value in zip(SOURCES, pieces, strict=True)})
    assert ostrel.get_machine_string() == (string or "|".join(pieces))
    assert ostrel.get_machine_code(ostrel.DeviceType.CUDA) == pieces[2]
    assert calls == [*SOURCES, "get_gpu_uuid"] and capsys.readouterr().out == ""
    bind(get_machine_code=lambda member: member.value)
    assert ostrel.get_machine_string() == "2|1|3"


def test_real_sources_without_gpu_tool(bind, tmp_path, monkeypatch, capsys):
    bind(psutil=FakePsutil({"lo": [link("00:00:00:00:00:00")], "enp3s0": [link("02:00:5e:aa:bb:cc")]}))
    bind(pyudev=FakePyudev([FakeDevice({}), FakeDevice({"ID_SERIAL": "SN-XYZ987"})]))
    monkeypatch.setenv("PATH", str(tmp_path))
    assert ostrel.get_machine_string() == "SN-XYZ987|02:00:5e:aa:bb:cc|"
    assert capsys.readouterr().out == ("Error getting GPU UUID: [Errno 2] No such file or directory: 'nvidia-smi'\n")
