"""Calls from several threads at once, each switching threads inside its sources."""

import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from conftest import FakePsutil, link

import varnok.ostrel as ostrel


def yielding(value):  # a source that lets another thread run in the middle of the call
    return lambda: time.sleep(0) or value


def test_concurrent_calls_and_rebinding(bind, capsys):
    bind(
        psutil=FakePsutil({"lo": [link("00:00:00:00:00:00")], "enp3s0": [link("02:00:00:00:00:05")]}),
        get_disk_serial_number=yielding("SN"),
        get_gpu_uuid=yielding("GPU-1"),
    )
    stop = threading.Event()

    def rebind():  # swaps the GPU source back and forth while the others call
        while not stop.is_set():
            ostrel.get_gpu_uuid = yielding("GPU-2")
            ostrel.get_gpu_uuid = yielding("GPU-1")

    def calls(_):
        return ostrel.get_machine_string(), ostrel.get_mac_address(), ostrel.get_machine_code(ostrel.DeviceType.DISK)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    swapper = threading.Thread(target=rebind)
    swapper.start()
    try:
        with ThreadPoolExecutor(8) as pool:
            results = set(pool.map(calls, range(4000)))
    finally:
        stop.set()
        swapper.join()
        sys.setswitchinterval(interval)
    assert {r[1:] for r in results} == {("02:00:00:00:00:05", "SN")}
    assert {r[0] for r in results} <= {f"SN|02:00:00:00:00:05|GPU-{n}" for n in (1, 2)}
    assert capsys.readouterr().out == ""
