import subprocess
import sys
import types

import pytest

import varnok.ostrel as ostrel

PREFIX = "Error getting GPU UUID: "
COMMAND = ["nvidia-smi", "--query-gpu=uuid", "--format=csv,noheader"]


@pytest.fixture
def tool(tmp_path, monkeypatch):
    """Puts a fake nvidia-smi with the given shell body first on PATH; None: no tool at all."""

    def install(body):
        if body is not None:
            (tmp_path / "nvidia-smi").write_text("#!/bin/sh\n" + body + "\n")
            (tmp_path / "nvidia-smi").chmod(0o755)
        monkeypatch.setenv("PATH", f"{tmp_path}:/usr/bin:/bin" if body is not None else str(tmp_path))

    return install


@pytest.mark.parametrize(
    "body, result, line",
    [
        ("echo GPU-aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee", "GPU-aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee", None),
        ("printf ' GPU-1\\nGPU-2 \\n\\n'", "GPU-1\nGPU-2", None),
        ("printf ' \\n\\t'", "", None),
        ("true", "", None),
        (f'[ "$*" = "{" ".join(COMMAND[1:])}" ] && [ "$#" = 2 ] || exit 9; echo args-ok', "args-ok", None),
        ("printf 'GPU-\\303\\251'", "GPU-é", None),
        ("echo 'driver failure' >&2; exit 3", "", f"Command '{COMMAND}' returned non-zero exit status 3."),
        ("printf 'GPU-\\377'", "", "'utf-8' codec can't decode byte 0xff in position 4: invalid start byte"),
        (None, "", "[Errno 2] No such file or directory: 'nvidia-smi'"),
    ],
)
def test_tool(tool, capfd, body, result, line):
    tool(body)
    assert ostrel.get_gpu_uuid() == result
    captured = capfd.readouterr()
    assert captured.out == ("" if line is None else PREFIX + line + "\n")
    assert captured.err == ("driver failure\n" if "driver" in (body or "") else "")


class FakeSubprocess(types.ModuleType):
    """Imported by the function in place of subprocess; records each call."""

    def __init__(self, outcome):
        super().__init__("subprocess")
        self.outcome = outcome
        self.calls = []

    def check_output(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


@pytest.mark.parametrize(
    "outcome, result, line",
    [
        (subprocess.TimeoutExpired(COMMAND, 120), "", f"Command '{COMMAND}' timed out after 120 seconds"),
        (b"  GPU-x\n", "GPU-x", None),
        ("GPU-x", "", "'str' object has no attribute 'decode'"),
        (OSError(), "", ""),
    ],
)
def test_call_shape_and_bounded_wait(monkeypatch, capsys, outcome, result, line):
    fake = FakeSubprocess(outcome)
    monkeypatch.setitem(sys.modules, "subprocess", fake)
    assert ostrel.get_gpu_uuid() == result
    assert fake.calls == [((COMMAND,), {"timeout": 120})]
    assert capsys.readouterr().out == ("" if line is None else PREFIX + line + "\n")
