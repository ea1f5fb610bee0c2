import os
import shlex
import subprocess
import sys
import textwrap
import traceback
from collections import namedtuple
from functools import partial

import pytest

import varnok.ostrel as ostrel

# All that differs between the CPython releases the suite runs on.
RELEASE = {
    (3, 13): {"not a container": "argument of type '{}' is not iterable", "__annotate__": False},
    (3, 14): {"not a container": "argument of type '{}' is not a container or iterable", "__annotate__": True},
}[sys.version_info[:2]]
AF_LINK = 17
Record = namedtuple("snicaddr", "family address netmask broadcast ptp", defaults=(None, None, None))
# A link-layer (MAC), an IPv4 and an IPv6 record, given the address.
link, inet, inet6 = partial(Record, AF_LINK), partial(Record, 2, netmask="255.0.0.0"), partial(Record, 10)


class FakePsutil:
    """Stands in for psutil: hands out one table (or raises) per query."""

    AF_LINK = AF_LINK

    def __init__(self, *tables):
        self.tables, self.calls = tables, 0

    def net_if_addrs(self):
        table = self.tables[min(self.calls, len(self.tables) - 1)]
        self.calls += 1
        if isinstance(table, BaseException):
            raise table.with_traceback(None)
        return table


class FakeDevice:
    def __init__(self, properties):
        self._properties, self.reads = properties, 0

    @property
    def properties(self):
        self.reads += 1
        if isinstance(self._properties, BaseException):
            raise self._properties
        return self._properties


class FakePyudev:
    """Stands in for pyudev: Context().list_devices(subsystem="block") yields the devices."""

    def __init__(self, devices):
        self.devices, self.calls = devices, []
        self.Context = lambda: self

    def list_devices(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.devices, BaseException):
            raise self.devices.with_traceback(None)
        return iter(self.devices)


@pytest.fixture
def bind(monkeypatch):
    return lambda **attributes: [monkeypatch.setattr(ostrel, *item, raising=False) for item in attributes.items()]


def module_entries(exc):
    """(name, line) of the traceback entries that the module added to `exc`."""
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.filename == "src/varnok/ostrel"]


def run_python(code, *, env=None, check=True, timeout=120, **kwargs):
    """Runs `code` in a fresh interpreter of this venv."""
    proc = run([sys.executable, "-c", code], dict(os.environ, **(env or {})), timeout=timeout, **kwargs)
    assert proc.returncode == 0 or not check, proc.stderr
    return proc


def in_namespace(kind, setup, code):
    """Runs shell `setup`, then `code` in Python, inside a new `kind` namespace."""
    if os.geteuid() != 0:
        pytest.skip("needs root to make a throwaway namespace")
    probe = subprocess.run(["unshare", f"--{kind}", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"unshare --{kind} refused: {probe.stderr.strip()}")
    script = f"{setup}\nexec {shlex.quote(sys.executable)} -c {shlex.quote(code)}"
    proc = subprocess.run(["unshare", f"--{kind}", "sh", "-ec", script], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


# Fake psutil and pyudev, first on every child's PYTHONPATH. FAKE_MAC and FAKE_SERIAL set what they report ("None"
# for None; FAKE_MAC "10.0.0.1": eth0 has no link-layer address; "interrupt", "fail", "blank": the query raises
# KeyboardInterrupt, OSError, one without text; "broken", "missing": psutil's import fails, as where psutil is not
# installed). Each query, and each run of the fake nvidia-smi, appends its name to the file FAKE_CALLS.
FAKES = {
    "psutil.py": """
        import collections, os
        MAC = os.environ["FAKE_MAC"]
        if MAC == "broken":
            raise ImportError("psutil is broken")
        if MAC == "missing":
            raise ModuleNotFoundError("No module named 'psutil'", name="psutil")
        AF_LINK = 17
        _Record = collections.namedtuple("snicaddr", "family address netmask broadcast ptp", defaults=(None,) * 3)
        def net_if_addrs():
            with open(os.environ["FAKE_CALLS"], "a") as calls:
                calls.write("psutil\\n")
            if MAC in ("interrupt", "fail", "blank"):
                raise KeyboardInterrupt if MAC == "interrupt" else OSError("netlink refused" if MAC == "fail" else "")
            return {"lo": [_Record(AF_LINK, "00:00:00:00:00:00")],
                    "eth0": [_Record(2 if MAC == "10.0.0.1" else AF_LINK, None if MAC == "None" else MAC)]}
    """,
    "pyudev.py": """
        import os, types
        SERIAL = os.environ["FAKE_SERIAL"]
        class Context:
            def list_devices(self, subsystem):
                with open(os.environ["FAKE_CALLS"], "a") as calls:
                    calls.write("pyudev\\n")
                return [types.SimpleNamespace(properties={"ID_SERIAL": None if SERIAL == "None" else SERIAL})]
    """,
}


@pytest.fixture
def host_env(tmp_path):
    """env(mac=, serial=, gpu=): the environment of a child that sees the fakes; `gpu` is the shell command of the fake
    nvidia-smi (None: no tool). env.calls() lists the queries and tool runs made so far, and forgets them."""
    for name, text in FAKES.items():
        (tmp_path / name).write_text(textwrap.dedent(text))
    (tools := tmp_path / "bin").mkdir()
    (calls := tmp_path / "calls").touch()

    def env(mac="02:00:5e:aa:bb:cc", serial="SN-XYZ987", gpu="echo GPU-1"):
        (tool := tools / "nvidia-smi").unlink(missing_ok=True)
        if gpu:
            tool.write_text(f'#!/bin/sh\necho nvidia-smi >> "$FAKE_CALLS"\n{gpu}\n')
            tool.chmod(0o755)
        fakes = {"FAKE_MAC": mac, "FAKE_SERIAL": serial, "FAKE_CALLS": str(calls)}
        return dict(os.environ, PYTHONPATH=str(tmp_path), PATH=f"{tools}:/usr/bin:/bin", **fakes)

    def made():
        lines, _ = calls.read_text().splitlines(), calls.write_text("")
        return lines

    env.calls = made
    return env


def run(argv, env, **kwargs):
    """Runs `argv`; its standard output and error are read, unless `kwargs` say otherwise."""
    options = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, "text": True, "timeout": 60}
    return subprocess.run(argv, env=env, **options | kwargs)
