"""Identifiers of the host machine; the module is ``varnok.ostrel``."""

import sys

# ``python -m varnok.ostrel`` would have runpy look for the extension's code,
# which it has none of. runpy imports this package first, while sys.argv[0] is
# "-m" and the interpreter's own arguments end with the module's name: the
# command runs then, as ``python -m varnok`` runs it.
if getattr(sys, "argv", None) and sys.argv[0] == "-m" and len(sys.orig_argv) >= len(sys.argv):
    _target = sys.orig_argv[-len(sys.argv)]
    if _target == "varnok.ostrel" or (
        _target[:1] == "-" and _target[1:2] != "-" and _target.endswith("mvarnok.ostrel")
    ):
        from varnok.__main__ import command

        sys.exit(command(sys.argv[1:]))
    del _target


def __getattr__(name: str) -> str:
    # Looked up on first use: importlib.metadata costs more to import than the
    # module itself, and most users never ask for the version.
    if name == "__version__":
        from importlib.metadata import version

        return version("varnok")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
