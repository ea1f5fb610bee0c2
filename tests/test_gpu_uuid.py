import subprocess
import sys
import types
from unittest import mock

import pytest

import varnok.ostrel as ostrel

PREFIX = "Error getting GPU UUID: "
COMMAND = ["nvidia-smi", "--query-gpu=uuid", "--format=csv,noheader"]


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
def test_tool(tmp_path, monkeypatch, capfd, body, result, line):
    if body is not None:  # a fake nvidia-smi running shell `body`, first on PATH; None: no tool at all
        (tmp_path / "nvidia-smi").write_text(f"#!/bin/sh\n{body}\n")
        (tmp_path / "nvidia-smi").chmod(0o755)
    monkeypatch.setenv("PATH", f"{tmp_path}:/usr/bin:/bin" if body is not None else str(tmp_path))
    assert ostrel.get_gpu_uuid() == result
    out = "" if line is None else PREFIX + line + "\n"
    assert capfd.readouterr() == (out, "driver failure\n" if "driver" in (body or "") else "")


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
    """A module imported by the function in place of subprocess: its check_output gives `outcome` (or raises it)."""
    fake = types.ModuleType("subprocess")
    fake.check_output = mock.Mock(side_effect=[outcome])
    monkeypatch.setitem(sys.modules, "subprocess", fake)
    assert ostrel.get_gpu_uuid() == result
    assert fake.check_output.call_args_list == [((COMMAND,), {"timeout": 120})]
    assert capsys.readouterr().out == ("" if line is None else PREFIX + line + "\n")
