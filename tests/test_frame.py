import builtins
import os
import re
import shutil
import site
import subprocess
import sysconfig
from pathlib import Path

import pytest
from conftest import FakePsutil, link, module_entries, run_python
from test_function_object import FUNCTIONS

import varnok.ostrel as ostrel


def test_namespace_and_device_type():
    proc = run_python("import varnok.ostrel as m; print(*[n for n in vars(m) if n[:2] != '__' or n == '__test__'])")
    assert proc.stdout.split() == ["psutil", "pyudev", "Enum", "Union", "logger", "DeviceType", *FUNCTIONS, "__test__"]
    assert ostrel.__test__ == {} and ostrel.__doc__ is None and ostrel.__builtins__ is builtins
    DeviceType = ostrel.DeviceType
    assert [(m.name, m.value) for m in DeviceType] == [("MAC", 1), ("DISK", 2), ("CUDA", 3)]
    assert DeviceType(1) is DeviceType.MAC and DeviceType.MAC != 1 and DeviceType["CUDA"] is DeviceType.CUDA
    assert (DeviceType.__module__, DeviceType.__qualname__) == ("varnok.ostrel", "DeviceType")
    assert DeviceType.__bases__ == (ostrel.Enum,) and type(DeviceType).__name__ == "EnumType"


EXACTLY = "get_machine_code() takes exactly 1 positional argument ({} given)"
EXACTLY_CALLS = [((), {}), ((1, 2), {}), ((1, 2), {"device_type": 3}), ((), {"kind": 1})]  # arguments, keywords
UNEXPECTED = "get_machine_code() got an unexpected keyword argument 'kind'"
ARGUMENT_ERRORS = {  # call, in the module's namespace: its TypeError
    "get_gpu_uuid(1)": "get_gpu_uuid() takes no arguments (1 given)",
    "get_mac_address(1, 2)": "get_mac_address() takes no arguments (2 given)",
    "get_gpu_uuid(1, x=2)": "get_gpu_uuid() takes no keyword arguments",
    "get_machine_string(x=1)": "get_machine_string() takes no keyword arguments",
    **{f"get_machine_code(*{a!r}, **{k!r})": EXACTLY.format(len(a)) for a, k in EXACTLY_CALLS},
    "get_machine_code(1, device_type=1)": "get_machine_code() got multiple values for keyword argument 'device_type'",
    "get_machine_code(1, kind=1, device_type=1)": UNEXPECTED,
    "get_machine_code(**{'device_type': 1, 'kind': 1})": UNEXPECTED,
    "get_machine_code(**{'kind': 1, 'device_type': 1})": UNEXPECTED,
}


@pytest.mark.parametrize(("call", "message"), ARGUMENT_ERRORS.items())
def test_argument_errors_do_no_work(bind, capsys, call, message):
    fake = FakePsutil({"eth0": [link("aa")]})
    bind(psutil=fake)
    with pytest.raises(TypeError) as info:
        eval(call, vars(ostrel))
    assert str(info.value) == message
    assert fake.calls == 0 and capsys.readouterr().out == ""
    assert module_entries(info.value) == [("varnok.ostrel.get_machine_code", 52)] * ("get_machine_code" in message)


EMBEDDING_HOST = r"""
#include <Python.h>
int main(void) {
    for (int round = 0; round < 2; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString("import varnok.ostrel as m; print(m.DeviceType.MAC, m.get_machine_code.__name__, "
                               "type(m.psutil).__name__, m.get_machine_code(1) == '')") != 0) return 1;
        if (Py_FinalizeEx() < 0) return 2;
    }
    return 0;
}
"""


def test_interpreter_initialised_again_loads_the_module_afresh(tmp_path):
    # An embedding host may finalise the interpreter and initialise another in the same process: it loads afresh.
    libdir, version = sysconfig.get_config_var("LIBDIR"), sysconfig.get_config_var("LDVERSION")
    if not shutil.which("cc") or not list(Path(libdir).glob(f"libpython{version}*.so*")):
        pytest.skip("needs a C compiler and a shared libpython")
    (tmp_path / "host.c").write_text(EMBEDDING_HOST)
    flags = [f"-I{sysconfig.get_paths()['include']}", f"-L{libdir}", f"-Wl,-rpath,{libdir}", f"-lpython{version}"]
    subprocess.run(["cc", "host.c", "-o", "host", *flags], cwd=tmp_path, check=True, capture_output=True)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(site.getsitepackages()))
    proc = subprocess.run([tmp_path / "host"], capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["DeviceType.MAC get_machine_code module True"] * 2


def test_library_needs_only_libc_and_exports_two_symbols():
    if not shutil.which("readelf"):
        pytest.skip("readelf (binutils) is not installed")
    if os.environ.get("OSTREL_SANITIZED"):
        pytest.skip("the sanitizer build links the sanitizer runtimes")
    readelf = ["readelf", "-d", "-W", "--dyn-syms", ostrel.__file__]
    dynamic = subprocess.run(readelf, capture_output=True, text=True, check=True).stdout
    assert set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)) <= {"libc.so.6", "libpthread.so.0"}
    defined = re.findall(r"\s(\d+) (FUNC|OBJECT)\s+GLOBAL DEFAULT\s+\d+ (\S+)", dynamic)
    exported = {name: (kind, size if kind == "OBJECT" else "any size") for size, kind, name in defined}
    assert exported == {"PyInit_ostrel": ("FUNC", "any size"), "__pyx_module_is_main_varnok__ostrel": ("OBJECT", "4")}
