"""The ostrel command run as a user would, in child processes that see fake psutil and pyudev modules and a fake
nvidia-smi (conftest.host_env), with its standard output read to the end, gone, full or closed."""

import importlib.metadata
import json
import os
import re
import sys
from pathlib import Path

import pytest
from conftest import run

import varnok

# Each row runs through every entry point; one buffers stdout: a failed write surfaces at the final flush, not at once.
ENTRY_POINTS = {
    "script": ([str(Path(sys.executable).parent / "ostrel")], {"PYTHONUNBUFFERED": ""}),
    "package": ([sys.executable, "-m", "varnok"], {"PYTHONUNBUFFERED": "1"}),
    "module": ([sys.executable, "-Bm", "varnok.ostrel"], {"PYTHONUNBUFFERED": "1"}),
}
ROOT = Path(__file__).parents[1]
README, MAKEFILE = (ROOT / "README.md").read_text(), (ROOT / "Makefile").read_text()
MAC = "02:00:5e:aa:bb:cc"
REPORT = f"Cuda uuid: GPU-1\nMAC Address: {MAC}\n"
NO_TOOL = "Error getting GPU UUID: [Errno 2] No such file or directory: 'nvidia-smi'"
FAILING_TOOL = "echo partial; echo driver gone >&2; exit 9"
COMMAND = "['nvidia-smi', '--query-gpu=uuid', '--format=csv,noheader']"
TOOL_FAILED = f"Error getting GPU UUID: Command '{COMMAND}' returned non-zero exit status 9."
TOOL_ERR = f"driver gone\n{TOOL_FAILED}\n"  # the tool's own line, then the module's
NO_MAC = "Error while getting MAC address: netlink refused"
BLANK = "Error while getting MAC address: "  # an exception without text: the line keeps its last blank
ASCII = {"serial": "SN-é", "PYTHONIOENCODING": "ascii"}
CANNOT = "ostrel: cannot write output:"
NOT_ASCII = "'ascii' codec can't encode character '\\xe9' in position %d: ordinal not in range(128)"
NOT_FOUND = "  not found on PATH\n  could not be run: [Errno 2] No such file or directory: 'nvidia-smi' (after … s)\n"
DIFFERS = "ostrel: the module gives gpu_uuid 'GPU-…', not 'GPU-…' as explained (…)\n"
REPORTED = ["psutil", "pyudev", "nvidia-smi"]  # the report's order, and --explain's own
ASKED = ["pyudev", "psutil", "nvidia-smi"]  # get_machine_string()'s order: --json, --field string
BOTH = REPORTED + ASKED  # --explain's, then the module's
SOURCE_TREE = str(ROOT / "src")
USAGE = "usage: ostrel [-h] [--version] [--json | --field NAME | --explain]\n              [--require NAMES]\n"
EMPTY = "ostrel: {} is {}; ostrel --explain shows why\n".format  # a value empty or None, no error line of its own
HIDDEN = f"varnok.ostrel is not built in {SOURCE_TREE}/varnok, … hides the one installed in …/site-packages/varnok: …\n"
NEEDS = "ostrel: varnok.ostrel needs psutil, not installed here: pip install psutil\n"
BROKEN_LOAD = "Traceback (most recent call last):\n⋮ImportError: psutil is broken\nostrel: … cannot be loaded: …\n"
EMPTY_REPORT = "Cuda uuid: \nMAC Address: None\nDisk Serial Number: \n"
DISK = "Disk Serial Number: SN-XYZ987\n"
UUIDS = ("GPU-6c6f0a6e-3b2d-4f1a-9e1c-0a1b2c3d4e5f", "GPU-0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0")


def json_line(gpu="GPU-1", errors=(None, None, None), disk="SN-XYZ987", mac=MAC):
    keys = ("disk_serial_number", "mac_address", "gpu_uuid")
    document = {**dict(zip(keys, (disk, mac, gpu), strict=True)), "machine_string": f"{disk}|{mac}|{gpu}"}
    return json.dumps({**document, "errors": dict(zip(keys, errors, strict=True))}) + "\n"


TOOL_RAN = "  found at …/bin/nvidia-smi\n  exited with status {} after … s\n  printed: {}\n"
NOT_UUIDS = "  note: not GPU UUIDs (GPU-, then hex digits 8-4-4-4-12, one per line); the module takes it as is\n"
ODD = TOOL_RAN + NOT_UUIDS  # a run that printed one line, not a GPU UUID
TOOL_OK = ODD.format(0, "GPU-1")
TOOL_UUIDS = TOOL_RAN.format(0, UUIDS[0]) + f"  printed: {UUIDS[1]}\n"
FAILED_RUN = TOOL_RAN.format(9, "partial") + "  on standard error: driver gone\n"
INTERFACES = {
    MAC: "  lo    00:00:00:00:00:00  passed over by the first pass: not named eth0 or wlan0\n"
    f"  eth0  {MAC}  chosen by the first pass: named eth0\n",
    "": "  psutil.net_if_addrs() failed: netlink refused\n",
    "10.0.0.1": '  lo    00:00:00:00:00:00  skipped by the second pass: "lo" is in its name\n'
    "  eth0  -                  named eth0, but no link-layer address\n",
}


def explanation(tool=TOOL_OK, gpu="GPU-1", verdict="The module gives the same values.\n", mac=MAC, table=None):
    """What --explain prints with the fakes; a GPU UUID per line, each under the first."""
    return (
        f"Network interfaces, in psutil's order:\n{INTERFACES[table or mac]}MAC address: {mac or '(empty)'}\n\n"
        "Block devices, in udev's order (by their path under /sys):\n"
        "  device 1  ID_SERIAL=SN-XYZ987  gave the serial\nDisk serial number: SN-XYZ987\n\n"
        f"GPU tool: nvidia-smi --query-gpu=uuid --format=csv,noheader\n{tool}"
        f"GPU UUID: {(gpu or '(empty)').replace('\n', '\n' + ' ' * 10)}\n\n"
        f"Machine string: SN-XYZ987|{mac}|{gpu.replace('\n', '\n' + ' ' * 16)}\n{verdict}"
    )


# The queries and tool runs of each mode; --explain's own only, as a failed
# write of the explanation stops it before the module is asked.
MODES = {"": REPORTED, "--json": ASKED, "--field mac": ["psutil"], "--explain": REPORTED, "--help": [], "--version": []}
LOADING = list(MODES)[:4]  # the modes that load the module
BROKEN = {
    "|": (141, ""),
    ">/dev/full": (74, f"{CANNOT} No space left on device\n"),
    ">&-": (74, f"{CANNOT} standard output is closed\n"),
}

# The arguments, where a last word >/dev/full or >&- redirects standard output as a shell does, and | gives it a
# pipe whose reader is gone before the command starts; the fakes (upper case: environment variables); exit status,
# stdout and stderr (… stands for any text within a line, ⋮ for any lines); the queries and tool runs.
RUNS = [
    *[
        (f"{args} {redirect}", {}, status, "", stderr, [] if redirect == ">&-" else calls)
        for args, calls in MODES.items()
        for redirect, (status, stderr) in BROKEN.items()
    ],
    # The module's error lines go to stderr and into "errors", and stay there when stdout is gone.
    ("--json |", {"gpu": None}, 141, "", f"{NO_TOOL}\n", ASKED[:2]),
    ("--json", {}, 0, json_line(), "", ASKED),
    # A missing value fails --json only where --require names it.
    ("--json", {"gpu": None}, 0, json_line("", (None, None, NO_TOOL)), f"{NO_TOOL}\n", ASKED[:2]),
    ("--json --require gpu", {"gpu": None}, 1, json_line("", (None, None, NO_TOOL)), f"{NO_TOOL}\n", ASKED[:2]),
    ("--json --require=disk,mac", {"gpu": FAILING_TOOL}, 0, json_line("", (None, None, TOOL_FAILED)), TOOL_ERR, ASKED),
    ("--require all --json", {"mac": "fail"}, 1, json_line(errors=(None, NO_MAC, None), mac=""), f"{NO_MAC}\n", ASKED),
    ("--json --require=gpu", {"mac": "blank"}, 0, json_line(errors=(None, BLANK, None), mac=""), f"{BLANK}\n", ASKED),
    # None is JSON null and counts as missing; the string formats it as get_machine_string() does.
    ("--json --require gpu --require disk", {"mac": "None", "serial": ""}, 1, json_line(disk="", mac=None), "", ASKED),
    ("--json", {"gpu": "printf 'GPU-1\\nGPU-2\\n'"}, 0, json_line("GPU-1\nGPU-2"), "", ASKED),
    ("--field mac", {}, 0, f"{MAC}\n", "", ["psutil"]),
    # A value that prints nothing says so on stderr, unless the module printed its error line there.
    ("--field mac", {"mac": "None"}, 1, "", EMPTY("mac_address", "None"), ["psutil"]),
    ("--field mac", {"mac": ""}, 1, "", EMPTY("mac_address", "empty"), ["psutil"]),
    ("--field disk", {"serial": " SN 1 "}, 0, " SN 1 \n", "", ["pyudev"]),
    ("--field disk", {"serial": "None"}, 1, "", EMPTY("disk_serial_number", "None"), ["pyudev"]),
    ("--field gpu", {"gpu": "true"}, 1, "", EMPTY("gpu_uuid", "empty"), ["nvidia-smi"]),
    ("--field gpu", {}, 0, "GPU-1\n", "", ["nvidia-smi"]),
    ("--field gpu", {"gpu": None}, 1, "", f"{NO_TOOL}\n", []),
    ("--field gpu", {"gpu": FAILING_TOOL}, 1, "", TOOL_ERR, ["nvidia-smi"]),
    ("--field gpu", {"gpu": "printf 'GPU-1\\nGPU-2\\n'"}, 0, "GPU-1\nGPU-2\n", "", ["nvidia-smi"]),
    ("--field string", {}, 0, f"SN-XYZ987|{MAC}|GPU-1\n", "", ASKED),
    # The string is never empty; it fails as --json does, where a missing piece is required.
    ("--field string", {"gpu": None}, 0, f"SN-XYZ987|{MAC}|\n", f"{NO_TOOL}\n", ASKED[:2]),
    ("--field string --require mac", {"mac": "None"}, 1, "SN-XYZ987|None|GPU-1\n", EMPTY("mac_address", "None"), ASKED),
    ("--field string --require mac", {"serial": ""}, 0, f"|{MAC}|GPU-1\n", EMPTY("disk_serial_number", "empty"), ASKED),
    # An encoding error is a failed write; in the report the module catches it and says so itself.
    ("--field disk", ASCII, 74, "", f"{CANNOT} {NOT_ASCII % 3}\n", ["pyudev"]),
    ("", ASCII, 0, f"{REPORT}Error in main execution: {NOT_ASCII % 23}\n", "", REPORTED),
    # The report prints the module's own error lines, None as None and an empty value as nothing.
    ("", {}, 0, REPORT + DISK, "", REPORTED),
    ("", {"gpu": None}, 0, f"{NO_TOOL}\n{REPORT.replace('GPU-1', '')}{DISK}", "", REPORTED[:2]),
    ("", {"mac": "None", "serial": "", "gpu": "printf ' \\n'"}, 0, EMPTY_REPORT, "", REPORTED),
    ("", {"mac": "broken"}, 69, "", BROKEN_LOAD, []),
    # Ctrl-C, here raised by psutil: 130 and no traceback.
    ("", {"mac": "interrupt"}, 130, "", "", ["psutil"]),
    ("--json", {"mac": "interrupt"}, 130, "", "", ASKED[:2]),
    ("--explain", {"mac": "interrupt"}, 130, "", "", ["psutil"]),
    # --explain reads what the module reads, then asks the module, whose error lines go to stderr.
    ("--explain", {}, 0, explanation(), "", BOTH),
    ("--explain", {"gpu": None}, 0, explanation(NOT_FOUND, ""), f"{NO_TOOL}\n", REPORTED[:2] + ASKED[:2]),
    ("--explain", {"gpu": FAILING_TOOL}, 0, explanation(FAILED_RUN, ""), TOOL_ERR, BOTH),
    ("--explain", {"mac": "fail"}, 0, explanation(mac=""), f"{NO_MAC}\n", BOTH),
    ("--explain", {"mac": "10.0.0.1"}, 0, explanation(mac="", table="10.0.0.1"), "", BOTH[:5] + ASKED[1:]),
    # What does not look like GPU UUIDs has a note (above); UUIDs have none, and each stands under the first.
    ("--explain", {"gpu": f"printf '%s\\n' {' '.join(UUIDS)}"}, 0, explanation(TOOL_UUIDS, "\n".join(UUIDS)), "", BOTH),
    # A tool that answers otherwise at each run: the module disagrees with the explanation.
    ("--explain", {"gpu": "echo GPU-$$"}, 1, explanation(ODD.format(0, "GPU-…"), "GPU-…", ""), DIFFERS, BOTH),
    # Not built (a source tree first on the path), or a package it needs missing: one line, whatever the mode.
    *[(args, {"PYTHONPATH": SOURCE_TREE}, 69, "", HIDDEN, []) for args in [*LOADING, "--version"]],
    *[(args, {"mac": "missing"}, 69, "", NEEDS, []) for args in LOADING],
    *[
        (args, {}, 2, "", f"{USAGE}ostrel: error: {error}…\n", [])
        for args, error in [
            ("--field nonsense", "argument --field: invalid choice: 'nonsense' (choose from "),
            ("--field", "argument --field: expected one argument"),
            ("--json --field mac", "argument --field: not allowed with argument --json"),
            ("--explain --json", "argument --json: not allowed with argument --explain"),
            ("--bogus", "unrecognized arguments: --bogus"),
            ("--json --require gpu,dsk", "argument --require: invalid value 'dsk' (choose from disk, mac, gpu, all)"),
            ("--field mac --require disk", "argument --require: --field mac prints mac only"),
            ("--explain --require mac", "argument --require: only with --json or --field"),
            ("--bogus >&-", "unrecognized arguments: --bogus"),  # though standard output is closed
            ("extra", "unrecognized arguments: extra"),
        ]
    ],
]


def run_line(argv, line, env):
    """Runs `argv` with the arguments of `line`, standard output redirected as its last word says (see RUNS)."""
    *args, last = line.split() or [""]
    if last == "|":
        os.close((pipe := os.pipe())[0])
        with open(pipe[1], "wb") as gone:
            return run([*argv, *args], env, stdout=gone)
    if last in BROKEN:
        return run(["sh", "-c", f'exec "$@" {last}', "sh", *argv, *args], env)
    return run([*argv, *line.split()], env)


def like(shape, text):
    pattern = "".join({"…": "[^\n]*", "⋮": ".*"}.get(part, re.escape(part)) for part in re.split("([…⋮])", shape))
    return re.fullmatch(pattern, text or "", re.DOTALL) is not None


@pytest.mark.parametrize("line, fakes, status, out, err, calls", RUNS, ids=[f"{r[0]} {r[1] or ''}" for r in RUNS])
def test_command(host_env, line, fakes, status, out, err, calls):
    env = host_env(**{k: v for k, v in fakes.items() if k.islower()}) | {k: v for k, v in fakes.items() if k.isupper()}
    for entry, (argv, buffering) in ENTRY_POINTS.items():
        proc = run_line(argv, line, env | buffering)
        got = (proc.returncode, proc.stdout, proc.stderr, host_env.calls())
        assert got[0] == status and like(out, got[1]) and like(err, got[2]) and got[3] == calls, (entry, got)


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("option", ["--help", "--version"])
def test_help_and_version_touch_nothing(host_env, entry, option):
    argv, buffering = ENTRY_POINTS[entry]
    proc = run([*argv, option], host_env() | buffering | {"COLUMNS": "80", "PYTHONPROFILEIMPORTTIME": "1"})
    assert proc.returncode == 0
    if option == "--help":
        # The README shows the help as it prints, options and exit statuses included, after a
        # quick start whose first two commands are the Makefile's `make run` and `make test`.
        assert proc.stdout.startswith(USAGE) and proc.stdout in README
        start = re.search(r"^## Quick start\n.*?```sh\n([^\n]*)\n([^\n]*)\n", README, re.MULTILINE | re.DOTALL)
        assert [line.split("#")[0].strip() for line in start.groups()] == ["make run", "make test"]
        assert re.search("^run:", MAKEFILE, re.MULTILINE) and re.search("^test:", MAKEFILE, re.MULTILINE)
    else:  # varnok.__version__ is the same metadata, read on first use; varnok has no other such name
        assert proc.stdout == f"ostrel {importlib.metadata.version('varnok')}\n" == f"ostrel {varnok.__version__}\n"
        assert not hasattr(varnok, "__author__")
    # No query, no tool, and the extension module is not even loaded: stderr
    # holds only the interpreter's import timings, which list argparse.
    lines = proc.stderr.splitlines()
    assert all(line.startswith("import time:") for line in lines)
    imported = {line.rsplit("|", 1)[1].strip() for line in lines}
    assert "argparse" in imported and "varnok.ostrel" not in imported
    assert host_env.calls() == []
