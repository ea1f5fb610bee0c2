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

RECURSION_LINE = "Error while getting machine code: maximum recursion depth exceeded"
BOUND = 300  # seconds: only a walk that never lets go reaches it


ENDLESS = {
    "preferred pass, endless records": """
        m.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=lambda: walking({"eth0": itertools.repeat(other)}))
        m.get_mac_address()""",
    "fallback pass, endless records": """
        m.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=lambda: walking({"enp3s0": itertools.repeat(other)}))
        m.get_mac_address()""",
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


@pytest.mark.parametrize("stack_kib", [256, 512])
def test_call_cycle_on_a_small_thread_stack_ends_in_recursion_error(stack_kib):
    proc = run_python(
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
    proc = run_python(
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
    proc = run_python(
        FAILED_LOAD.format(before='sys.modules["varnok.ostrel"] = placeholder = object()')
        + 'print(sys.modules["varnok.ostrel"] is placeholder)'
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[-1] == "True"
