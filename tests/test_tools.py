"""What profilers, debuggers and stack readers show of a workload calling the module, against the same workload on its
plain-Python twin (bench/twin.py), each in a child interpreter: the same functions, files, lines and callers. Names lose
the module's prefix (its frames are named as its traceback entries, `varnok.ostrel.get_mac_address`); C functions are
left out (the module walks a dict's table without calling its items(), and the twin calls helpers of its own)."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1] / "bench"
WORKLOAD = f"""
import faulthandler, io, os, subprocess, sys, tempfile, types
tool = sys.argv[1]
if sys.argv[2] == "twin":
    sys.path.insert(0, {str(BENCH)!r})
    __import__("twin").install()
import varnok.ostrel as m

def probe():  # what the tool shows from inside psutil.net_if_addrs()
    if tool == "tracemalloc":
        __import__("tracemalloc").start(30)
        print(*__import__("tracemalloc").get_object_traceback(bytearray(5000)).format(), sep="\\n")
    elif tool == "faulthandler":
        with tempfile.TemporaryFile("w+") as f:
            faulthandler.dump_traceback(f, all_threads=False)
            print(f.seek(0) and "" or f.read())
    elif tool == "pdb":
        out = io.StringIO()
        commands = io.StringIO("where\\nup\\nup\\np __name__\\nup\\nargs\\ncontinue\\n")
        __import__("pdb").Pdb(stdin=commands, stdout=out, nosigint=True).set_trace()
        print(out.getvalue())
    elif tool == "py-spy":
        spy = os.path.join(os.path.dirname(sys.executable), "py-spy")
        env = dict(os.environ, LD_PRELOAD="")  # not the sanitizers' runtime, where the suite preloads it
        run = subprocess.run([spy, "dump", "--pid", str(os.getpid())], capture_output=True, text=True, env=env)
        print(run.stdout) if run.returncode == 0 else sys.exit("py-spy cannot read the process: " + run.stderr)
    elif tool == "pyinstrument":
        __import__("time").sleep(0.1)  # samples land here, with the stack as it is

def net_if_addrs():
    probe()
    return {{"eth0": [types.SimpleNamespace(family=17, address="02:00:00:00:00:01")]}}

m.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=net_if_addrs)
device = types.SimpleNamespace(properties={{"ID_SERIAL": "SN"}})
m.pyudev = types.SimpleNamespace(Context=lambda: types.SimpleNamespace(list_devices=lambda subsystem: [device]))

def caller():
    return m.get_machine_string()

def ours(file):  # the module's and this program's functions, not the twin's helpers
    return file in ("<string>", "src/varnok/ostrel")

if tool in ("cProfile", "profile"):
    profiler = __import__(tool).Profile()
    profiler.runcall(caller)
    for (file, line, name), (*_, callers) in sorted(__import__("pstats").Stats(profiler).stats.items(), key=str):
        print(file, line, name, sorted(c[2] for c in callers if ours(c[0])))
elif tool == "yappi":
    yappi = __import__("yappi")
    yappi.start(builtins=False)
    caller()
    yappi.stop()
    for s in sorted(yappi.get_func_stats(), key=lambda s: (s.module, s.lineno)):
        print(s.module, s.lineno, s.name, s.ncall, sorted(c.name for c in s.children if ours(c.module)))
elif tool == "pyinstrument":
    profiler = __import__("pyinstrument").Profiler(interval=0.001)
    profiler.start()
    caller()
    profiler.stop()
    frame = profiler.last_session.root_frame()
    while frame:  # the heaviest path: to the sleep
        print(frame.function, frame.file_path_short, frame.line_no)
        frame = max(frame.children, key=lambda child: child.time, default=None)
else:
    caller()
"""
TOOLS = ["cProfile", "profile", "yappi", "pyinstrument", "tracemalloc", "faulthandler", "pdb", "py-spy"]


def shown(tool, which):
    """The tool's lines about Python functions, with the module's prefix and what varies from run to run gone."""
    env = dict(os.environ, PATH="/nonexistent")  # no GPU tool: get_gpu_uuid prints its error line
    out = subprocess.run([sys.executable, "-c", WORKLOAD, tool, which], capture_output=True, text=True, env=env)
    if "py-spy cannot read the process" in out.stderr:
        pytest.skip(out.stderr.strip().splitlines()[-1])
    assert out.returncode == 0, out.stderr
    text = re.sub(r"varnok\.ostrel\.(get_\w+|DeviceType)", r"\1", out.stdout)
    return [
        re.sub("0x[0-9a-f]+", "", line) for line in text.splitlines() if re.search(r"ostrel|<string>|\(Pdb\)", line)
    ]


@pytest.mark.parametrize("tool", TOOLS)
def test_tools_show_the_functions_as_plain_python_functions(tool):
    native = shown(tool, "native")
    assert native == shown(tool, "twin")
    assert sum("ostrel" in line for line in native) >= 3, native  # a frame of each function on the way
