"""Run varnok.ostrel as the main module, which prints the host's identifiers.

The module prints its report while it loads, when its exported flag
``__pyx_module_is_main_varnok__ostrel`` is set. This host loads the extension
library, sets the flag, then imports the module; the interpreter's own load of
the same file reuses the loaded library, flag included.
"""

import ctypes
import importlib
import importlib.util
import sys

MODULE = "varnok.ostrel"
MAIN_FLAG = "__pyx_module_is_main_varnok__ostrel"


def main() -> int:
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


if __name__ == "__main__":
    sys.exit(main())
