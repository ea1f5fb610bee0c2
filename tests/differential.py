"""Runs the same calls against varnok.ostrel and against the same logic written
as a plain Python module (bench/baseline.py), and compares what each returns,
raises and prints.

Meant to run in a child interpreter (see `run_child`), so that a crash of the
native module fails one case rather than the whole run.
"""

import builtins
import contextlib
import importlib.util
import io
import os
import subprocess
import sys
import types
from collections import namedtuple
from pathlib import Path

import varnok.ostrel as native

TESTS = Path(__file__).resolve().parent
BASELINE = TESTS.parent / "bench" / "baseline.py"

Record = namedtuple("snicaddr", "family address netmask broadcast ptp")
MEMBER_NAMES = ("MAC", "DISK", "CUDA")


def load_baseline():
    spec = importlib.util.spec_from_file_location("baseline", BASELINE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def quiet_gpu_tool():
    """A `subprocess` in sys.modules whose check_output answers at once, for
    both modules alike (each imports subprocess at every call)."""
    fake = types.ModuleType("subprocess")
    fake.check_output = lambda command, timeout=None: b" GPU-0f0e\n"
    sys.modules["subprocess"] = fake


def fake_psutil(name="psutil", af_link=17, table=None):
    """A psutil module whose table has loopback, an IPv4-first interface and a wifi card."""
    module = types.ModuleType(name)
    module.AF_LINK = af_link
    if table is None:
        table = {
            "lo": [Record(17, "00:00:00:00:00:00", None, None, None)],
            "enp3s0": [
                Record(2, "10.0.0.3", "255.0.0.0", None, None),
                Record(17, "02:00:00:00:00:03", None, None, None),
            ],
            "wlp2s0": [Record(17, "02:00:00:00:00:04", None, None, None)],
        }
    module.net_if_addrs = lambda: table
    return module


def fake_pyudev(*serials):
    """A pyudev module whose block devices carry these ID_SERIAL values (None: no property)."""
    module = types.ModuleType("pyudev")
    devices = [types.SimpleNamespace(properties={} if s is None else {"ID_SERIAL": s}) for s in serials]

    class Context:
        def list_devices(self, subsystem):
            return iter(devices)

    module.Context = Context
    return module


def shared(step):
    """A change to something both modules use (a class of the enum module,
    the builtins, a real package): made once, when the baseline's turn comes."""

    def once(module, context):
        if module is not native:
            step()

    return once


def describe(value):
    return (type(value).__name__, value if isinstance(value, str | int | type(None)) else repr(value))


def observe(module, call):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        try:
            outcome = ("returned", *describe(call(module)))
        except Exception as exc:
            outcome = ("raised", type(exc).__name__, str(exc))
    return outcome, out.getvalue()


class Differential:
    """Both modules side by side; each gets its own fakes from `prepare`."""

    _shared = None

    def __init__(self):
        self.baseline = load_baseline()
        self.modules = (self.baseline, native)
        self.members = {m: {n: m.DeviceType[n] for n in MEMBER_NAMES} for m in self.modules}
        self.saved = {m: dict(vars(m)) for m in self.modules}
        self.contexts = {}

    @classmethod
    def shared_instance(cls):
        """One pair for the whole process: the native module loads only once."""
        if cls._shared is None:
            cls._shared = cls()
        return cls._shared

    def restore(self):
        """Both modules, their DeviceType and its members as they were at the start."""
        builtins.__dict__.pop("psutil", None)
        for module in self.modules:
            device_type = self.saved[module]["DeviceType"]
            if "__get__" in vars(device_type):
                del device_type.__get__
            for member in self.members[module].values():
                if type(member) is not device_type:
                    member.__class__ = device_type
            vars(module).clear()
            vars(module).update(self.saved[module])

    @staticmethod
    def labels():
        return [
            "get_mac_address()",
            "get_disk_serial_number()",
            "get_gpu_uuid()",
            "get_machine_string()",
            "get_machine_code(1)",
            *(f"get_machine_code({name})" for name in MEMBER_NAMES),
        ]

    def calls(self):
        calls = {
            "get_mac_address()": lambda m: m.get_mac_address(),
            "get_disk_serial_number()": lambda m: m.get_disk_serial_number(),
            "get_gpu_uuid()": lambda m: m.get_gpu_uuid(),
            "get_machine_string()": lambda m: m.get_machine_string(),
            "get_machine_code(1)": lambda m: m.get_machine_code(1),
        }
        for name in MEMBER_NAMES:
            calls[f"get_machine_code({name})"] = lambda m, name=name: m.get_machine_code(self.members[m][name])
        return calls

    def prepare(self, prepare):
        for module in self.modules:
            self.contexts[module] = prepare(module)

    def change(self, step):
        for module in self.modules:
            step(module, self.contexts[module])

    def compare(self, when):
        """Compares every call; returns the plain Python module's outcomes."""
        outcomes = {}
        for label, call in self.calls().items():
            expected = observe(self.baseline, call)
            got = observe(native, call)
            assert got == expected, f"{when}, {label}:\n  plain Python: {expected}\n  native:       {got}"
            outcomes[label] = expected
        return outcomes

    def run(self, prepare, *steps, rounds=2):
        """Warms every lookup site, then makes each change in turn and compares
        the calls that follow it. The changes must change some answer: one
        that changed nothing would prove nothing."""
        self.prepare(prepare)
        for _ in range(rounds):
            before = self.compare("before any change")
        for number, step in enumerate(steps, 1):
            self.change(step)
            for _ in range(rounds):
                after = self.compare(f"after change {number} ({getattr(step, '__name__', step)})")
        assert after != before, "the changes made no difference to any answer"


def run_child(code, timeout=120):
    """Runs `code` in a fresh interpreter that finds the tests' helpers; a
    crash or a failed assertion shows as the return code and stderr."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(TESTS), os.environ.get("PYTHONPATH")])))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=timeout)
