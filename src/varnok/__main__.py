"""The ostrel command (also ``python -m varnok``): the host's identifiers.

With no option it runs varnok.ostrel as the main module, which prints the
module's report while it loads. The module does so when its exported flag
``__pyx_module_is_main_varnok__ostrel`` is set: this host loads the extension
library, sets the flag, then imports the module; the interpreter's own load of
the same file reuses the loaded library, flag included.

``--json``, ``--field`` and ``--explain`` import the module as usual and call
its public functions, with standard output redirected to standard error while
they run: the module writes its error lines through ``print``, so they land on
stderr and standard output carries only the values.

A missing value fails the command (1) only where it is required: ``--field
disk`` (``mac``, ``gpu``) requires its value, ``--require`` names others;
``--json`` and ``--field string`` require nothing of their own.

Where the module is not built (a source tree first on the path), every mode but
``--help`` prints one line that says so, and which installed package the source
tree hides, and exits 69; so does every mode that loads the module where a
package that it imports is not installed, or fails to import.

``main`` runs the command and lets a failed write or an interrupt propagate;
``command``, the installed entry point, turns those into exit statuses.
"""

import argparse
import contextlib
import ctypes
import functools
import importlib
import importlib.util
import io
import json
import os
import re
import shutil
import subprocess
import sys
import time
from collections.abc import Callable, Sequence
from importlib.machinery import EXTENSION_SUFFIXES

MODULE = "varnok.ostrel"
MAIN_FLAG = "__pyx_module_is_main_varnok__ostrel"

# --field name -> (JSON key, DeviceType member), in the machine string's order.
SOURCES = {
    "disk": ("disk_serial_number", "DISK"),
    "mac": ("mac_address", "MAC"),
    "gpu": ("gpu_uuid", "CUDA"),
}
FIELDS = (*SOURCES, "string")

# What the module imports while it loads, each the name of its package.
DEPENDENCIES = ("psutil", "pyudev", "loguru")
SUFFIXES = tuple(EXTENSION_SUFFIXES)
NOT_INSTALLED = f"{MODULE} is not installed"

# Exit statuses. 69 is EX_UNAVAILABLE and 74 EX_IOERR of <sysexits.h>; 130 and
# 141 are what a shell reports for a command ended by SIGINT or SIGPIPE.
MISSING = 1
UNAVAILABLE = 69
CANNOT_WRITE = 74
INTERRUPTED = 130
BROKEN_PIPE = 141

EPILOG = """\
--json, --field and --explain write the module's error lines to standard error.

--field disk, mac and gpu require their value; --json and --field string
require none unless --require names it.

exit status:
  0    the output is written and no required value is missing (the report
       without options: always)
  1    a required value is empty or None; --explain: the module disagrees
  2    usage error
  69   varnok.ostrel cannot be loaded: not installed, hidden by a source tree,
       a package it needs missing or broken (standard error says which)
  74   cannot write output: a full device, a closed standard output, an
       encoding error (one line on standard error says which)
  130  interrupted (Ctrl-C)
  141  the reader of the output went away (broken pipe); nothing is printed
"""


class _Print(argparse.Action):
    """--help and --version: write to standard output and stop, querying nothing.

    argparse's own printing swallows a failed write; this one lets it through."""

    def __init__(self, option_strings, dest, text: Callable[[argparse.ArgumentParser], str], **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)
        self.text = text

    def __call__(self, parser, namespace, values, option_string=None):
        sys.stdout.write(self.text(parser))
        parser.exit()


def _version(parser: argparse.ArgumentParser) -> str:
    """The installed package's version; where the package is not installed (a source
    tree first on the path), the line that every other mode prints there, and 1."""
    from importlib.metadata import PackageNotFoundError, version  # read only when asked for

    try:
        if extension() is None:
            raise PackageNotFoundError(MODULE)
        return f"{parser.prog} {version('varnok')}\n"
    except PackageNotFoundError:
        parser.exit(UNAVAILABLE, f"{not_installed()}\n")


# From 3.14 argparse colours by what standard output is, asking even a closed
# one (its formatters too): plain text, as on 3.13.
PLAIN = {"color": False} if sys.version_info >= (3, 14) else {}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        **PLAIN,
        prog="ostrel",
        description="Print this machine's identifiers: disk serial number, MAC address, NVIDIA GPU\n"
        "UUID. With no option, print the report of varnok.ostrel.",
        epilog=EPILOG,
        formatter_class=functools.partial(argparse.RawDescriptionHelpFormatter, **PLAIN),
        add_help=False,
    )
    parser.add_argument(
        "-h", "--help", action=_Print, text=argparse.ArgumentParser.format_help, help="show this help message and exit"
    )
    parser.add_argument("--version", action=_Print, text=_version, help="print the version and exit")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--json", action="store_true", help="print all values as one JSON object")
    mode.add_argument("--field", choices=FIELDS, metavar="NAME", help="print one value: " + ", ".join(FIELDS))
    mode.add_argument("--explain", action="store_true", help="show what the module finds here and why it picks it")
    parser.add_argument(
        "--require",
        action="extend",
        type=required,
        default=[],
        metavar="NAMES",
        help="exit 1 if any is empty or None: " + ", ".join([*SOURCES, "all"]),
    )
    return parser


def required(text: str) -> list[str]:
    """--require's argument: names of values, comma-separated; all is every one."""
    names = [name.strip() for name in text.split(",")]
    unknown = [name for name in names if name not in (*SOURCES, "all")]
    if unknown:
        raise argparse.ArgumentTypeError(f"invalid value {unknown[0]!r} (choose from {', '.join(SOURCES)}, all)")
    return [source for source in SOURCES if source in names or "all" in names]


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    """The command's arguments; --require only where the mode prints what it names."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.require and not (args.json or args.field):
        parser.error("argument --require: only with --json or --field")
    if args.field in SOURCES:
        if set(args.require) - {args.field}:
            parser.error(f"argument --require: --field {args.field} prints {args.field} only")
        args.require = [args.field]
    return args


def not_installed() -> str:
    """The line for a varnok.ostrel that is not built here: where the varnok package
    that Python found is a source tree's, hiding an installed one, it says so."""
    here = os.path.dirname(os.path.abspath(__file__))
    for entry in sys.path:
        package = os.path.join(os.path.abspath(entry or os.curdir), "varnok")
        if not os.path.isdir(package) or os.path.samefile(package, here):
            continue
        if any(name.startswith("ostrel.") and name.endswith(SUFFIXES) for name in os.listdir(package)):
            return (
                f"{MODULE} is not built in {here}, a source tree first on the path, which hides the one installed "
                f"in {package}: run the command from another directory, or take {os.path.dirname(here)} off PYTHONPATH"
            )
    return NOT_INSTALLED


def extension() -> str | None:
    """The file of varnok.ostrel's library; "" when the module is already imported,
    None when it is not built (a source tree first on the path has none)."""
    if MODULE in sys.modules:
        return ""
    return getattr(importlib.util.find_spec(MODULE), "origin", None)


def run_report(origin: str) -> int:
    """Loads varnok.ostrel, the extension at `origin`, as the main module, which
    prints its report."""
    if MODULE in sys.modules:
        print(f"{MODULE} is already imported in this process; its report runs only while it loads", file=sys.stderr)
        return 1
    try:
        library = ctypes.CDLL(origin)
    except OSError as error:  # a library that cannot be loaded: a broken installation
        raise ImportError(f"{error}") from None
    ctypes.c_int32.in_dll(library, MAIN_FLAG).value = 1
    importlib.import_module(MODULE)
    return 0


class _Printed:
    """sys.stdout while the module makes one value: passes what it prints on to
    standard error, and keeps it."""

    def __init__(self):
        self.parts: list[str] = []

    def write(self, text: str) -> int:
        self.parts.append(text)
        return sys.stderr.write(text)

    def flush(self) -> None:
        sys.stderr.flush()

    def line(self) -> str | None:
        return "".join(self.parts).removesuffix("\n") if self.parts else None


def lacking(names: Sequence[str], values: Sequence[str | None], require: Sequence[str]) -> int:
    """The status of a mode that printed `values` of `names`: 1 where a required one is missing."""
    return MISSING if any(not value and name in require for name, value in zip(names, values, strict=True)) else 0


def query(names: Sequence[str]) -> tuple[list[str | None], list[str | None]]:
    """The value of each source in `names`, each asked once, in that order, and
    the error line the module printed while making it (None when it printed none).

    A value is a str; None only where a stand-in bound in place of psutil or
    pyudev hands it out (the real libraries never do)."""
    from varnok.ostrel import DeviceType, get_machine_code

    values, errors = [], []
    for name in names:
        printed = _Printed()
        with contextlib.redirect_stdout(printed):
            values.append(get_machine_code(DeviceType[SOURCES[name][1]]))
        errors.append(printed.line())
    return values, errors


def machine_string(values: Sequence[str | None]) -> str:
    """The pieces joined as get_machine_string() joins them (a None piece reads "None")."""
    return "|".join(f"{value}" for value in values)


def print_json(require: Sequence[str]) -> int:
    values, errors = query(list(SOURCES))
    keys = [key for key, _ in SOURCES.values()]
    document: dict[str, object] = dict(zip(keys, values, strict=True))
    document["machine_string"] = machine_string(values)
    document["errors"] = dict(zip(keys, errors, strict=True))
    print(json.dumps(document))
    return lacking(list(SOURCES), values, require)


def print_field(name: str, require: Sequence[str]) -> int:
    """Prints one value; for each value asked for that is empty or None, and for which
    the module printed no error line of its own, says so on standard error."""
    names = list(SOURCES) if name == "string" else [name]
    values, errors = query(names)
    if name == "string":
        print(machine_string(values))
    elif values[0]:
        print(values[0])
    for asked, value, error in zip(names, values, errors, strict=True):
        if not value and error is None:
            empty = "None" if value is None else "empty"
            print(f"ostrel: {SOURCES[asked][0]} is {empty}; ostrel --explain shows why", file=sys.stderr)
    return lacking(names, values, require)


# What the module's sources look for (csrc/network.cpp, disk.cpp, gpu.cpp).
PREFERRED = ("eth0", "wlan0")
EXCLUDED = ("lo", "docker", "veth")
GPU_TOOL = ["nvidia-smi", "--query-gpu=uuid", "--format=csv,noheader"]
GPU_TOOL_TIMEOUT = 120
# What nvidia-smi prints for each GPU; the module takes whatever it prints.
GPU_UUID = re.compile(r"GPU-[0-9a-fA-F]{8}(-[0-9a-fA-F]{4}){3}-[0-9a-fA-F]{12}")


def shown(value: object) -> str:
    return "(empty)" if value == "" else f"{value}"


def labelled(label: str, value: object) -> str:
    """`label: value`, each further line of the value (one GPU UUID per GPU) indented
    under the first."""
    return f"{label}: " + shown(value).replace("\n", "\n" + " " * (len(label) + 2))


def explain_interfaces(psutil) -> tuple[list[str], str | None]:
    """psutil's interfaces, in its order, each with what the two passes make of it."""
    lines = ["Network interfaces, in psutil's order:"]
    try:
        table = [
            (name, [record.address for record in records if record.family == psutil.AF_LINK])
            for name, records in psutil.net_if_addrs().items()
        ]
    except Exception as error:
        return [*lines, f"  psutil.net_if_addrs() failed: {error}", labelled("MAC address", "")], ""
    by_name = next((i for i, (name, links) in enumerate(table) if name in PREFERRED and links), None)
    chosen = by_name
    if by_name is None:
        chosen = next((i for i, (name, links) in enumerate(table) if links and not excluded(name)), None)
    width = max((len(name) for name, _ in table), default=0)
    for i, (name, links) in enumerate(table):
        if chosen is not None and i > chosen:
            why = "not looked at: it comes after the chosen one"
        elif i == chosen and chosen == by_name:
            why = f"chosen by the first pass: named {name}"
        elif i == chosen:
            why = "chosen by the second pass: " + ", ".join(f'no "{part}"' for part in EXCLUDED) + " in its name"
        elif not links:
            why = f"named {name}, but no link-layer address" if name in PREFERRED else "no link-layer address"
        elif by_name is not None:
            why = "passed over by the first pass: not named " + " or ".join(PREFERRED)
        else:
            why = f'skipped by the second pass: "{excluded(name)}" is in its name'
        lines.append(f"  {name:<{width}}  {shown(links[0]) if links else '-':<17}  {why}")
    if not table:
        lines.append("  (none)")
    value = table[chosen][1][0] if chosen is not None else ""
    return [*lines, labelled("MAC address", value)], value


def excluded(name: str) -> str | None:
    return next((part for part in EXCLUDED if part in name), None)


def explain_disks(pyudev) -> tuple[list[str], str | None]:
    """udev's block devices, in its order, and which one gives the serial."""
    lines = ["Block devices, in udev's order (by their path under /sys):"]
    try:
        rows, chosen, value = [], False, ""
        for number, device in enumerate(pyudev.Context().list_devices(subsystem="block"), 1):
            properties = device.properties
            has = "ID_SERIAL" in properties
            serial = properties["ID_SERIAL"] if has else None
            why = f"ID_SERIAL={serial}" if has else "no ID_SERIAL"
            if has and not chosen:
                why, chosen, value = f"{why}  gave the serial", True, serial
            name = getattr(device, "sys_name", None) or f"device {number}"
            rows.append((name, why, getattr(device, "sys_path", None) or ""))
    except Exception as error:
        return [*lines, f"  reading udev failed: {error}", labelled("Disk serial number", "")], ""
    width = max((len(name) for name, _, _ in rows), default=0)
    why_width = max((len(why) for _, why, _ in rows), default=0)
    lines += [f"  {name:<{width}}  {why:<{why_width}}  {path}".rstrip() for name, why, path in rows] or ["  (none)"]
    return [*lines, labelled("Disk serial number", value)], value


def explain_gpu() -> tuple[list[str], str]:
    """One run of the GPU tool, as the module runs it: where it was found, what it
    printed or why it failed, and how long it took."""
    found = shutil.which(GPU_TOOL[0])
    lines = [f"GPU tool: {' '.join(GPU_TOOL)}", f"  found at {found}" if found else "  not found on PATH"]
    value = ""
    start = time.monotonic()
    try:
        done = subprocess.run(GPU_TOOL, capture_output=True, timeout=GPU_TOOL_TIMEOUT)
    except subprocess.TimeoutExpired:
        lines.append(f"  still running after {GPU_TOOL_TIMEOUT} s: killed")
    except OSError as error:
        lines.append(f"  could not be run: {error} (after {time.monotonic() - start:.3f} s)")
    else:
        lines.append(f"  exited with status {done.returncode} after {time.monotonic() - start:.3f} s")
        try:
            printed = done.stdout.decode("utf-8")
        except UnicodeDecodeError as error:
            lines.append(f"  its output is not UTF-8: {error}")
        else:
            lines += [f"  printed: {line}" for line in printed.strip().splitlines()]
            value = printed.strip() if done.returncode == 0 else ""
            if done.returncode == 0 and not (value and all(map(GPU_UUID.fullmatch, value.split("\n")))):
                lines.append(
                    "  note: not GPU UUIDs (GPU-, then hex digits 8-4-4-4-12, one per line); the module takes it as is"
                )
        lines += [f"  on standard error: {line}" for line in done.stderr.decode(errors="replace").splitlines()]
    return [*lines, labelled("GPU UUID", value)], value


def explain() -> int:
    """Prints what the module looks at on this host and what it chooses, then asks
    the module itself: 1 when its answer is not the one explained."""
    from varnok import ostrel

    mac_lines, mac = explain_interfaces(ostrel.psutil)
    disk_lines, disk = explain_disks(ostrel.pyudev)
    gpu_lines, gpu = explain_gpu()
    explained = {"disk": disk, "mac": mac, "gpu": gpu}
    print("\n\n".join("\n".join(lines) for lines in (mac_lines, disk_lines, gpu_lines)))
    print("\n" + labelled("Machine string", machine_string(list(explained.values()))))
    sys.stdout.flush()  # a failed write ends the command before the module runs the queries again
    values, _ = query(list(explained))
    differ = [(name, want, got) for (name, want), got in zip(explained.items(), values, strict=True) if want != got]
    for name, want, got in differ:
        print(
            f"ostrel: the module gives {SOURCES[name][0]} {got!r}, not {want!r} as explained "
            "(the host changed meanwhile, or the explanation no longer follows the module)",
            file=sys.stderr,
        )
    if not differ:
        print("The module gives the same values.")
    return MISSING if differ else 0


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command and returns its exit status. A failed write, an interrupt,
    and --help, --version or a usage error (SystemExit) propagate."""
    args = parse_args(argv)
    origin = extension()
    if origin is None:
        print(not_installed(), file=sys.stderr)
        return UNAVAILABLE
    try:
        if args.json:
            return print_json(args.require)
        if args.field:
            return print_field(args.field, args.require)
        if args.explain:
            return explain()
        return run_report(origin)
    except ImportError as error:  # raised by the module's load, before it queries anything
        if isinstance(error, ModuleNotFoundError) and error.name in DEPENDENCIES:
            # The module stops at the first it lacks; name the others it lacks too.
            missing = [error.name, *(d for d in DEPENDENCIES if not importlib.util.find_spec(d))]
            names = " ".join(dict.fromkeys(missing))
            print(f"ostrel: {MODULE} needs {names}, not installed here: pip install {names}", file=sys.stderr)
        else:  # a broken installation: what failed, and where
            import traceback

            traceback.print_exc()
            print(f"ostrel: {MODULE} cannot be loaded: {error}", file=sys.stderr)
        return UNAVAILABLE


class _Output:
    """sys.stdout while the command runs: the stream itself, except that it keeps
    the last write or flush that failed, so that a failure to write can be told
    apart from anything else that escapes."""

    def __init__(self, stream):
        self.stream = stream
        self.failure: Exception | None = None

    def write(self, text: str) -> int:
        try:
            return self.stream.write(text)
        except Exception as error:
            self.failure = error
            raise

    def flush(self) -> None:
        try:
            self.stream.flush()
        except Exception as error:
            self.failure = error
            raise

    def __getattr__(self, name: str):
        return getattr(self.stream, name)


def _cannot_write(reason: str) -> int:
    print(f"ostrel: cannot write output: {reason}", file=sys.stderr)
    return CANNOT_WRITE


def _discard_pending(stream) -> None:
    """Points the descriptor under `stream` at /dev/null, so that the interpreter's
    flush at exit finds somewhere to put what is still buffered, instead of
    failing again and reporting it."""
    with contextlib.suppress(OSError, ValueError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, stream.fileno())
        finally:
            os.close(devnull)


def _closed_from_start(argv: Sequence[str] | None) -> int:
    """Standard output closed when the interpreter started: a usage error is still 2,
    and --version where the package is not installed 69 (their one line goes to
    standard error); anything else would write to standard output: 74."""
    try:
        with contextlib.redirect_stdout(io.StringIO()):  # what --help or --version would print
            parse_args(argv)
    except SystemExit as done:
        if done.code:
            return done.code if isinstance(done.code, int) else MISSING
    return _cannot_write("standard output is closed")


def command(argv: Sequence[str] | None = None) -> int:
    """The ostrel command: main(), with what escapes from it made an exit status.

    A broken pipe ends it quietly (141), as Python's documentation recommends for
    SIGPIPE; any other failed write of standard output, a standard output closed
    from the start included, is one line on standard error (74), though a usage
    error stays a usage error (2); Ctrl-C is 130.
    Nothing else is caught: a failure that is not one of these keeps its traceback."""
    stream = sys.stdout
    if stream is None:  # descriptor 1 was closed when the interpreter started
        return _closed_from_start(argv)
    output = sys.stdout = _Output(stream)
    try:
        try:
            status = main(argv)
        except SystemExit as done:  # --help, --version or a usage error
            status = done.code if isinstance(done.code, int) else 1
        output.flush()
        return status
    except KeyboardInterrupt:
        return INTERRUPTED
    except Exception as error:
        if error is not output.failure:
            raise
        _discard_pending(stream)
        if isinstance(error, BrokenPipeError):
            return BROKEN_PIPE
        return _cannot_write(error.strerror if isinstance(error, OSError) and error.strerror else f"{error}")
    finally:
        sys.stdout = stream


if __name__ == "__main__":
    sys.exit(command())
