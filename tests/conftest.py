import os
import shlex
import subprocess
import sys
import textwrap
import traceback
from collections import namedtuple

import pytest

import varnok.ostrel as ostrel

# All that differs between the CPython releases the suite runs on.
RELEASE = {
    (3, 13): {"not a container": "argument of type '{}' is not iterable", "__annotate__": False},
    (3, 14): {"not a container": "argument of type '{}' is not a container or iterable", "__annotate__": True},
}[sys.version_info[:2]]
AF_LINK = 17
Record = namedtuple("snicaddr", "family address netmask broadcast ptp")


def link(mac):
    return Record(AF_LINK, mac, None, None, None)


def inet(ip):
    return Record(2, ip, "255.0.0.0", None, None)


def inet6(ip):
    return Record(10, ip, None, None, None)


class FakePsutil:
    """Stands in for psutil: hands out one table (or raises) per query."""

    AF_LINK = AF_LINK

    def __init__(self, *tables):
        self.tables = tables
        self.calls = 0

    def net_if_addrs(self):
        table = self.tables[min(self.calls, len(self.tables) - 1)]
        self.calls += 1
        if isinstance(table, BaseException):
            raise table.with_traceback(None)
        return table


class FakeDevice:
    def __init__(self, properties):
        self._properties = properties
        self.reads = 0

    @property
    def properties(self):
        self.reads += 1
        if isinstance(self._properties, BaseException):
            raise self._properties
        return self._properties


class FakePyudev:
    """Stands in for pyudev: Context().list_devices(subsystem="block") yields the devices."""

    def __init__(self, devices):
        self.devices = devices
        self.calls = []
        fake = self

        class Context:
            def list_devices(self, *args, **kwargs):
                fake.calls.append((args, kwargs))
                if isinstance(fake.devices, BaseException):
                    raise fake.devices.with_traceback(None)
                return iter(fake.devices)

        self.Context = Context


@pytest.fixture
def bind(monkeypatch):
    def bind(**attributes):
        for name, value in attributes.items():
            monkeypatch.setattr(ostrel, name, value, raising=False)

    return bind


def module_entries(exc):
    """(name, line) of the traceback entries that the module added to `exc`."""
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.filename == "src/varnok/ostrel"]


def run_python(code, *, env=None, check=True, timeout=120, **kwargs):
    """Runs `code` in a fresh interpreter of this venv."""
    full_env = dict(os.environ, **(env or {}))
    proc = run([sys.executable, "-c", code], full_env, timeout=timeout, **kwargs)
    if check:
        assert proc.returncode == 0, proc.stderr
    return proc


def _namespace_refusal(kind):
    if os.geteuid() != 0:
        return "needs root to make a throwaway namespace"
    probe = subprocess.run(["unshare", f"--{kind}", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        return f"unshare --{kind} refused: {probe.stderr.strip()}"
    return None


def in_namespace(kind, setup, code):
    """Runs shell `setup`, then `code` in Python, inside a new `kind` namespace."""
    refusal = _namespace_refusal(kind)
    if refusal:
        pytest.skip(refusal)
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
        if os.environ["FAKE_MAC"] == "broken":
            raise ImportError("psutil is broken")
        if os.environ["FAKE_MAC"] == "missing":
            raise ModuleNotFoundError("No module named 'psutil'", name="psutil")
        AF_LINK = 17
        _Record = collections.namedtuple("snicaddr", "family address netmask broadcast ptp")
        def net_if_addrs():
            with open(os.environ["FAKE_CALLS"], "a") as calls:
                calls.write("psutil\\n")
            if os.environ["FAKE_MAC"] == "interrupt":
                raise KeyboardInterrupt
            if os.environ["FAKE_MAC"] in ("fail", "blank"):
                raise OSError("netlink refused" if os.environ["FAKE_MAC"] == "fail" else "")
            mac = None if os.environ["FAKE_MAC"] == "None" else os.environ["FAKE_MAC"]
            family = 2 if mac == "10.0.0.1" else AF_LINK  # eth0 with an IPv4 address only
            return {"lo": [_Record(AF_LINK, "00:00:00:00:00:00", None, None, None)],
                    "eth0": [_Record(family, mac, None, None, None)]}
    """,
    "pyudev.py": """
        import os
        class _Device:
            @property
            def properties(self):
                serial = os.environ["FAKE_SERIAL"]
                return {"ID_SERIAL": None if serial == "None" else serial}
        class Context:
            def list_devices(self, subsystem):
                with open(os.environ["FAKE_CALLS"], "a") as calls:
                    calls.write("pyudev\\n")
                return [_Device()]
    """,
}


@pytest.fixture
def host_env(tmp_path):
    """env(mac=, serial=, gpu=): the environment of a child that sees the fakes; `gpu`
    is the shell command of the fake nvidia-smi (None: no tool). env.calls() lists
    the queries and tool runs made so far, and forgets them."""
    for name, text in FAKES.items():
        (tmp_path / name).write_text(textwrap.dedent(text))
    tools = tmp_path / "bin"
    tools.mkdir()
    calls = tmp_path / "calls"

    def env(mac="02:00:5e:aa:bb:cc", serial="SN-XYZ987", gpu="echo GPU-1"):
        tool = tools / "nvidia-smi"
        if gpu:
            tool.write_text(f'#!/bin/sh\necho nvidia-smi >> "$FAKE_CALLS"\n{gpu}\n')
            tool.chmod(0o755)
        elif tool.exists():
            tool.unlink()
        fakes = {"FAKE_MAC": mac, "FAKE_SERIAL": serial, "FAKE_CALLS": str(calls)}
        return dict(os.environ, PYTHONPATH=str(tmp_path), PATH=f"{tools}:/usr/bin:/bin", **fakes)

    def made():
        lines = calls.read_text().splitlines() if calls.exists() else []
        calls.unlink(missing_ok=True)
        return lines

    env.calls = made
    return env


def run(argv, env, **kwargs):
    """Runs `argv`; its standard output and error are read, unless `kwargs` say otherwise."""
    options = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, "text": True, "timeout": 60}
    return subprocess.run(argv, env=env, **options | kwargs)
