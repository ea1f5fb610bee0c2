"""What plain Python code can do to the module without taking the process down:
Ctrl-C during endless walks, call cycles on small thread
stacks, and a failed load under another name. Each runs in a child
interpreter, so a crash fails the test instead of the run."""

import itertools
import os
import signal
import subprocess
import sys
import textwrap
import threading

import pytest
from conftest import run_python

BOUND = 300  # seconds: only a walk that never lets go reaches it
FREE_THREADED = "varnok.ostrel needs the interpreter lock: it cannot be loaded by a free-threaded CPython build"


RECORDS = """
        m.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=lambda: walking({{"{}": itertools.repeat(other)}}))
        m.get_mac_address()"""
ENDLESS = {
    **{f"{p} pass, endless records": RECORDS.format(n) for p, n in [("preferred", "eth0"), ("fallback", "enp3s0")]},
    "preferred pass, records that a read appends to": """
        class Grow:
            @property
            def family(self):
                records.append(self)
                return 2
        records = [Grow()]
        m.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=lambda: walking({"eth0": records}))
        m.get_mac_address()""",
    "endless interface items": """
        table = types.SimpleNamespace(items=lambda: itertools.repeat(("enp3s0", ())))
        m.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=lambda: walking(table))
        m.get_mac_address()""",
    "endless block devices": """
        device = types.SimpleNamespace(properties={})
        context = types.SimpleNamespace(list_devices=lambda subsystem: walking(itertools.repeat(device)))
        m.pyudev = types.SimpleNamespace(Context=lambda: context)
        m.get_machine_string()""",
}


@pytest.mark.parametrize("walk", sorted(ENDLESS))
def test_endless_walk_lets_other_threads_run_and_ctrl_c_ends_it(walk):
    # A thread that ticks every 50 ms needs the interpreter lock for each tick:
    # ten ticks after the walk began show that the native walk hands it over.
    # The child handles SIGINT itself, also when started with it ignored.
    code = "import collections, itertools, os, signal, threading, time, types, varnok.ostrel as m\n"
    code += "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
    code += "other = collections.namedtuple('snicaddr', 'family address')(2, '10.0.0.1')\n"
    code += "def walking(value):\n    print('walking', flush=True)\n    return value\n"
    code += "def tick():\n    while True:\n        time.sleep(0.05)\n        os.write(1, b'tick\\n')\n"
    code += "threading.Thread(target=tick, daemon=True).start()\n" + textwrap.dedent(ENDLESS[walk]).strip() + "\n"
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    watchdog = threading.Timer(BOUND, child.kill)
    watchdog.start()
    try:
        lines = iter(child.stdout.readline, "")
        started = "walking\n" in lines
        ticks = len(list(itertools.islice((line for line in lines if line == "tick\n"), 10)))
        child.send_signal(signal.SIGINT)
        _, stderr = child.communicate()
    finally:
        watchdog.cancel()
        child.kill()
    assert started and ticks == 10, stderr
    assert child.returncode != 0 and stderr.strip().endswith("KeyboardInterrupt"), stderr


@pytest.mark.parametrize(("stack_kib", "documented"), [(256, 37), (512, 75), (8192, 1210)])  # the docs' figures
def test_call_cycle_ends_at_the_documented_stack_bound(stack_kib, documented):
    proc = run_python(
        textwrap.dedent(f"""
        import contextlib, io, sys, threading, varnok.ostrel as m
        sys.setrecursionlimit(5000)  # the stack bound decides
        m.get_mac_address = lambda: "M"
        m.get_gpu_uuid = lambda: "G"
        m.get_disk_serial_number = m.get_machine_string
        threading.stack_size({stack_kib} * 1024)
        out = {{}}
        def deep(n):  # the cycle again, from n levels of C stack deeper: the bound is taken from where it starts
            return m.get_machine_string() if n == 0 else eval("deep(n - 1)", {{"deep": deep, "n": n}})
        def run():
            lines = io.StringIO()
            with contextlib.redirect_stdout(lines):
                out["string"] = m.get_machine_string()
                out["deep"] = deep({min(stack_kib // 8, 64)}).count("|M|G")
            out["lines"] = lines.getvalue().splitlines()
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        print(out["string"], out["deep"])
        print(*out["lines"], sep="\\n")
        """)
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    first, *lines = proc.stdout.splitlines()
    string, deep = first.split(" ")
    assert lines == ["Error while getting machine code: maximum recursion depth exceeded"] * 2
    # Each level that got through adds "|M|G" after the innermost empty piece; nesting may take an eighth of the
    # stack: the levels the docs give (a handful with the sanitizers' larger frames).
    levels, sanitized = string.count("|M|G"), os.environ.get("OSTREL_SANITIZED")
    assert (levels >= 5 if sanitized else documented * 0.8 <= levels < documented * 1.2) and string == "|M|G" * levels
    # From deeper down: an eighth of what is left there, not of what was left at the thread's start.
    assert sanitized or levels > int(deep) >= levels / 2


FAILED_LOAD = """
import importlib.util, sys
origin = importlib.util.find_spec("varnok.ostrel").origin
{before}
sys.modules["loguru"] = None
alias = importlib.util.spec_from_file_location("other.ostrel", origin)
try:
    alias.loader.exec_module(importlib.util.module_from_spec(alias))
except ImportError as exc:
    print("load failed:", exc)
del sys.modules["loguru"]
"""
REFUSAL = "NativeCodeError: {}: this code object describes varnok.ostrel's native {} and cannot run: {} instead"
CALL = REFUSAL.format("{0}", "function {0}{1}", "call varnok.ostrel.{0}{1}")
# Programs and all they must print: failed loads, code objects run, loads refused (the twin check draws the
# monitoring tools).
PROGRAMS = {
    "failed load under another name": (
        FAILED_LOAD.format(before="") + "print('varnok.ostrel' in sys.modules)\n"
        "import varnok.ostrel as m\nprint(m.DeviceType.CUDA.value, m.get_machine_code.__name__, m.__test__)",
        ["load failed: import of loguru halted; None in sys.modules", "False", "3 get_machine_code {}"],
    ),
    "failed load, keeping an entry it did not make": (
        FAILED_LOAD.format(before='sys.modules["varnok.ostrel"] = placeholder = object()')
        + 'print(sys.modules["varnok.ostrel"] is placeholder)',
        ["load failed: import of loguru halted; None in sys.modules", "True"],
    ),
    "failed loads, then a load, then its code objects run": (
        """
import builtins, sys, traceback, types
codes, kinds, mon = [], set(), sys.monitoring
mon.use_tool_id(4, "t")
mon.register_callback(4, mon.events.PY_START, lambda code, _: "ostrel" in code.co_filename and codes.append(code))
mon.set_events(4, mon.events.PY_START)
sys.modules["loguru"] = types.ModuleType("loguru")
try:
    import varnok.ostrel
except ImportError as e:
    frame, line = list(traceback.walk_tb(e.__traceback__))[-1]
    print(type(e).__name__, e, frame.f_code.co_name, frame.f_code.co_filename, line, "varnok.ostrel" in sys.modules)
for name in ["psutil", "pyudev", "enum", "typing"]:  # a failure at each import's line: an entry of its own
    held, sys.modules[name] = sys.modules[name], None
    try:
        import varnok.ostrel
    except ModuleNotFoundError as e:
        print("ModuleNotFoundError", traceback.extract_tb(e.__traceback__)[-1].lineno)
    sys.modules[name] = held
def loguru_getattr(name):  # only an AttributeError for the logger becomes ImportError
    if name == "logger":
        return 1 / 0
    raise AttributeError(name)
sys.modules["loguru"] = types.ModuleType("loguru")
sys.modules["loguru"].__getattr__ = loguru_getattr
try:
    import varnok.ostrel
except Exception as e:
    print(type(e).__name__, "varnok.ostrel" in sys.modules)
del sys.modules["loguru"]
import loguru  # with the real enum
class Meta(type):  # an Enum whose class statement fails: at the class DeviceType line
    def __new__(*args):
        return type.__new__(*args) if args[1] != "DeviceType" else (_ for _ in ()).throw(LookupError(args[1]))
enum, sys.modules["enum"] = sys.modules["enum"], types.SimpleNamespace(Enum=Meta("Enum", (), {}))
try:
    import varnok.ostrel
except LookupError as e:
    print("LookupError", e, [(f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__) if "ostrel" in f.name])
sys.modules["enum"] = enum
def logged(name, *args):  # the load's import statements as an import hook sees them
    print("import", name, *args[2:]) if args and args[0].get("__name__") == "varnok.ostrel" else None
    return real(name, *args)
real, builtins.__import__ = builtins.__import__, logged
import varnok.ostrel as m
builtins.__import__ = real
print(*sorted(n[4:] for n in vars(m) if n.startswith("get_")), m.__test__)
for code in [codes[0], frame.f_code, m.get_mac_address.__code__, m.get_machine_code.__code__]:
    try:
        types.FunctionType(code, vars(m))(1) if code.co_argcount else exec(code, {})
    except TypeError as e:
        print((kind := type(e)).__name__, code.co_name, e, sep=": ")
        kinds.add(kind)  # one class, made once: the failed loads' code objects raise it too
def made(): first = "one"; second = "two"; return kind()  # not raised by its code objects: its own words
print(made(), len(kinds))""",
        [
            "ImportError cannot import name 'logger' init varnok.ostrel src/varnok/ostrel 5 False",
            *[f"ModuleNotFoundError {line}" for line in range(1, 5)],
            "ZeroDivisionError False",
            "LookupError DeviceType [('init varnok.ostrel', 9)]",
            *[f"import {name} 0" for name in ("psutil None", "pyudev None", "enum ('Enum',)", "typing ('Union',)")],
            "import loguru ('logger',) 0",
            "disk_serial_number gpu_uuid mac_address machine_code machine_string {}",
            *[REFUSAL.format(n, "module body", "import varnok.ostrel") for n in ["init varnok.ostrel"] * 2],
            *[CALL.format(*call) for call in [("get_mac_address", "()"), ("get_machine_code", "(device_type)")]],
            "the code objects of varnok.ostrel's native functions cannot run 1",
        ],
    ),
    "free-threaded build": (
        """
import sys
flags, sys.argv[:] = sys.abiflags, ["-m", *"abcd"]  # more arguments than the interpreter's: no -m run of varnok
for sys.abiflags in ("t", "td"):
    try:
        import varnok.ostrel
    except ImportError as e:
        print(sys.abiflags, e)
sys.abiflags = flags
import varnok.ostrel as m
print(m.DeviceType.MAC.value)""",
        [f"{flags} {FREE_THREADED}" for flags in ("t", "td")] + ["1"],
    ),
    "second module object": (
        """
import _imp, importlib.util
spec = importlib.util.find_spec("varnok.ostrel")
first, second = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
_imp.exec_dynamic(first)
try:
    _imp.exec_dynamic(second)
except RuntimeError as e:
    print(e)
print(first is not second, _imp.create_dynamic(spec) is first, "DeviceType" in vars(second))""",
        ["Module 'ostrel' has already been imported. Re-initialisation is not supported.", "True True False"],
    ),
}


@pytest.mark.parametrize("name", sorted(PROGRAMS))
def test_program(name):
    code, lines = PROGRAMS[name]
    proc = run_python(code)
    assert proc.stdout.splitlines() == lines, proc.stderr
