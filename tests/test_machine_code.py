import contextlib
import io
import threading

import pytest
from conftest import FakeDevice, FakePsutil, FakePyudev, link, raising, run_python
from hypothesis import given
from hypothesis import strategies as st

import varnok.ostrel as ostrel

PREFIX = "Error while getting machine code: "
SOURCES = {"MAC": "get_mac_address", "DISK": "get_disk_serial_number", "CUDA": "get_gpu_uuid"}


@pytest.fixture
def sources(bind):
    """Binds recording fake sources; returns the list of calls."""
    calls = []

    def source(name, value):
        def fn():
            calls.append(name)
            return value() if callable(value) else value

        return fn

    def install(**values):
        bind(**{name: source(name, values.get(name, name.upper())) for name in SOURCES.values()})
        return calls

    return install


@pytest.mark.parametrize("member", ["MAC", "DISK", "CUDA"])
def test_member_selects_its_source(sources, member):
    calls = sources()
    assert ostrel.get_machine_code(getattr(ostrel.DeviceType, member)) == SOURCES[member].upper()
    assert ostrel.get_machine_code(device_type=getattr(ostrel.DeviceType, member)) == SOURCES[member].upper()
    assert calls == [SOURCES[member]] * 2


class Always:
    def __eq__(self, other):
        return True


class Raising:
    def __eq__(self, other):
        raise ValueError("bad")


class Truthless:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class OddEq:
    def __eq__(self, other):
        return Truthless()


class Text(str):
    pass


@pytest.mark.parametrize(
    "argument, values, result, calls, line",
    [
        (1, {}, "", [], ""),
        ("MAC", {}, "", [], ""),
        (None, {}, "", [], ""),
        (Always(), {}, "GET_MAC_ADDRESS", ["get_mac_address"], ""),
        (Raising(), {}, "", [], "bad"),
        (OddEq(), {}, "", [], "no truth"),
        ("MAC", {"get_mac_address": 5}, "", [], ""),
        ("mac", {"get_mac_address": 5}, "", [], ""),
        (Always(), {"get_mac_address": 5}, "", ["get_mac_address"], "Expected unicode, got int"),
        (Always(), {"get_mac_address": Text("x")}, "", ["get_mac_address"], "Expected unicode, got Text"),
        (Always(), {"get_mac_address": raising(OSError("escaped"))}, "", ["get_mac_address"], "escaped"),
    ],
)
def test_argument_and_result_checks(sources, capsys, argument, values, result, calls, line):
    recorded = sources(**values)
    assert ostrel.get_machine_code(argument) == result
    assert recorded == calls
    assert capsys.readouterr().out == (PREFIX + line + "\n" if line else "")


def test_machine_string(sources, capsys, bind):
    calls = sources(
        get_disk_serial_number="SN-XYZ987",
        get_mac_address="02:00:5e:aa:bb:cc",
        get_gpu_uuid="GPU-aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee",
    )
    assert ostrel.get_machine_string() == "SN-XYZ987|02:00:5e:aa:bb:cc|GPU-aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee"
    assert calls == ["get_disk_serial_number", "get_mac_address", "get_gpu_uuid"]
    sources(get_disk_serial_number="a|b", get_mac_address="", get_gpu_uuid=None)
    assert ostrel.get_machine_string() == "a|b||None"
    assert ostrel.get_machine_code(ostrel.DeviceType.CUDA) is None
    sources(get_disk_serial_number="é", get_mac_address="€", get_gpu_uuid="\U0001d11e")
    assert ostrel.get_machine_string() == "é|€|\U0001d11e"
    sources(get_disk_serial_number="", get_mac_address="", get_gpu_uuid="")
    assert ostrel.get_machine_string() == "||"
    bind(get_machine_code=lambda member: member.value)
    assert ostrel.get_machine_string() == "2|1|3"
    assert capsys.readouterr().out == ""


def test_missing_names_and_interrupts(sources, monkeypatch, capsys):
    sources(get_mac_address=raising(KeyboardInterrupt()))
    for call in (lambda: ostrel.get_machine_code(ostrel.DeviceType.MAC), ostrel.get_machine_string):
        with pytest.raises(KeyboardInterrupt):
            call()
    assert capsys.readouterr().out == ""
    monkeypatch.delattr(ostrel, "DeviceType")
    assert ostrel.get_machine_code(1) == ""
    assert capsys.readouterr().out == PREFIX + "name 'DeviceType' is not defined\n"
    with pytest.raises(NameError, match="name 'DeviceType' is not defined"):
        ostrel.get_machine_string()


def test_real_sources_without_gpu_tool(bind, tmp_path, monkeypatch, capsys):
    bind(
        psutil=FakePsutil({"lo": [link("00:00:00:00:00:00")], "enp3s0": [link("02:00:5e:aa:bb:cc")]}),
        pyudev=FakePyudev([FakeDevice({}), FakeDevice({"ID_SERIAL": "SN-XYZ987"})]),
    )
    monkeypatch.setenv("PATH", str(tmp_path))
    assert ostrel.get_machine_string() == "SN-XYZ987|02:00:5e:aa:bb:cc|"
    assert capsys.readouterr().out == ("Error getting GPU UUID: [Errno 2] No such file or directory: 'nvidia-smi'\n")


def test_threads_get_the_same_string(sources):
    sources(get_disk_serial_number="disk", get_mac_address="mac", get_gpu_uuid="gpu")
    results = []

    def worker():
        results.extend(ostrel.get_machine_string() for _ in range(300))

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == ["disk|mac|gpu"] * 2400


def test_call_cycle_ends_in_recursion_error_not_a_crash():
    proc = run_python(
        "import varnok.ostrel as m\n"
        "m.get_disk_serial_number = m.get_machine_string\n"
        "m.get_mac_address = m.get_gpu_uuid = lambda: 'x'\n"
        "print(repr(m.get_machine_string()[-8:]))\n"
    )
    assert proc.stdout.splitlines()[-1] == "'|x|x|x|x'"
    assert "Error while getting machine code: maximum recursion depth exceeded" in proc.stdout


class Answer:
    """An argument whose == answers with an arbitrary value, or raises."""

    def __init__(self, answers):
        self.answers = list(answers)

    def __eq__(self, other):
        answer = self.answers.pop(0) if self.answers else False
        if isinstance(answer, Exception):
            raise answer
        return answer


answers = st.lists(
    st.one_of(st.booleans(), st.integers(), st.text(max_size=2), st.none(), st.builds(ValueError, st.text(max_size=5))),
    max_size=4,
)


@given(answers, st.one_of(st.text(), st.none(), st.integers(), st.binary()))
def test_any_argument_and_source_value(answer_list, value):
    originals = {name: getattr(ostrel, name) for name in SOURCES.values()}
    for name in SOURCES.values():
        setattr(ostrel, name, lambda: value)
    expected, line = "", ""
    for answer in answer_list[:3]:
        if isinstance(answer, Exception):
            line = f"{PREFIX}{answer}\n"
            break
        if answer:
            if type(value) is str or value is None:
                expected = value
            else:
                line = f"{PREFIX}Expected unicode, got {type(value).__name__}\n"
            break
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            assert ostrel.get_machine_code(Answer(answer_list)) == expected
    finally:
        for name, fn in originals.items():
            setattr(ostrel, name, fn)
    assert out.getvalue() == line
