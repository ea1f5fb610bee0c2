import contextlib
import os
import sys
import tracemalloc

from conftest import FakeDevice, FakePsutil, FakePyudev, inet, link

import varnok.ostrel as ostrel


class Raising:
    def __eq__(self, other):
        raise ValueError("bad")


def calls():
    psutil_ok = FakePsutil({"lo": [link("00"), inet("127.0.0.1")], "enp3s0": [inet("10.0.0.2"), link("aa")]})
    psutil_bad = FakePsutil({"eth0": [link(b"raw")]})
    pyudev_ok = FakePyudev([FakeDevice({}), FakeDevice({"ID_SERIAL": "SN"})])
    pyudev_bad = FakePyudev(OSError("no udev"))
    M = ostrel.DeviceType

    def disk(fake):
        ostrel.pyudev = fake
        ostrel.get_disk_serial_number()
        fake.calls.clear()  # the fake's own record, not the module's memory

    def guarded(fn, *args, **kwargs):
        with contextlib.suppress(TypeError):
            fn(*args, **kwargs)

    return [
        lambda: setattr(ostrel, "psutil", psutil_ok) or ostrel.get_mac_address(),
        lambda: setattr(ostrel, "psutil", psutil_bad) or ostrel.get_mac_address(),
        lambda: disk(pyudev_ok),
        lambda: disk(pyudev_bad),
        lambda: ostrel.get_machine_code(M.DISK),
        lambda: ostrel.get_machine_code(Raising()),
        lambda: ostrel.get_machine_code(5),
        lambda: guarded(ostrel.get_machine_code),
        lambda: guarded(ostrel.get_machine_code, 1, device_type=2),
        lambda: guarded(ostrel.get_gpu_uuid, 1),
        lambda: guarded(ostrel.get_machine_string, x=1),
        lambda: guarded(exec, ostrel.get_mac_address.__code__, {}),
    ]


def open_files():
    return len(os.listdir("/proc/self/fd"))


def test_repeated_calls_keep_memory_and_files_flat(tmp_path, monkeypatch):
    monkeypatch.setattr(ostrel, "psutil", ostrel.psutil)
    monkeypatch.setattr(ostrel, "pyudev", ostrel.pyudev)
    tool = tmp_path / "nvidia-smi"
    tool.write_text('#!/bin/sh\necho GPU-1; [ -e "$0.fail" ] && exit 3; exit 0\n')
    tool.chmod(0o755)
    monkeypatch.setenv("PATH", str(tmp_path))
    work = calls()
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        for _ in range(300):
            for call in work:
                call()
        files = open_files()
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(3000):
                for call in work:
                    call()
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
        for change in (lambda: None, (tmp_path / "nvidia-smi.fail").touch, tool.unlink):  # works, fails, is gone
            change()
            for _ in range(30):
                ostrel.get_machine_string()
        assert open_files() == files
    assert grown < 32 * 1024, f"traced memory grew by {grown} bytes over 33000 calls"
    assert sys.getrefcount(ostrel.DeviceType.MAC) < 100
