"""What plain Python code can do to the module without taking the process down:
Ctrl-C during endless walks, call cycles on small thread
stacks, and a failed load under another name. Each runs in a child
interpreter, so a crash fails the test instead of the run."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from differential import TESTS, run_child

RECURSION_LINE = "Error while getting machine code: maximum recursion depth exceeded"


ENDLESS = {
    "preferred pass, endless records": """
        m.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=lambda: {"eth0": itertools.repeat(other)})
        m.get_mac_address()""",
    "fallback pass, endless records": """
        m.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=lambda: {"enp3s0": itertools.repeat(other)})
        m.get_mac_address()""",
    "endless interface items": """
        table = types.SimpleNamespace(items=lambda: itertools.repeat(("enp3s0", ())))
        m.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=lambda: table)
        m.get_mac_address()""",
    "endless block devices": """
        device = types.SimpleNamespace(properties={})
        context = types.SimpleNamespace(list_devices=lambda subsystem: itertools.repeat(device))
        m.pyudev = types.SimpleNamespace(Context=lambda: context)
        m.get_machine_string()""",
}


@pytest.mark.parametrize("walk", sorted(ENDLESS))
def test_endless_walk_lets_other_threads_run_and_ctrl_c_ends_it(walk):
    # A thread ticking every 50 ms ticks about 20 times a second while plain
    # Python walks; a native walk must hand over the interpreter lock as often.
    code = "import collections, itertools, sys, threading, time, types, varnok.ostrel as m\n"
    code += "other = collections.namedtuple('snicaddr', 'family address')(2, '10.0.0.1')\n"
    code += "def tick():\n    while True:\n        time.sleep(0.05)\n        print('tick', flush=True)\n"
    code += "threading.Thread(target=tick, daemon=True).start()\n"
    code += "print('walking', flush=True)\n" + textwrap.dedent(ENDLESS[walk]).strip() + "\n"
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "walking\n", child.stderr.read()
        time.sleep(1.0)
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=5)
    finally:
        child.kill()
    assert child.returncode != 0
    assert stderr.strip().endswith("KeyboardInterrupt"), stderr
    assert stdout.count("tick") >= 10, stdout


@pytest.mark.parametrize("stack_kib", [256, 512])
def test_call_cycle_on_a_small_thread_stack_ends_in_recursion_error(stack_kib):
    proc = run_child(
        textwrap.dedent(f"""
        import contextlib, io, threading, varnok.ostrel as m
        m.get_mac_address = lambda: "M"
        m.get_gpu_uuid = lambda: "G"
        m.get_disk_serial_number = m.get_machine_string
        threading.stack_size({stack_kib} * 1024)
        out = {{}}
        def run():
            lines = io.StringIO()
            with contextlib.redirect_stdout(lines):
                out["string"] = m.get_machine_string()
            out["lines"] = lines.getvalue().splitlines()
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        print(out["string"])
        print(*out["lines"], sep="\\n")
        """)
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    string, *lines = proc.stdout.splitlines()
    assert lines == [RECURSION_LINE]
    # Each level that got through adds "|M|G" after the innermost empty piece;
    # nesting may take an eighth of the stack, room for dozens of levels
    # (a handful with the sanitizers' larger frames).
    levels = string.count("|M|G")
    assert levels >= (5 if os.environ.get("OSTREL_SANITIZED") else 30) and string == "|M|G" * levels


# ---- the same script against the module and against plain Python --------------

LOAD = """
import sys, importlib.util
if sys.argv[1] == "native":
    import varnok.ostrel as m
else:
    spec = importlib.util.spec_from_file_location("baseline", differential.BASELINE)
    m = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(m)

class Key(str):
    # counts the comparisons made with it
    calls = 0
    def __eq__(self, other):
        Key.calls += 1
        return str.__eq__(self, other)
    __hash__ = str.__hash__
"""

SAME_AS_PLAIN_PYTHON = {
    # Python code at the bottom of a call cycle still gets most of the stack
    # it would have had in a cycle of Python functions.
    "deep C recursion under a call cycle on a 256 KiB stack": """
        import contextlib, io, threading
        def nest(k):
            return 0 if k == 0 else list(map(nest, [k - 1]))[0]
        m.get_mac_address = lambda: nest(250) or "M"
        m.get_gpu_uuid = lambda: "G"
        m.get_disk_serial_number = m.get_machine_string
        threading.stack_size(256 * 1024)
        def run():
            with contextlib.redirect_stdout(io.StringIO()):
                result = m.get_machine_string()
            print(sorted(set(result.split("|"))))
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()""",
    # Signal handlers run between items and may change what is walked.
    "a signal handler empties the records": """
        import signal, types, collections
        Rec = collections.namedtuple("snicaddr", "family address")
        addrs = [Rec(2, "10.0.0.1")] * 5_000_000
        m.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=lambda: {"eth0": addrs})
        signal.signal(signal.SIGALRM, lambda *_: addrs.clear())
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        print(repr(m.get_mac_address()), len(addrs))""",
    "a signal handler empties the interface table": """
        import signal, types
        table = {f"if{i}x": [] for i in range(2_000_000)}
        m.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=lambda: table)
        signal.signal(signal.SIGALRM, lambda *_: table.clear())
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        print(repr(m.get_mac_address()))
        signal.setitimer(signal.ITIMER_REAL, 0)""",
    "a signal handler empties the block devices": """
        import signal, types
        devices = [types.SimpleNamespace(properties={})] * 3_000_000
        context = types.SimpleNamespace(list_devices=lambda subsystem: devices)
        m.pyudev = types.SimpleNamespace(Context=lambda: context)
        signal.signal(signal.SIGALRM, lambda *_: devices.clear())
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        print(repr(m.get_disk_serial_number()))
        signal.setitimer(signal.ITIMER_REAL, 0)""",
    # An interface replaced by another while the table is walked.
    "the table's keys change, its size does not": """
        import types, collections
        Rec = collections.namedtuple("snicaddr", "family address")
        table = {}
        class Addrs:
            def __iter__(self):
                if "x" in table:
                    del table["x"]
                    table["z"] = [Rec(17, "02:00:00:00:00:0f")]
                return iter([Rec(2, "1.2.3.4")])
        def net_if_addrs():
            table.clear()
            table["x"] = Addrs()
            table["y"] = [Rec(2, "9.9.9.9")]
            return table
        m.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=net_if_addrs)
        print(repr(m.get_mac_address()))""",
    # Keeping an answer looks nothing up that the interpreter would not: a
    # str-subclass key counts the comparisons made with it.
    "a module's __getattr__ stores under a str-subclass key": """
        import types, collections
        Rec = collections.namedtuple("snicaddr", "family address")
        p = types.ModuleType("psutil")
        p.AF_LINK = 17
        def module_getattr(name):
            if name == "net_if_addrs":
                vars(p)[Key("net_if_addrs")] = f = lambda: {"enp": [Rec(17, "aa")]}
                return f
            raise AttributeError(name)
        p.__getattr__ = module_getattr
        m.psutil = p
        print(repr(m.get_mac_address()), repr(m.get_mac_address()), Key.calls)""",
    "a class attribute's own class has a str-subclass key": """
        import collections
        Rec = collections.namedtuple("snicaddr", "family address")
        V = type("V", (int,), {Key("AF_LINK"): "unused"})
        Key.calls = 0
        class Psutil:
            AF_LINK = V(17)
            net_if_addrs = staticmethod(lambda: {"enp": [Rec(17, "aa")]})
        m.psutil = Psutil
        print(repr(m.get_mac_address()), repr(m.get_mac_address()), Key.calls)""",
}


@pytest.mark.parametrize("name", sorted(SAME_AS_PLAIN_PYTHON))
def test_same_outcome_as_plain_python(name):
    script = "import differential\n" + LOAD + textwrap.dedent(SAME_AS_PLAIN_PYTHON[name])
    outcomes = []
    for which in ("native", "baseline"):
        proc = subprocess.run(
            [sys.executable, "-c", script, which], capture_output=True, text=True, timeout=120, cwd=TESTS
        )
        outcomes.append((proc.returncode, proc.stdout))
    assert outcomes[0] == outcomes[1], f"native {outcomes[0]}, plain Python {outcomes[1]}"
    assert outcomes[0][0] == 0


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


def test_failed_load_under_another_name_leaves_no_entry_behind():
    proc = run_child(
        FAILED_LOAD.format(before="")
        + textwrap.dedent("""
        print("varnok.ostrel" in sys.modules)
        import varnok.ostrel as m
        print(m.DeviceType.CUDA.value, m.get_machine_code.__name__, m.__test__)
        """)
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "load failed: import of loguru halted; None in sys.modules",
        "False",
        "3 get_machine_code {}",
    ]


def test_failed_load_keeps_an_entry_it_did_not_make():
    proc = run_child(
        FAILED_LOAD.format(before='sys.modules["varnok.ostrel"] = placeholder = object()')
        + 'print(sys.modules["varnok.ostrel"] is placeholder)'
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[-1] == "True"
