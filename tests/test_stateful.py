"""Random interleavings of calls and changes, compared with plain Python.

A hypothesis state machine drives varnok.ostrel and bench/baseline.py side by
side: each module has its own fakes, built alike, and every rule changes both
alike (what it rebinds, which class a value has, which slots a descriptor or
member type has), so the two must answer every call the same. It runs in a
child interpreter, so that a crash fails the test instead of the run.
"""

import builtins
import types

from differential import Differential, Record, fake_psutil, fake_pyudev, native, observe, quiet_gpu_tool, run_child
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, rule, run_state_machine_as_test


class Plain:
    pass


class EqualToAll:
    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


class World:
    """One module's fakes."""

    def __init__(self, module):
        self.module = module

        class Descriptor:
            def __get__(self, obj, owner=None):
                return 17

            def __set__(self, obj, value):
                raise AttributeError("read-only")

        class FieldRecord:
            family = Descriptor()
            address = "02:00:00:00:00:0d"

            def __init__(self):
                self.__dict__["family"] = 2

        class Value(int):
            pass

        class WithProperty(types.ModuleType):
            @property
            def AF_LINK(self):
                return 2

        self.Descriptor, self.Value, self.WithProperty = Descriptor, Value, WithProperty
        self.descriptor_methods = dict(vars(Descriptor))
        self.descriptor = vars(FieldRecord)["family"]
        table = {
            "lo": [Record(17, "00:00:00:00:00:00", None, None, None)],
            "eth0": [Record(2, "10.0.0.1", "255.0.0.0", None, None), FieldRecord()],
            "enp3s0": [
                Record(2, "10.0.0.3", "255.0.0.0", None, None),
                Record(17, "02:00:00:00:00:03", None, None, None),
            ],
        }
        self.fake_module = fake_psutil(table=table)
        self.fake_class = type("Psutil", (), {"AF_LINK": Value(17), "net_if_addrs": staticmethod(lambda: table)})
        self.originals = {name: getattr(module, name) for name in ("get_mac_address", "get_gpu_uuid", "DeviceType")}
        self.originals["get_disk_serial_number"] = module.get_disk_serial_number


SOURCES = {
    "text": lambda: "X|Y",
    "None": lambda: None,
    "int": lambda: 5,
    "raises": lambda: (_ for _ in ()).throw(ValueError("boom")),
}


class Machine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.differential = Differential.shared_instance()
        self.differential.restore()
        self.worlds = {m: World(m) for m in self.differential.modules}

    def each(self, change):
        for module, world in self.worlds.items():
            change(module, world)

    @rule(label=st.sampled_from(sorted(Differential.labels())))
    def call(self, label):
        call = self.differential.calls()[label]
        expected = observe(self.differential.baseline, call)
        assert observe(native, call) == expected, label

    @rule()
    def call_all(self):
        self.differential.compare("after random changes")

    @rule(kind=st.sampled_from(["module", "class", "namespace", "real", "deleted", "builtins"]))
    def bind_psutil(self, kind):
        builtins.__dict__.pop("psutil", None)

        def bind(m, world):
            m.__dict__.pop("psutil", None)
            if kind == "module":
                m.psutil = world.fake_module
            elif kind == "class":
                m.psutil = world.fake_class
            elif kind == "namespace":
                m.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=world.fake_module.net_if_addrs)
            elif kind == "real":
                m.psutil = self.differential.saved[m]["psutil"]
            elif kind == "builtins":
                builtins.psutil = fake_psutil()

        self.each(bind)

    @rule(value=st.sampled_from([17, 2, "Value(17)", "Value(2)"]))
    def set_af_link(self, value):
        def set_value(m, world):
            number = value if isinstance(value, int) else world.Value(int(value[6:-1]))
            vars(world.fake_module)["AF_LINK"] = number
            world.fake_class.AF_LINK = number

        self.each(set_value)

    @rule(subclass=st.booleans())
    def module_class(self, subclass):
        self.each(lambda m, w: setattr(w.fake_module, "__class__", w.WithProperty if subclass else types.ModuleType))

    @rule(name=st.sampled_from(["__get__", "__set__"]))
    def toggle_descriptor_slot(self, name):
        def toggle(m, world):
            if name in vars(world.Descriptor):
                delattr(world.Descriptor, name)
            else:
                setattr(world.Descriptor, name, world.descriptor_methods[name])

        self.each(toggle)

    @rule(plain=st.booleans())
    def descriptor_class(self, plain):
        self.each(lambda m, w: setattr(w.descriptor, "__class__", Plain if plain else w.Descriptor))

    @rule(on=st.booleans())
    def value_type_get(self, on):
        def toggle(m, world):
            if on:
                world.Value.__get__ = lambda self, obj, owner=None: 2
            else:
                vars(world.Value).get("__get__") and delattr(world.Value, "__get__")

        self.each(toggle)

    @rule(on=st.booleans())
    def member_type_get(self, on):
        def toggle(m, world):
            device_type = world.originals["DeviceType"]
            if on:
                device_type.__get__ = lambda self, obj, owner=None: owner["CUDA"]
            elif "__get__" in vars(device_type):
                del device_type.__get__

        self.each(toggle)

    @rule(equal_to_all=st.booleans())
    def member_class(self, equal_to_all):
        def swap(m, world):
            device_type = world.originals["DeviceType"]
            device_type["DISK"].__class__ = EqualToAll if equal_to_all else device_type

        self.each(swap)

    @rule(present=st.booleans())
    def device_type_binding(self, present):
        def bind(m, world):
            if present:
                m.DeviceType = world.originals["DeviceType"]
            else:
                m.__dict__.pop("DeviceType", None)

        self.each(bind)

    @rule(
        name=st.sampled_from(["get_mac_address", "get_gpu_uuid", "get_disk_serial_number"]),
        kind=st.sampled_from(["original", *SOURCES]),
    )
    def bind_source(self, name, kind):
        def bind(m, world):
            if kind == "original":
                setattr(m, name, world.originals[name])
            else:
                setattr(m, name, SOURCES[kind])

        self.each(bind)

    @rule(serials=st.lists(st.sampled_from([None, "", "SN-1", " SN 2 "]), max_size=3))
    def bind_pyudev(self, serials):
        self.each(lambda m, w: setattr(m, "pyudev", fake_pyudev(*serials)))

    def teardown(self):
        self.differential.restore()


def run(examples):
    quiet_gpu_tool()
    run_state_machine_as_test(
        Machine,
        settings=settings(max_examples=examples, stateful_step_count=30, deadline=None, database=None),
    )
    print("ok")


def test_random_changes_match_plain_python():
    proc = run_child("import test_stateful; test_stateful.run(150)", timeout=600)
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert proc.stdout.strip() == "ok"
