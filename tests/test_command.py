"""The ostrel command's options, run as a user would, in child processes that
see fake psutil and pyudev modules and a fake nvidia-smi (conftest.host_env)."""

import importlib.metadata
import json
import sys
from pathlib import Path

import pytest
from conftest import run

ENTRY_POINTS = {
    "script": [str(Path(sys.executable).parent / "ostrel")],
    "module": [sys.executable, "-m", "varnok"],
}
MAC = "02:00:5e:aa:bb:cc"
NO_TOOL = "Error getting GPU UUID: [Errno 2] No such file or directory: 'nvidia-smi'\n"
TOOL_FAILED = (
    "Error getting GPU UUID: Command '['nvidia-smi', '--query-gpu=uuid', '--format=csv,noheader']' "
    "returned non-zero exit status 9.\n"
)
ALL = ["pyudev", "psutil", "nvidia-smi"]
USAGE = "usage: ostrel [-h] [--version] [--json | --field NAME]\n"
OPTIONS = """\
options:
  -h, --help    show this help message and exit
  --version     print the version and exit
  --json        print all values as one JSON object
  --field NAME  print one value: disk, mac, gpu, string
"""


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("option", ["--help", "--version"])
def test_help_and_version_touch_nothing(host_env, entry, option):
    env = dict(host_env(), COLUMNS="80", PYTHONPROFILEIMPORTTIME="1")
    proc = run([*ENTRY_POINTS[entry], option], env)
    assert proc.returncode == 0
    if option == "--help":
        assert proc.stdout.startswith(USAGE) and OPTIONS in proc.stdout
    else:
        assert proc.stdout == f"ostrel {importlib.metadata.version('varnok')}\n"
    # No query, no tool, and the extension module is not even loaded: stderr
    # holds only the interpreter's import timings, which list argparse.
    lines = proc.stderr.splitlines()
    assert all(line.startswith("import time:") for line in lines)
    imported = {line.rsplit("|", 1)[1].strip() for line in lines}
    assert "argparse" in imported and "varnok.ostrel" not in imported
    assert host_env.calls() == []


def test_version_attribute_is_the_metadata_version():
    import varnok

    assert varnok.__version__ == importlib.metadata.version("varnok")
    with pytest.raises(AttributeError):
        varnok.__author__  # noqa: B018


@pytest.mark.parametrize(
    "values, document, status, stderr, calls",
    [
        ({}, ["SN-XYZ987", MAC, "GPU-1", f"SN-XYZ987|{MAC}|GPU-1"], 0, "", ALL),
        ({"gpu": None}, ["SN-XYZ987", MAC, "", f"SN-XYZ987|{MAC}|"], 1, NO_TOOL, ALL[:2]),
        (
            {"gpu": "echo partial; echo driver gone >&2; exit 9"},
            ["SN-XYZ987", MAC, "", f"SN-XYZ987|{MAC}|"],
            1,
            "driver gone\n" + TOOL_FAILED,
            ALL,
        ),
        # None is JSON null and counts as missing; the string formats it as get_machine_string() does.
        ({"mac": "None", "serial": ""}, ["", None, "GPU-1", "|None|GPU-1"], 1, "", ALL),
        (
            {"gpu": "printf 'GPU-1\\nGPU-2\\n'"},
            ["SN-XYZ987", MAC, "GPU-1\nGPU-2", f"SN-XYZ987|{MAC}|GPU-1\nGPU-2"],
            0,
            "",
            ALL,
        ),
    ],
)
def test_json(host_env, values, document, status, stderr, calls):
    env = host_env(**values)
    keys = ["disk_serial_number", "mac_address", "gpu_uuid", "machine_string"]
    for argv in ENTRY_POINTS.values():
        proc = run([*argv, "--json"], env)
        assert proc.stdout.count("\n") == 1, proc.stdout
        assert json.loads(proc.stdout) == dict(zip(keys, document, strict=True))
        assert list(json.loads(proc.stdout)) == keys
        assert (proc.returncode, proc.stderr, host_env.calls()) == (status, stderr, calls)


@pytest.mark.parametrize(
    "field, values, stdout, status, stderr, calls",
    [
        ("mac", {}, f"{MAC}\n", 0, "", ["psutil"]),
        ("mac", {"mac": "None"}, "", 1, "", ["psutil"]),
        ("mac", {"mac": ""}, "", 1, "", ["psutil"]),
        ("disk", {"serial": " SN 1 "}, " SN 1 \n", 0, "", ["pyudev"]),
        ("disk", {"serial": "None"}, "", 1, "", ["pyudev"]),
        ("gpu", {}, "GPU-1\n", 0, "", ["nvidia-smi"]),
        ("gpu", {"gpu": None}, "", 1, NO_TOOL, []),
        ("gpu", {"gpu": "echo partial; echo driver gone >&2; exit 9"}, "", 1, "driver gone\n" + TOOL_FAILED, ALL[2:]),
        ("gpu", {"gpu": "printf 'GPU-1\\nGPU-2\\n'"}, "GPU-1\nGPU-2\n", 0, "", ["nvidia-smi"]),
        ("string", {}, f"SN-XYZ987|{MAC}|GPU-1\n", 0, "", ALL),
        # The string is never empty; it fails as --json does, when a piece is missing.
        ("string", {"gpu": None}, f"SN-XYZ987|{MAC}|\n", 1, NO_TOOL, ALL[:2]),
        ("string", {"mac": "None"}, "SN-XYZ987|None|GPU-1\n", 1, "", ALL),
    ],
)
def test_field(host_env, field, values, stdout, status, stderr, calls):
    proc = run([*ENTRY_POINTS["script"], "--field", field], host_env(**values))
    assert (proc.stdout, proc.returncode, proc.stderr, host_env.calls()) == (stdout, status, stderr, calls)


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize(
    "argv, error",
    [
        (["--field", "nonsense"], "argument --field: invalid choice: 'nonsense' (choose from "),
        (["--field"], "argument --field: expected one argument"),
        (["--json", "--field", "mac"], "argument --field: not allowed with argument --json"),
        (["--bogus"], "unrecognized arguments: --bogus"),
        (["extra"], "unrecognized arguments: extra"),
    ],
)
def test_usage_error(host_env, entry, argv, error):
    proc = run([*ENTRY_POINTS[entry], *argv], host_env())
    assert (proc.returncode, proc.stdout) == (2, "")
    assert proc.stderr.startswith(f"{USAGE}ostrel: error: {error}") and proc.stderr.count("\n") == 2, proc.stderr
    assert host_env.calls() == []
