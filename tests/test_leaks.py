import contextlib
import inspect
import os
import sys
import tracemalloc

import pytest
from conftest import FakeDevice, FakePsutil, FakePyudev, inet, link, run_python
from test_function_object import FUNCTIONS

import varnok.ostrel as ostrel


class Raising:
    def __eq__(self, other):
        raise ValueError("bad")


def calls():
    psutil_ok = FakePsutil({"lo": [link("00"), inet("127.0.0.1")], "enp3s0": [inet("10.0.0.2"), link("aa")]})
    psutil_bad = FakePsutil({"eth0": [link(b"raw")]})
    pyudev_ok = FakePyudev([FakeDevice({}), FakeDevice({"ID_SERIAL": "SN"})])
    pyudev_bad = FakePyudev(OSError("no udev"))

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
        lambda: ostrel.get_machine_code(ostrel.DeviceType.DISK),
        lambda: ostrel.get_machine_code(Raising()),
        lambda: ostrel.get_machine_code(5),
        lambda: guarded(ostrel.get_machine_code),
        lambda: guarded(ostrel.get_machine_code, 1, device_type=2),
        lambda: guarded(ostrel.get_gpu_uuid, 1),
        lambda: guarded(ostrel.get_machine_string, x=1),
        lambda: guarded(exec, ostrel.get_mac_address.__code__, {}),
    ]


def test_repeated_calls_keep_memory_and_files_flat(tmp_path, monkeypatch, bind):
    bind(psutil=ostrel.psutil, pyudev=ostrel.pyudev)  # restored after calls() rebinds them
    (tool := tmp_path / "nvidia-smi").write_text('#!/bin/sh\necho GPU-1; [ -e "$0.fail" ] && exit 3; exit 0\n')
    tool.chmod(0o755)
    monkeypatch.setenv("PATH", str(tmp_path))
    work = calls()
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        for call in work * 300:
            call()
        files = len(os.listdir("/proc/self/fd"))
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            for call in work * 3000:
                call()
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
        for change in (lambda: None, (tmp_path / "nvidia-smi.fail").touch, tool.unlink):  # works, fails, is gone
            change()
            for _ in range(30):
                ostrel.get_machine_string()
        assert len(os.listdir("/proc/self/fd")) == files
    assert grown < 32 * 1024, f"traced memory grew by {grown} bytes over {3000 * len(work)} calls"
    assert sys.getrefcount(ostrel.DeviceType.MAC) < 100


def sweep(call, allowed, quiet=50):
    """`call` with its n-th allocation failing, n = 0, 1, ... until `quiet` in a row pass no fault on, each in a forked
    child: the (n, exit status) of those that end otherwise than by returning or raising one of `allowed` (and never
    by a SystemError that says the module failed without an exception)."""
    import _testcapi

    failures, n, passed = [], 0, 0
    while passed < quiet and len(failures) < 5:
        if (pid := os.fork()) == 0:
            status = 2
            try:
                for stream in (1, 2):
                    os.dup2(os.open(os.devnull, os.O_WRONLY), stream)
                _testcapi.set_nomemory(n, n + 1)
                call()
                status = 0
            except allowed as error:
                _testcapi.remove_mem_hooks()
                status = 3 if isinstance(error, SystemError) and "varnok.ostrel" in str(error) else 1
            finally:
                os._exit(status)
        status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        failures += [(n, status)] if status not in (0, 1) else []
        passed, n = (passed + 1) * (status == 0), n + 1
    return failures


def failed_allocations():
    """Each call cold (caches and traceback entries still to make) and warm, under a monitoring tool: it returns (a
    failing source is reported) or raises MemoryError."""
    gpu = type(sys)("subprocess")  # the real one is not safe from failed allocations itself
    gpu.check_output, gpu.DEVNULL = lambda *args, **kwargs: b"GPU-1\n", -3
    sys.modules["subprocess"] = gpu
    mon, events = sys.monitoring, sys.monitoring.events
    mon.use_tool_id(2, "sweep")
    for event in (events.PY_START, events.PY_RETURN, events.CALL):
        mon.register_callback(2, event, lambda *args: None)
    for name in FUNCTIONS:
        mon.set_local_events(2, getattr(ostrel, name).__code__, events.PY_START | events.PY_RETURN | events.CALL)
    failures = []
    for number, call in enumerate([*calls()[:-1], ostrel.get_machine_string] * 2):  # the second round warm
        failures += [(number, *failure) for failure in sweep(call, MemoryError)]
        call()
    return failures


# The load, after a failed one that made the module's types (3.13.0's own type creation can crash when an
# allocation fails): any exception but one the module failed to set; what its functions hold is never lost on the way
# (SystemExit is no Exception).
HELD = "[(f.__module__, f.__doc__, f.__code__.co_varnames, f.__annotations__) for f in vars(m).values()"
HELD += " if type(f) is type(m.get_mac_address)]"
LOAD = """
import os, sys, enum, typing, psutil, pyudev, loguru
sys.modules["loguru"] = None
try:
    import varnok.ostrel
except ImportError:
    sys.modules["loguru"] = loguru
{}
def load():
    m = __import__("varnok.ostrel").ostrel
    if repr({}) != {!r}:
        raise SystemExit("lost")
print(sweep(load, Exception, quiet=500))"""


def test_a_failed_allocation_is_a_memory_error_or_a_reported_failure():
    pytest.importorskip("_testcapi")
    if hasattr(sys, "gettotalrefcount"):
        pytest.skip("a debug interpreter's own assertions fail when an allocation fails, plain Python's calls too")
    here = os.path.dirname(__file__)
    sweep_calls = f"import sys; sys.path.insert(0, {here!r}); import test_leaks; print(test_leaks.failed_allocations())"
    held = repr(eval(HELD, {"m": ostrel}))
    for code in (sweep_calls, LOAD.format(inspect.getsource(sweep), HELD, held)):
        assert run_python(code).stdout.splitlines()[-1] == "[]"
