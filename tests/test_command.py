"""The ostrel command run as a user would, in child processes that see fake
psutil and pyudev modules and a fake nvidia-smi (conftest.host_env), with its
standard output read to the end, gone, full or closed."""

import contextlib
import importlib.metadata
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import run

# Each row runs through both entry points, one with standard output buffered
# (a failed write surfaces at the final flush) and one unbuffered (at the write).
ENTRY_POINTS = {
    "script": ([str(Path(sys.executable).parent / "ostrel")], {"PYTHONUNBUFFERED": ""}),
    "module": ([sys.executable, "-m", "varnok"], {"PYTHONUNBUFFERED": "1"}),
}
README = (Path(__file__).parents[1] / "README.md").read_text()
MAC = "02:00:5e:aa:bb:cc"
NO_TOOL = "Error getting GPU UUID: [Errno 2] No such file or directory: 'nvidia-smi'"
FAILING_TOOL = "echo partial; echo driver gone >&2; exit 9"
TOOL_FAILED = (
    "Error getting GPU UUID: Command '['nvidia-smi', '--query-gpu=uuid', '--format=csv,noheader']' "
    "returned non-zero exit status 9."
)
NO_MAC = "Error while getting MAC address: netlink refused"
NOT_ASCII = "'ascii' codec can't encode character '\\xe9' in position {}: ordinal not in range(128)"
REPORT_ORDER = ["psutil", "pyudev", "nvidia-smi"]
JSON_ORDER = ["pyudev", "psutil", "nvidia-smi"]
USAGE = "usage: ostrel [-h] [--version] [--json | --field NAME | --explain]\n"
OPTIONS = """\
options:
  -h, --help    show this help message and exit
  --version     print the version and exit
  --json        print all values as one JSON object
  --field NAME  print one value: disk, mac, gpu, string
  --explain     show what the module finds here and why it picks what it picks
"""


def json_line(disk, mac, gpu, string, errors=(None, None, None)):
    keys = ("disk_serial_number", "mac_address", "gpu_uuid")
    document = {**dict(zip(keys, (disk, mac, gpu), strict=True)), "machine_string": string}
    return json.dumps({**document, "errors": dict(zip(keys, errors, strict=True))}) + "\n"


TOOL_RAN = "  found at …/bin/nvidia-smi\n  exited with status {} after … s\n"
INTERFACES = {
    MAC: "  lo    00:00:00:00:00:00  passed over by the first pass: not named eth0 or wlan0\n"
    f"  eth0  {MAC}  chosen by the first pass: named eth0\n",
    "": "  psutil.net_if_addrs() failed: netlink refused\n",
}


def explanation(tool, gpu="GPU-1", mac=MAC, verdict="The module gives the same values.\n"):
    """What --explain prints with the fakes."""
    return (
        f"Network interfaces, in psutil's order:\n{INTERFACES[mac]}MAC address: {mac or '(empty)'}\n\n"
        "Block devices, in udev's order (by their path under /sys):\n"
        "  device 1  ID_SERIAL=SN-XYZ987  gave the serial\nDisk serial number: SN-XYZ987\n\n"
        f"GPU tool: nvidia-smi --query-gpu=uuid --format=csv,noheader\n{tool}GPU UUID: {gpu or '(empty)'}\n\n"
        f"Machine string: SN-XYZ987|{mac}|{gpu}\n{verdict}"
    )


# The queries and tool runs of each mode; --explain's own, as a failed write of
# the explanation stops it before the module is asked.
MODES = {(): REPORT_ORDER, ("--json",): JSON_ORDER, ("--field", "mac"): ["psutil"], ("--explain",): REPORT_ORDER}
MODES |= {("--help",): [], ("--version",): []}
BROKEN = {
    "pipe closed early": (141, ""),
    "/dev/full": (74, "ostrel: cannot write output: No space left on device\n"),
    "closed": (74, "ostrel: cannot write output: standard output is closed\n"),
}

# Arguments, standard output, fakes (upper case: environment variables), exit
# status, stdout, stderr (… stands for any text within a line), queries and tool runs.
RUNS = [
    *[
        (list(args), stdout, {}, status, "", stderr, [] if stdout == "closed" else calls)
        for args, calls in MODES.items()
        for stdout, (status, stderr) in BROKEN.items()
    ],
    # The module's error lines go to stderr, into "errors", and stay there when stdout is gone.
    (["--json"], "pipe closed early", {"gpu": None}, 141, "", f"{NO_TOOL}\n", JSON_ORDER[:2]),
    (["--json"], "pipe", {}, 0, json_line("SN-XYZ987", MAC, "GPU-1", f"SN-XYZ987|{MAC}|GPU-1"), "", JSON_ORDER),
    (
        ["--json"],
        "pipe",
        {"gpu": None},
        1,
        json_line("SN-XYZ987", MAC, "", f"SN-XYZ987|{MAC}|", (None, None, NO_TOOL)),
        f"{NO_TOOL}\n",
        JSON_ORDER[:2],
    ),
    (
        ["--json"],
        "pipe",
        {"gpu": FAILING_TOOL},
        1,
        json_line("SN-XYZ987", MAC, "", f"SN-XYZ987|{MAC}|", (None, None, TOOL_FAILED)),
        f"driver gone\n{TOOL_FAILED}\n",
        JSON_ORDER,
    ),
    (
        ["--json"],
        "pipe",
        {"mac": "fail"},
        1,
        json_line("SN-XYZ987", "", "GPU-1", "SN-XYZ987||GPU-1", (None, NO_MAC, None)),
        f"{NO_MAC}\n",
        JSON_ORDER,
    ),
    # None is JSON null and counts as missing; the string formats it as get_machine_string() does.
    (["--json"], "pipe", {"mac": "None", "serial": ""}, 1, json_line("", None, "GPU-1", "|None|GPU-1"), "", JSON_ORDER),
    (
        ["--json"],
        "pipe",
        {"gpu": "printf 'GPU-1\\nGPU-2\\n'"},
        0,
        json_line("SN-XYZ987", MAC, "GPU-1\nGPU-2", f"SN-XYZ987|{MAC}|GPU-1\nGPU-2"),
        "",
        JSON_ORDER,
    ),
    (["--field", "mac"], "pipe", {}, 0, f"{MAC}\n", "", ["psutil"]),
    (["--field", "mac"], "pipe", {"mac": "None"}, 1, "", "", ["psutil"]),
    (["--field", "mac"], "pipe", {"mac": ""}, 1, "", "", ["psutil"]),
    (["--field", "disk"], "pipe", {"serial": " SN 1 "}, 0, " SN 1 \n", "", ["pyudev"]),
    (["--field", "disk"], "pipe", {"serial": "None"}, 1, "", "", ["pyudev"]),
    (["--field", "gpu"], "pipe", {}, 0, "GPU-1\n", "", ["nvidia-smi"]),
    (["--field", "gpu"], "pipe", {"gpu": None}, 1, "", f"{NO_TOOL}\n", []),
    (["--field", "gpu"], "pipe", {"gpu": FAILING_TOOL}, 1, "", f"driver gone\n{TOOL_FAILED}\n", ["nvidia-smi"]),
    (["--field", "gpu"], "pipe", {"gpu": "printf 'GPU-1\\nGPU-2\\n'"}, 0, "GPU-1\nGPU-2\n", "", ["nvidia-smi"]),
    (["--field", "string"], "pipe", {}, 0, f"SN-XYZ987|{MAC}|GPU-1\n", "", JSON_ORDER),
    # The string is never empty; it fails as --json does, when a piece is missing.
    (["--field", "string"], "pipe", {"gpu": None}, 1, f"SN-XYZ987|{MAC}|\n", f"{NO_TOOL}\n", JSON_ORDER[:2]),
    (["--field", "string"], "pipe", {"mac": "None"}, 1, "SN-XYZ987|None|GPU-1\n", "", JSON_ORDER),
    # An encoding error is a failed write; in the report the module catches it and says so itself.
    (
        ["--field", "disk"],
        "pipe",
        {"serial": "SN-é", "PYTHONIOENCODING": "ascii"},
        74,
        "",
        f"ostrel: cannot write output: {NOT_ASCII.format(3)}\n",
        ["pyudev"],
    ),
    (
        [],
        "pipe",
        {"serial": "SN-é", "PYTHONIOENCODING": "ascii"},
        0,
        f"Cuda uuid: GPU-1\nMAC Address: {MAC}\nError in main execution: {NOT_ASCII.format(23)}\n",
        "",
        REPORT_ORDER,
    ),
    # Ctrl-C, here raised by psutil: 130 and no traceback.
    ([], "pipe", {"mac": "interrupt"}, 130, "", "", ["psutil"]),
    (["--json"], "pipe", {"mac": "interrupt"}, 130, "", "", JSON_ORDER[:2]),
    (["--explain"], "pipe", {"mac": "interrupt"}, 130, "", "", ["psutil"]),
    # --explain reads what the module reads, then asks the module, whose error lines go to stderr.
    (
        ["--explain"],
        "pipe",
        {},
        0,
        explanation(TOOL_RAN.format(0) + "  printed: GPU-1\n"),
        "",
        REPORT_ORDER + JSON_ORDER,
    ),
    (
        ["--explain"],
        "pipe",
        {"gpu": None},
        0,
        explanation(
            "  not found on PATH\n  could not be run: [Errno 2] No such file or directory: 'nvidia-smi' (after … s)\n",
            "",
        ),
        f"{NO_TOOL}\n",
        ["psutil", "pyudev", "pyudev", "psutil"],
    ),
    (
        ["--explain"],
        "pipe",
        {"gpu": FAILING_TOOL},
        0,
        explanation(TOOL_RAN.format(9) + "  printed: partial\n  on standard error: driver gone\n", ""),
        f"driver gone\n{TOOL_FAILED}\n",
        REPORT_ORDER + JSON_ORDER,
    ),
    (
        ["--explain"],
        "pipe",
        {"mac": "fail"},
        0,
        explanation(TOOL_RAN.format(0) + "  printed: GPU-1\n", mac=""),
        f"{NO_MAC}\n",
        REPORT_ORDER + JSON_ORDER,
    ),
    # A tool that answers otherwise at each run: the module disagrees with the explanation.
    (
        ["--explain"],
        "pipe",
        {"gpu": "echo GPU-$$"},
        1,
        explanation(TOOL_RAN.format(0) + "  printed: GPU-…\n", "GPU-…", verdict=""),
        "ostrel: the module gives gpu_uuid 'GPU-…', not 'GPU-…' as explained (…)\n",
        REPORT_ORDER + JSON_ORDER,
    ),
    *[
        (args, "pipe", {}, 2, "", f"{USAGE}ostrel: error: {error}…\n", [])
        for args, error in [
            (["--field", "nonsense"], "argument --field: invalid choice: 'nonsense' (choose from "),
            (["--field"], "argument --field: expected one argument"),
            (["--json", "--field", "mac"], "argument --field: not allowed with argument --json"),
            (["--explain", "--json"], "argument --json: not allowed with argument --explain"),
            (["--bogus"], "unrecognized arguments: --bogus"),
            (["extra"], "unrecognized arguments: extra"),
        ]
    ],
]


def run_with_stdout(argv, env, stdout):
    """Runs `argv` with standard output read to the end ("pipe"), a pipe whose
    reader is gone before it starts, /dev/full, or closed as `>&-` leaves it."""
    if stdout == "pipe":
        return run(argv, env)
    with contextlib.ExitStack() as stack:
        if stdout == "closed":
            argv, target = ["sh", "-c", 'exec "$@" >&-', "sh", *argv], None
        elif stdout == "/dev/full":
            target = stack.enter_context(open("/dev/full", "wb"))
        else:
            reader, target = os.pipe()
            os.close(reader)
            stack.callback(os.close, target)
        proc = subprocess.run(argv, env=env, stdout=target, stderr=subprocess.PIPE, text=True, timeout=60)
    proc.stdout = ""
    return proc


def like(shape, text):
    return re.fullmatch("[^\n]*".join(map(re.escape, shape.split("…"))), text) is not None


@pytest.mark.parametrize(
    "args, stdout, values, status, out, err, calls",
    RUNS,
    ids=[f"{' '.join(row[0]) or 'report'} > {row[1]} {row[2] or ''}" for row in RUNS],
)
def test_command(host_env, args, stdout, values, status, out, err, calls):
    env = host_env(**{k: v for k, v in values.items() if k.islower()}) | {
        k: v for k, v in values.items() if k.isupper()
    }
    for entry, (argv, buffering) in ENTRY_POINTS.items():
        proc = run_with_stdout([*argv, *args], env | buffering, stdout)
        got = (proc.returncode, proc.stdout, proc.stderr, host_env.calls())
        assert got[0] == status and like(out, got[1]) and like(err, got[2]) and got[3] == calls, (entry, got)


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize("option", ["--help", "--version"])
def test_help_and_version_touch_nothing(host_env, entry, option):
    argv, buffering = ENTRY_POINTS[entry]
    proc = run([*argv, option], host_env() | buffering | {"COLUMNS": "80", "PYTHONPROFILEIMPORTTIME": "1"})
    assert proc.returncode == 0
    if option == "--help":
        # The README shows the help as it is, exit statuses included.
        assert proc.stdout.startswith(USAGE) and OPTIONS in proc.stdout and proc.stdout in README
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
