import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

# Fake psutil and pyudev, found first on PYTHONPATH by every child interpreter;
# FAKE_MAC and FAKE_SERIAL set what they report ("None" for None).
FAKES = {
    "psutil.py": """
        import collections, os
        AF_LINK = 17
        _Record = collections.namedtuple("snicaddr", "family address netmask broadcast ptp")
        def net_if_addrs():
            if os.environ["FAKE_MAC"] == "interrupt":
                raise KeyboardInterrupt
            mac = None if os.environ["FAKE_MAC"] == "None" else os.environ["FAKE_MAC"]
            return {"lo": [_Record(AF_LINK, "00:00:00:00:00:00", None, None, None)],
                    "eth0": [_Record(AF_LINK, mac, None, None, None)]}
    """,
    "pyudev.py": """
        import os
        class _Device:
            @property
            def properties(self):
                serial = os.environ["FAKE_SERIAL"]
                return {"ID_SERIAL": None if serial == "None" else serial}
        class Context:
            def list_devices(self, subsystem):
                return [_Device()]
    """,
}
HOST = "from varnok.__main__ import main; main()"


@pytest.fixture
def host_env(tmp_path):
    for name, text in FAKES.items():
        (tmp_path / name).write_text(textwrap.dedent(text))
    tools = tmp_path / "bin"
    tools.mkdir()

    def env(mac="02:00:5e:aa:bb:cc", serial="SN-XYZ987", gpu="echo GPU-1"):
        tool = tools / "nvidia-smi"
        if gpu:
            tool.write_text(f"#!/bin/sh\n{gpu}\n")
            tool.chmod(0o755)
        elif tool.exists():
            tool.unlink()
        return dict(
            os.environ, PYTHONPATH=str(tmp_path), PATH=f"{tools}:/usr/bin:/bin", FAKE_MAC=mac, FAKE_SERIAL=serial
        )

    return env


def run(argv, env, **kwargs):
    return subprocess.run(argv, env=env, capture_output=True, text=True, timeout=60, **kwargs)


def python(code, env):
    return run([sys.executable, "-c", textwrap.dedent(code)], env)


@pytest.mark.parametrize(
    "values, lines",
    [
        ({}, ["Cuda uuid: GPU-1", "MAC Address: 02:00:5e:aa:bb:cc", "Disk Serial Number: SN-XYZ987"]),
        (
            {"mac": "None", "serial": "", "gpu": "printf ' \\n'"},
            ["Cuda uuid: ", "MAC Address: None", "Disk Serial Number: "],
        ),
        (
            {"gpu": None},
            [
                "Error getting GPU UUID: [Errno 2] No such file or directory: 'nvidia-smi'",
                "Cuda uuid: ",
                "MAC Address: 02:00:5e:aa:bb:cc",
                "Disk Serial Number: SN-XYZ987",
            ],
        ),
    ],
)
def test_report_from_every_entry_point(host_env, values, lines):
    env = host_env(**values)
    scripts = Path(sys.executable).parent
    for argv in ([str(scripts / "ostrel")], [sys.executable, "-m", "varnok"], [sys.executable, "-c", HOST]):
        proc = run(argv, env)
        assert (proc.returncode, proc.stdout.split("\n"), proc.stderr) == (0, [*lines, ""], "")


def test_report_binds_names_and_runs_once(host_env):
    proc = python(
        f"""
        import sys
        {HOST}
        m = sys.modules["varnok.ostrel"]
        print(m.__name__, m.ostrel, m.disk_code, m.cuda_uuid, "e" in vars(m), list(vars(m))[-4:])
        del sys.modules["varnok.ostrel"]
        import varnok.ostrel
        print(varnok.ostrel is m)
        from varnok.__main__ import main
        sys.exit(main())
    """,
        host_env(),
    )
    assert proc.stdout.splitlines()[3:] == [
        "__main__ 02:00:5e:aa:bb:cc SN-XYZ987 GPU-1 False ['ostrel', 'disk_code', 'cuda_uuid', '__test__']",
        "True",
    ]
    assert proc.returncode == 1 and "already imported" in proc.stderr


def test_plain_import_prints_nothing(host_env):
    proc = python(
        "import varnok.ostrel as m; print(sorted({'ostrel', 'disk_code', 'cuda_uuid'} & set(vars(m))))", host_env()
    )
    assert proc.stdout == "[]\n"


LOAD_FAILURE = """
    import sys, traceback
    {prepare}
    try:
        {HOST}
    except BaseException as exc:
        frame, line = [(f, n) for f, n in traceback.walk_tb(exc.__traceback__)
                       if f.f_code.co_name == "init varnok.ostrel"][0]
        sys.__stderr__.write(f"{{type(exc).__name__}} {{frame.f_code.co_name}} {{line}} "
                             f"{{'e' in frame.f_globals}} {{'varnok.ostrel' in sys.modules}}\\n")
"""


@pytest.mark.parametrize(
    "prepare, mac, stderr",
    [
        ("sys.stdout.close()", "02:00:5e:aa:bb:cc", "ValueError init varnok.ostrel 94 False False\n"),
        ("pass", "interrupt", "KeyboardInterrupt init varnok.ostrel 87 False False\n"),
    ],
)
def test_failed_report_fails_the_load(host_env, prepare, mac, stderr):
    proc = python(LOAD_FAILURE.format(prepare=prepare, HOST=HOST), host_env(mac=mac))
    assert (proc.stdout, proc.stderr) == ("", stderr)


def test_exception_in_report_is_one_line(host_env):
    proc = python(
        f"""
        import sys
        class Once:
            failed = False
            def write(self, text):
                if not Once.failed:
                    Once.failed = True
                    raise OSError("disk full")
                return sys.__stdout__.write(text)
        sys.stdout = Once()
        {HOST}
        m = sys.modules["varnok.ostrel"]
        sys.stdout = sys.__stdout__
        print(m.cuda_uuid, "e" in vars(m))
    """,
        host_env(),
    )
    assert proc.stdout.splitlines() == ["Error in main execution: disk full", "GPU-1 False"]
