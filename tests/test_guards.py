"""Remembered lookups against the same logic in plain Python.

Each case warms every lookup site, makes one kind of change that Python
allows to something a remembered answer depends on, and compares the calls
that follow with bench/baseline.py. Every case runs in its own interpreter,
so a crash fails that case alone.
"""

import builtins
import enum
import sys
import types
from collections import namedtuple

import pytest
from differential import Differential, Record, fake_psutil, fake_pyudev, quiet_gpu_tool, run_child, shared

MAC = "02:00:00:00:00:0a"


def record_with_descriptor(module, descriptor_class, instance_family=None):
    """psutil stands in as a namespace whose one record reads `family` through a descriptor."""

    class Rec:
        family = descriptor_class()
        address = MAC

        def __init__(self):
            if instance_family is not None:
                self.__dict__["family"] = instance_family

    module.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=lambda: {"eth0": [Rec()]})


def data_descriptor(value):
    class Descriptor:
        def __get__(self, obj, owner=None):
            return value

        def __set__(self, obj, new):
            raise AttributeError("read-only")

    return Descriptor


# ---- record fields ---------------------------------------------------------------


def case_descriptor_loses_get():
    def prepare(m):
        Descriptor = data_descriptor(17)
        record_with_descriptor(m, lambda: Descriptor())
        return Descriptor

    return prepare, lambda m, Descriptor: delattr(Descriptor, "__get__")


def case_descriptor_loses_set():
    # No longer a data descriptor: the instance's own value wins.
    def prepare(m):
        Descriptor = data_descriptor(2)
        record_with_descriptor(m, lambda: Descriptor(), instance_family=17)
        return Descriptor

    return prepare, lambda m, Descriptor: delattr(Descriptor, "__set__")


def case_descriptor_class_reassigned():
    class Plain:
        pass

    def prepare(m):
        Descriptor = data_descriptor(17)
        descriptor = Descriptor()
        record_with_descriptor(m, lambda: descriptor)
        return descriptor

    return prepare, lambda m, descriptor: setattr(descriptor, "__class__", Plain)


def case_named_tuple_field_replaced():
    def prepare(m):
        R = type("snicaddr", (Record,), {"__slots__": ()})
        m.psutil = fake_psutil(table={"eth0": [R(2, "10.0.0.1", None, None, None), R(17, MAC, None, None, None)]})
        return R

    return prepare, lambda m, R: setattr(R, "family", property(lambda self: 2))


def case_record_class_reassigned():
    # The same tuples read through a class whose fields come in another order.
    Swapped = namedtuple("swapped", "address family netmask broadcast ptp")

    def prepare(m):
        records = [Record(17, "10.0.0.1", None, None, None), Record(2, MAC, None, None, None)]
        m.psutil = fake_psutil(table={"eth0": records})
        return records

    def change(m, records):
        for record in records:
            record.__class__ = Swapped

    return prepare, change


# ---- module attributes -----------------------------------------------------------


def module_class_reassigned(subclass):
    """A fake psutil module whose __class__ becomes `subclass` after the warm calls."""

    def prepare(m):
        m.psutil = fake_psutil()
        return m.psutil

    return prepare, lambda m, module: setattr(module, "__class__", subclass)


def case_module_class_with_property():
    class WithProperty(types.ModuleType):
        @property
        def AF_LINK(self):
            return 2

    return module_class_reassigned(WithProperty)


def case_module_class_with_getattribute():
    class Redirected(types.ModuleType):
        def __getattribute__(self, name):
            if name == "net_if_addrs":
                return lambda: {"eno1": [Record(17, "02:00:00:00:00:e1", None, None, None)]}
            return super().__getattribute__(name)

    return module_class_reassigned(Redirected)


def case_real_psutil_class_with_property():
    import socket

    import psutil

    class WithProperty(types.ModuleType):
        @property
        def AF_LINK(self):
            return socket.AF_INET

    def prepare(m):
        assert m.psutil is psutil

    return prepare, shared(lambda: setattr(psutil, "__class__", WithProperty))


def case_dead_module_address_reused():
    # psutil is reached through the builtins; the module dies while its
    # namespace lives on, and a new module takes its address.
    kept = {}

    def prepare(m):
        del m.psutil

    def setup():
        builtins.psutil = fake_psutil("first")

    def replace():
        kept["namespace"] = builtins.psutil.__dict__
        address = id(builtins.psutil)
        del builtins.psutil
        spare = []
        for _ in range(10_000):
            module = fake_psutil("second", af_link=2)
            if id(module) == address:
                break
            spare.append(module)
        else:
            sys.exit("skip: no new module took the old address")
        builtins.psutil = module

    return prepare, shared(setup), shared(replace)


def case_str_subclass_key_in_namespace():
    # A key that answers every other comparison: each lookup compares anew.
    def prepare(m):
        m.psutil = fake_psutil()

    def change(m, _):
        class Key(str):
            calls = 0

            def __eq__(self, other):
                Key.calls += 1
                return str.__eq__(self, other) and Key.calls % 2 == 1

            __hash__ = str.__hash__

        table = {"eno2": [Record(17, "02:00:00:00:00:e2", None, None, None)]}
        del m.psutil
        vars(m)[Key("psutil")] = fake_psutil(table=table)
        builtins.psutil = fake_psutil()

    return prepare, change


def case_pyudev_module_class_reassigned():
    class Other(types.ModuleType):
        @property
        def Context(self):
            return fake_pyudev(None, "SN-OTHER").Context

    def prepare(m):
        m.pyudev = fake_pyudev(None, "SN-1")
        return m.pyudev

    return prepare, lambda m, module: setattr(module, "__class__", Other)


# ---- class attributes ------------------------------------------------------------


class Family(int):
    pass


class LinkFamily:
    def __eq__(self, other):
        return other == 17

    __hash__ = object.__hash__


def psutil_class(af_link):
    class Psutil:
        AF_LINK = af_link
        net_if_addrs = staticmethod(fake_psutil().net_if_addrs)

    return Psutil


def case_class_attribute_value_type_gains_get():
    def prepare(m):
        FamilyType = type("FamilyType", (Family,), {})
        m.psutil = psutil_class(FamilyType(17))
        return FamilyType

    return prepare, lambda m, FamilyType: setattr(FamilyType, "__get__", lambda self, obj, owner=None: 2)


def case_class_attribute_value_class_reassigned():
    class WithGet(LinkFamily):
        def __get__(self, obj, owner=None):
            return 2

    def prepare(m):
        m.psutil = psutil_class(LinkFamily())
        return m.psutil

    return prepare, lambda m, cls: setattr(vars(cls)["AF_LINK"], "__class__", WithGet)


def case_member_type_gains_get():
    def prepare(m):
        return m.DeviceType

    return prepare, lambda m, DeviceType: setattr(DeviceType, "__get__", lambda self, obj, owner=None: owner["CUDA"])


def case_member_class_reassigned():
    class EqualToAll:
        def __eq__(self, other):
            return True

        __hash__ = object.__hash__

    def prepare(m):
        return m.DeviceType

    return prepare, lambda m, DeviceType: setattr(DeviceType["MAC"], "__class__", EqualToAll)


def case_metaclass_reassigned():
    class Meta(enum.EnumType):
        MAC = property(lambda cls: cls["DISK"])

    def prepare(m):
        return m.DeviceType

    return prepare, lambda m, DeviceType: setattr(DeviceType, "__class__", Meta)


def case_metaclass_gains_descriptor():
    def prepare(m):
        return m.DeviceType

    def add():
        enum.EnumType.DISK = property(lambda cls: cls["MAC"])

    return prepare, shared(add)


# ---- ordinary rebinding ----------------------------------------------------------


def case_rebound_names():
    def prepare(m):
        m.psutil = fake_psutil()
        m.pyudev = fake_pyudev("SN-1")
        return {}

    def other_psutil(m, _):
        m.psutil = fake_psutil(table={"eth0": [Record(17, "02:00:00:00:00:e0", None, None, None)]})

    def af_link_changed(m, _):
        m.psutil.AF_LINK = 2

    def psutil_deleted(m, _):
        del m.psutil

    @shared
    def psutil_from_builtins():
        builtins.psutil = fake_psutil()

    def sources_rebound(m, _):
        m.get_mac_address = lambda: 5
        m.get_gpu_uuid = lambda: None
        m.get_disk_serial_number = m.get_gpu_uuid

    def device_type_deleted(m, _):
        del m.DeviceType

    return (
        prepare,
        other_psutil,
        af_link_changed,
        psutil_deleted,
        psutil_from_builtins,
        sources_rebound,
        device_type_deleted,
    )


CASES = {name[len("case_") :]: case for name, case in globals().items() if name.startswith("case_")}


def run(name):
    quiet_gpu_tool()
    prepare, *steps = CASES[name]()
    Differential().run(prepare, *steps)


@pytest.mark.parametrize("name", sorted(CASES))
def test_change_after_warm_calls_matches_plain_python(name):
    proc = run_child(f"import test_guards; test_guards.run({name!r})")
    if proc.stderr.startswith("skip: "):
        pytest.skip(proc.stderr.strip())
    assert proc.returncode == 0, proc.stderr[-3000:]
