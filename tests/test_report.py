import sys
import textwrap

import pytest
from conftest import run

HOST = "from varnok.__main__ import main; main()"
REPORT = ["Cuda uuid: GPU-1", "MAC Address: 02:00:5e:aa:bb:cc", "Disk Serial Number: SN-XYZ987"]


def python(code, env):
    return run([sys.executable, "-c", textwrap.dedent(code)], env)


# A host that calls main() itself (test_command.py runs it from the entry points): the report, then the names bound.
BOUND = f"""
    import sys
    {HOST}
    m = sys.modules["varnok.ostrel"]
    print(m.__name__, m.DeviceType.__module__, m.ostrel, m.disk_code, m.cuda_uuid, "e" in vars(m), *[*vars(m)][-4:])
    from varnok.__main__ import main
    sys.exit(main())
"""


def test_report_binds_names_and_runs_once(host_env):
    proc = python(BOUND, host_env())
    assert proc.stdout.splitlines() == [
        *REPORT,
        "__main__ varnok.ostrel 02:00:5e:aa:bb:cc SN-XYZ987 GPU-1 False ostrel disk_code cuda_uuid __test__",
    ]
    assert proc.returncode == 1 and "already imported" in proc.stderr


# A stand-in loguru whose logger, read while the module loads, renames the module.
RENAMED = """
    import sys, types
    class Name(str):
        def __eq__(self, other):
            print("eq", str(self), other)
            return {equal}
        __hash__ = str.__hash__
    def loguru_getattr(name):
        sys.modules["varnok.ostrel"].__name__ = Name("varnok.ostrel")
        return object()
    sys.modules["loguru"] = types.ModuleType("loguru")
    sys.modules["loguru"].__getattr__ = loguru_getattr
"""


# A plain import prints nothing; a __name__ of its own class is asked whether it equals "__main__".
@pytest.mark.parametrize(
    "equal, lines",
    [(None, []), ("False", ["eq varnok.ostrel __main__"]), ("True", ["eq varnok.ostrel __main__", *REPORT])],
)
def test_report_runs_when_the_name_equals_main(host_env, equal, lines):
    code = "import varnok.ostrel as m; print(sorted({'ostrel', 'disk_code', 'cuda_uuid'} & set(vars(m))))"
    proc = python((textwrap.dedent(RENAMED.format(equal=equal)) if equal else "") + code, host_env())
    names = "['cuda_uuid', 'disk_code', 'ostrel']" if equal == "True" else "[]"
    assert proc.stdout.splitlines() == [*lines, names], proc.stderr


LOAD_FAILURE = f"""
    import sys, traceback
    try:
        {HOST}
    except BaseException as exc:
        frame, line = [(f, n) for f, n in traceback.walk_tb(exc.__traceback__)
                       if f.f_code.co_name == "init varnok.ostrel"][0]
        sys.__stderr__.write(f"{{type(exc).__name__}} {{frame.f_code.co_name}} {{line}} "
                             f"{{'e' in frame.f_globals}} {{'varnok.ostrel' in sys.modules}}\\n")
"""


def test_interrupted_report_fails_the_load(host_env):
    # Failed writes of the report are drawn by the lifecycle check (test_twin.py).
    proc = python(LOAD_FAILURE, host_env(mac="interrupt"))
    assert (proc.stdout, proc.stderr) == ("", "KeyboardInterrupt init varnok.ostrel 87 False False\n")
