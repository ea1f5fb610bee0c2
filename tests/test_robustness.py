"""What plain Python code can do to the module without taking the process down (Ctrl-C during endless walks, call cycles
on small thread stacks, failed loads), each in a child interpreter, so that a crash fails the test, not the run."""

import os
import textwrap

import pytest
from conftest import run_python

BOUND = 300  # seconds: only a walk that never lets go reaches it
FREE_THREADED = "varnok.ostrel needs the interpreter lock: it cannot be loaded by a free-threaded CPython build"
# Each walk's set-up and call; mac(table) binds a psutil whose net_if_addrs() returns table(), then walks it.
RECORDS = """mac(lambda: {{"{}": itertools.repeat(other)}})"""
ENDLESS = {
    **{f"{p} pass, endless records": RECORDS.format(n) for p, n in [("preferred", "eth0"), ("fallback", "enp3s0")]},
    "preferred pass, records that a read appends to": """
        records = [type("Grow", (), {"family": property(lambda self: records.append(self) or 2)})()]
        mac(lambda: {"eth0": records})""",
    "endless interface items": """mac(lambda: types.SimpleNamespace(items=lambda: itertools.repeat(("enp3s0", ()))))""",
    "endless block devices": """
        device = types.SimpleNamespace(properties={})
        context = types.SimpleNamespace(list_devices=lambda subsystem: walking(itertools.repeat(device)))
        m.pyudev = types.SimpleNamespace(Context=lambda: context)
        m.get_machine_string()""",
}
WALK = """
import collections, itertools, os, signal, threading, time, types, varnok.ostrel as m
signal.signal(signal.SIGINT, signal.default_int_handler)
other, started = collections.namedtuple("snicaddr", "family address")(2, "10.0.0.1"), threading.Event()
def walking(value):
    print("walking", flush=True)
    started.set()
    return value
def mac(table):
    m.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=lambda: walking(table()))
    m.get_mac_address()
def tick():  # ten ticks once the walk began, then Ctrl-C
    started.wait()
    for _ in range(10):
        time.sleep(0.05)
        os.write(1, b"tick\\n")
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=tick, daemon=True).start()
"""


@pytest.mark.parametrize("walk", sorted(ENDLESS))
def test_endless_walk_lets_other_threads_run_and_ctrl_c_ends_it(walk):
    # The ticking thread needs the interpreter lock for each tick: its ten ticks show that the native walk hands it
    # over. The child handles SIGINT itself, also when started with it ignored.
    proc = run_python(WALK + textwrap.dedent(ENDLESS[walk]).strip() + "\n", check=False, timeout=BOUND)
    lines = proc.stdout.splitlines()
    assert "walking" in lines and lines.count("tick") == 10, proc.stderr
    assert proc.returncode != 0 and proc.stderr.strip().endswith("KeyboardInterrupt"), proc.stderr


CYCLE = """
import sys, threading, varnok.ostrel as m
sys.setrecursionlimit(5000)  # the stack bound decides
m.get_mac_address, m.get_gpu_uuid, m.get_disk_serial_number = lambda: "M", lambda: "G", m.get_machine_string
threading.stack_size({stack_kib} * 1024)
def deep(n):  # the cycle again, from n levels of C stack deeper: the bound is taken from where it starts
    return m.get_machine_string() if n == 0 else eval("deep(n - 1)", {{"deep": deep, "n": n}})
thread = threading.Thread(target=lambda: print(m.get_machine_string(), deep({depth})))
thread.start()
thread.join()
"""


@pytest.mark.parametrize(("stack_kib", "documented"), [(256, 37), (512, 75), (8192, 1210)])  # the docs' figures
def test_call_cycle_ends_at_the_documented_stack_bound(stack_kib, documented):
    proc = run_python(CYCLE.format(stack_kib=stack_kib, depth=min(stack_kib // 8, 64)))
    *lines, last = proc.stdout.splitlines()
    string, deep = last.split(" ")
    assert lines == ["Error while getting machine code: maximum recursion depth exceeded"] * 2
    # Each level that got through adds "|M|G" after the innermost empty piece; nesting may take an eighth of the
    # stack: the levels the docs give (a handful with the sanitizers' larger frames).
    levels, sanitized = string.count("|M|G"), os.environ.get("OSTREL_SANITIZED")
    assert (levels >= 5 if sanitized else documented * 0.8 <= levels < documented * 1.2) and string == "|M|G" * levels
    # From deeper down: an eighth of what is left there, not of what was left at the thread's start.
    assert sanitized or levels > deep.count("|M|G") >= levels / 2


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
# Programs and all they must print: failed loads, code objects run, refused loads (monitoring tools: the twin check).
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
def load(caught):  # a load that fails with `caught`: what it raised
    try:
        import varnok.ostrel
    except caught as e:
        return e
sys.modules["loguru"] = types.ModuleType("loguru")
frame, line = list(traceback.walk_tb((e := load(ImportError)).__traceback__))[-1]
print(type(e).__name__, e, frame.f_code.co_name, frame.f_code.co_filename, line, "varnok.ostrel" in sys.modules)
for name in ["psutil", "pyudev", "enum", "typing"]:  # a failure at each import's line: an entry of its own
    held, sys.modules[name] = sys.modules[name], None
    print("ModuleNotFoundError", traceback.extract_tb(load(ModuleNotFoundError).__traceback__)[-1].lineno)
    sys.modules[name] = held
sys.modules["loguru"] = loguru = types.ModuleType("loguru")  # only an AttributeError for the logger: ImportError
loguru.__getattr__ = lambda name: 1 / 0 if name == "logger" else (_ for _ in ()).throw(AttributeError(name))
print(type(load(Exception)).__name__, "varnok.ostrel" in sys.modules)
del sys.modules["loguru"]
import loguru  # with the real enum
class Meta(type):  # an Enum whose class statement fails: at the class DeviceType line
    def __new__(*args):
        return type.__new__(*args) if args[1] != "DeviceType" else (_ for _ in ()).throw(LookupError(args[1]))
enum, sys.modules["enum"] = sys.modules["enum"], types.SimpleNamespace(Enum=Meta("Enum", (), {}))
e = load(LookupError)
print("LookupError", e, [(f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__) if "ostrel" in f.name])
sys.modules["enum"] = enum
def logged(name, *args):  # the load's import statements as an import hook sees them
    body = sys._getframe(1)  # the module body's frame: its locals are its globals
    print("import", name, *args[2:], body.f_locals is args[0]) if args[0].get("__name__") == "varnok.ostrel" else None
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
try: kind(k=1)  # made as TypeError is: an argument of its own kept, keywords refused
except TypeError as e: print(made(), len(kinds), kind("own").args, e)""",
        [
            "ImportError cannot import name 'logger' init varnok.ostrel src/varnok/ostrel 5 False",
            *[f"ModuleNotFoundError {line}" for line in range(1, 5)],
            "ZeroDivisionError False",
            "LookupError DeviceType [('init varnok.ostrel', 9)]",
            *[f"import {n} 0 True" for n in ("psutil None", "pyudev None", "enum ('Enum',)", "typing ('Union',)")],
            "import loguru ('logger',) 0 True",
            "disk_serial_number gpu_uuid mac_address machine_code machine_string {}",
            *[REFUSAL.format(n, "module body", "import varnok.ostrel") for n in ["init varnok.ostrel"] * 2],
            *[CALL.format(*call) for call in [("get_mac_address", "()"), ("get_machine_code", "(device_type)")]],
            "the code objects of varnok.ostrel's native functions cannot run 1 ('own',) "
            "varnok.ostrel.NativeCodeError() takes no keyword arguments",
        ],
    ),
    "free-threaded build": (
        """
import sys, loguru  # imported while the build's flags are there: sysconfig reads them
flags, sys.argv[:] = sys.abiflags, ["-m", *"abcd"]  # more arguments than the interpreter's: no -m run of varnok
for sys.abiflags in ("t", "td", 1):  # a free-threaded build's flags, or flags that are not text
    try:
        import varnok.ostrel
    except (ImportError, TypeError) as e:
        print(sys.abiflags, e)
setattr(sys, "abiflags", flags) if flags else delattr(sys, "abiflags")  # a release build may have none at all
import varnok.ostrel as m
print(m.DeviceType.MAC.value)""",
        [f"{flags} {FREE_THREADED}" for flags in ("t", "td")] + ["1 bad argument type for built-in operation", "1"],
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
    proc = run_python(PROGRAMS[name][0])
    assert proc.stdout.splitlines() == PROGRAMS[name][1], proc.stderr
