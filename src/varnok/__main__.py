"""The ostrel command (also ``python -m varnok``): the host's identifiers.

With no option it runs varnok.ostrel as the main module, which prints the
module's report while it loads. The module does so when its exported flag
``__pyx_module_is_main_varnok__ostrel`` is set: this host loads the extension
library, sets the flag, then imports the module; the interpreter's own load of
the same file reuses the loaded library, flag included.

``--json`` and ``--field`` import the module as usual and call its public
functions, with standard output redirected to standard error while they run:
the module writes its error lines through ``print``, so they land on stderr
and standard output carries only the values.
"""

import argparse
import contextlib
import ctypes
import importlib
import importlib.util
import json
import sys
from collections.abc import Sequence

MODULE = "varnok.ostrel"
MAIN_FLAG = "__pyx_module_is_main_varnok__ostrel"

# --field name -> (JSON key, DeviceType member), in the machine string's order.
SOURCES = {
    "disk": ("disk_serial_number", "DISK"),
    "mac": ("mac_address", "MAC"),
    "gpu": ("gpu_uuid", "CUDA"),
}
FIELDS = (*SOURCES, "string")


class _Version(argparse.Action):
    """--version, with the package metadata read only when it is asked for."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser, namespace, values, option_string=None):
        from varnok import __version__

        print(f"{parser.prog} {__version__}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="ostrel",
        description="Print this machine's identifiers: disk serial number, MAC address, NVIDIA GPU UUID. "
        "With no option, print the report of varnok.ostrel.",
        epilog="--json and --field write the module's error lines to standard error. Exit status: 0 when "
        "every value asked for is there, 1 when one is empty or None, 2 on a usage error.",
    )
    parser.add_argument("--version", action=_Version, help="print the version and exit")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--json", action="store_true", help="print all values as one JSON object")
    mode.add_argument("--field", choices=FIELDS, metavar="NAME", help="print one value: " + ", ".join(FIELDS))
    return parser


def run_report() -> int:
    """Loads varnok.ostrel as the main module, which prints its report."""
    if MODULE in sys.modules:
        print(f"{MODULE} is already imported in this process; its report runs only while it loads", file=sys.stderr)
        return 1
    spec = importlib.util.find_spec(MODULE)
    if spec is None or not spec.origin:
        print(f"{MODULE} is not installed", file=sys.stderr)
        return 1
    library = ctypes.CDLL(spec.origin)
    ctypes.c_int32.in_dll(library, MAIN_FLAG).value = 1
    importlib.import_module(MODULE)
    return 0


def query(names: Sequence[str]) -> list[str | None]:
    """The value of each source in `names`, each asked once, in that order.

    None is passed through as the module hands it out (psutil or pyudev may
    report None for an address or a serial)."""
    from varnok.ostrel import DeviceType, get_machine_code

    with contextlib.redirect_stdout(sys.stderr):
        return [get_machine_code(DeviceType[SOURCES[name][1]]) for name in names]


def machine_string(values: Sequence[str | None]) -> str:
    """The pieces joined as get_machine_string() joins them (a None piece reads "None")."""
    return "|".join(f"{value}" for value in values)


def print_json() -> int:
    values = query(list(SOURCES))
    document = {key: value for (key, _), value in zip(SOURCES.values(), values, strict=True)}
    document["machine_string"] = machine_string(values)
    print(json.dumps(document))
    return 0 if all(values) else 1


def print_field(name: str) -> int:
    if name == "string":
        values = query(list(SOURCES))
        print(machine_string(values))
        return 0 if all(values) else 1
    (value,) = query([name])
    if value:
        print(value)
    return 0 if value else 1


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    if args.json:
        return print_json()
    if args.field:
        return print_field(args.field)
    return run_report()


if __name__ == "__main__":
    sys.exit(main())
