"""The child side of the differential check (test_twin.py): `python twin_world.py native|twin` reads a batch of
programs (JSON) on stdin, loads varnok.ostrel or its twin (bench/twin.py), and runs each: builds its world (stand-ins
for psutil, pyudev, subprocess and DeviceType, and the interpreter around them), warms every lookup site, runs the
steps (triggers make the n-th event of a site raise or change the world mid-call). One JSON line per program logs
all it can observe, in order: printed lines, stderr, warnings, every event of the stand-ins (reads, calls,
comparisons, hashes, iteration steps, finalisers, weakref callbacks, unraisable errors, signal handlers), monitoring
events of the module's code, the exception handled at each error line, each call's result or escaping exception
(type, text, attributes, traceback entries with their locals, chains) and sys.exception() afterwards."""

import _thread
import builtins
import collections
import contextlib
import ctypes
import enum
import functools
import gc
import io
import json
import operator
import os
import re
import signal
import sys
import threading
import traceback
import types
import warnings
import weakref
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
import twin

MODULE_FILE = twin.FILE_NAME
FUNCTIONS = ("get_mac_address", "get_disk_serial_number", "get_machine_code", "get_gpu_uuid", "get_machine_string")
NAMES = ("psutil", "pyudev", "DeviceType", *FUNCTIONS)
SITES = (
    "net_if_addrs", "psutil.getattr", "items", "table.next", "key.eq", "key.contains", "key.hash", "addrs.iter",
    "addrs.next", "family", "address", "value.eq", "bool", "Context", "pyudev.getattr", "list_devices",
    "devices.next", "properties", "props.contains", "props.getitem", "spec", "subprocess.getattr", "check_output",
    "decode", "strip", "member", "arg.eq", "source", "write", "del", "weakref", "import", "format", "signal",
    "devices.iter", "table.iter",
)  # fmt: skip


Failure = type("Failure", (Exception,), {})


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text")


Interrupt = type("Interrupt", (BaseException,), {})


ERRORS = {
    "ValueError": lambda: ValueError("boom"),
    "OSError": lambda: OSError(5, "Input/output error"),
    "LookupError": lambda: LookupError("no such key", 2),
    "Failure": lambda: Failure(""),
    "Unprintable": Unprintable,
    "StopIteration": lambda: StopIteration("stop"),
    "KeyboardInterrupt": KeyboardInterrupt,
    "SystemExit": lambda: SystemExit(3),
    "GeneratorExit": GeneratorExit,
    "Interrupt": lambda: Interrupt("custom"),
}

# ---- the log -------------------------------------------------------------------


class OutOfBudget(BaseException):
    """A program that runs away (a call cycle whose every level calls itself
    twice, say) ends here, at the same event in both children."""


class Output(io.StringIO):
    """Standard output: what is written, and the exception being handled (with
    its traceback entries and their locals) as each error line is written."""

    def write(self, text):
        RUN.spend(len(text) // 80 + 1)
        if text.strip() and sys.exception() is not None and self is OUT:
            note("handling " + json.dumps(describe_exception(sys.exception())))
        return super().write(text)


LOG = []
OUT, ERR = Output(), Output()
BUILTIN_OUT = io.StringIO()  # a stream whose write runs no Python code, for calls at the recursion limit
STREAMS = {"out": OUT, "out ": BUILTIN_OUT, "err": ERR}


def note(text):
    for kind, stream in STREAMS.items():
        printed = stream.getvalue()
        if printed:
            LOG.append(f"{kind.strip()} {printed}")
            stream.seek(0)
            stream.truncate()
    LOG.append(text)


def warned(message, category, filename, lineno, *_):
    """Warnings are compared by category, text and the line they are attributed to."""
    note(f"warning {category.__name__} {message} at {Path(filename).name}:{lineno}")


def text_of(exc):
    try:
        return str(exc)
    except Exception as failure:
        return f"<no text: {type(failure).__name__}>"


def named(code):
    """A code object's name as the twin's: the module's frames are named as its traceback entries."""
    return "<module>" if code.co_name == "init varnok.ostrel" else code.co_name.removeprefix("varnok.ostrel.")


def seen_at(frame, line):
    """A frame as a traceback entry, or a stand-in reading the stack, shows it: the module's with its locals."""
    code, name = frame.f_code, named(frame.f_code)
    if code.co_filename != MODULE_FILE:
        return f"{code.co_name}@{Path(code.co_filename).name}:{line}"
    last = max(n for *_, n in code.co_lines() if n)  # the code's lines end where the function's (or body's) do
    names = "globals" if frame.f_locals is frame.f_globals else sorted(frame.f_locals)  # a body: its globals
    return f"{name}@ostrel:{line}..{last} {names}"


def entries(tb):
    return [seen_at(frame, line) for frame, line in traceback.walk_tb(tb) if frame.f_code.co_filename != twin.HELPERS]


def stack():
    """The module's (or twin's) frames on the stack as a stand-in sees them: the innermost three, and how many."""
    found = [f for f, _ in traceback.walk_stack(sys._getframe(2)) if f.f_code.co_filename == MODULE_FILE]
    return [*(seen_at(f, f.f_lineno) for f in found[:3]), len(found)]


def describe_exception(exc, depth=0):
    if exc is None or depth > 6:
        return None if exc is None else "..."
    return {
        "type": type(exc).__qualname__,
        "text": text_of(exc),
        "args": [describe(arg) for arg in exc.args],
        "attributes": [describe(getattr(exc, name, None)) for name in ("name", "obj")],
        "notes": [describe(note) for note in getattr(exc, "__notes__", ())],
        "traceback": entries(exc.__traceback__),
        "cause": describe_exception(exc.__cause__, depth + 1),
        "context": describe_exception(exc.__context__, depth + 1),
        "suppress": exc.__suppress_context__,
    }


def describe(value):
    if isinstance(value, str):
        return f"{type(value).__name__} {str.__repr__(value)}"
    if value is None or type(value) in (int, bytes, bool):
        return repr(value)
    return type(value).__qualname__


def handled():
    exc = sys.exception()
    return "none" if exc is None else f"{type(exc).__name__}({text_of(exc)})"


# ---- events and triggers ---------------------------------------------------------


class Program:
    """What the running program counts and what its triggers do."""

    def __init__(self, triggers, monitored=False):
        self.triggers, self.monitored, self.counts = [list(t) for t in triggers], monitored, collections.Counter()
        self.armed = self.limited = self.pending_armed = False
        self.world, self.budget = None, 30_000

    def spend(self, cost):
        self.budget -= cost
        if self.limited and self.budget < 0:
            raise OutOfBudget


RUN = Program([])


def event(site, label=""):
    note(f"{site} {label}".rstrip() + f" in {stack()}")
    RUN.spend(1)
    RUN.counts[site] += 1
    if not RUN.armed:
        return
    for trigger in RUN.triggers:
        site_, count, action = trigger
        if site_ == site and count == RUN.counts[site]:
            trigger[1] = -1  # fires once
            note(f"trigger {site} {count} {action}")
            if action[0] == "raise":  # a pair's __iter__ raising StopIteration would end the twin's C-iterated walk
                raise ERRORS["ValueError" if (site, action[1]) == ("pair.iter", "StopIteration") else action[1]]()
            if action[0] == "warn":
                warnings.warn(f"at {site}", UserWarning, stacklevel=3)  # the stand-in's caller's line
                return
            RUN.world.change(action[1:])


# C code that a weak reference calls as its referent goes: what it makes pending (SIGINT, or an exception for the
# main thread) outlives the callback, to be handled where the code that let the referent go next looks.
PENDING = {
    "interrupt": ctypes.PYFUNCTYPE(None, ctypes.py_object)(("PyErr_SetInterrupt", ctypes.pythonapi)),
    "async": functools.partial(
        ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_ulong, ctypes.py_object, ctypes.py_object)(
            ("PyThreadState_SetAsyncExc", ctypes.pythonapi)
        ),
        threading.get_ident(),
        KeyboardInterrupt,
    ),
}


def finalised(obj, label, how, world):
    """Makes `obj` log its end (through the class's __del__, see Finalised, or a
    weak reference callback), or make a signal or an exception pending."""
    if how == "weakref":
        world.weakrefs.append(weakref.ref(obj, lambda _: event("weakref", label)))
    elif how in PENDING and not RUN.monitored:  # a monitoring tool's own code would handle it
        world.pending.append((weakref.ref(obj, PENDING[how] if RUN.pending_armed else None), how))


class Finalised:
    __slots__ = ()

    def __del__(self):
        final = getattr(self, "final", None)
        if final in ("del", "room"):
            event("del", self.label if final == "del" else f"{self.label}, room for {headroom()}")


class NonBool(Finalised):
    """What a comparison returns when it does not return a bool."""

    def __init__(self, value, label):
        self.value, self.label, self.final = value, label, "del"

    def __bool__(self):
        event("bool", self.label)
        return self.value


class EqualTo(Finalised):
    """A value equal to `value` through its own __eq__ (to every value when
    `value` is ..., to none when it is MISSING)."""

    def __init__(self, value, label, nonbool=False, site="value.eq"):
        self.value, self.label, self.nonbool, self.site = value, label, nonbool, site

    def __eq__(self, other):
        event(self.site, self.label)
        other = other.value if isinstance(other, EqualTo) else other
        answer = self.value is ... or (self.value is not MISSING and other == self.value)
        return NonBool(answer, self.label + "-answer") if self.nonbool else answer

    __hash__ = object.__hash__


def make_key_class(behaviour, hashed=True):
    """A str subclass that logs what is asked of it, used as a name and as a key (and, not `hashed`, as a keyword name:
    how a call passes those on is no concern of the module)."""

    class Key(str):
        answers = 0

        def __eq__(self, other):
            if not hashed and isinstance(other, Key):  # keyword names meeting in a call's own dict
                return str.__eq__(self, other)
            event("key.eq", str(self))
            Key.answers += 1
            equal = str.__eq__(self, other)
            if behaviour == "alternate":
                return equal is True and Key.answers % 2 == 1
            return NonBool(equal is True, "key-answer") if behaviour == "nonbool" else equal

        def __hash__(self):
            if hashed:
                event("key.hash", str(self))
            return str.__hash__(self)

        def __contains__(self, fragment):
            event("key.contains", f"{self} {fragment}")
            return str.__contains__(self, fragment)

    return Key


class Fresh(EqualTo):
    """A family read anew at every read (by the record classes that read through
    `read`): the comparison drops its operands before the truth test of its answer."""

    def __init__(self, labels):
        super().__init__(17, "fresh", nonbool=True)
        self.labels = labels

    def make(self, holder=None):
        if (final := getattr(holder, "final", None)) in PENDING:  # what the record's end makes pending, a set does:
            finalised(value := frozenset({17}), "", final, RUN.world)  # compared in C, before the walk's next turn
            return value
        value = EqualTo(17, self.labels("fresh"), nonbool=True)
        value.final = "del"
        return value


class Formats:
    """A result with its own __format__ (a stand-in bound as get_machine_code returns it)."""

    def __format__(self, spec):
        event("format", spec)
        return "F"


Family = type("Family", (int,), {})


def int_eq(value, other):
    event("value.eq", "int")
    return int.__eq__(value, other)


MISSING, NAMED = object(), object()


class Text(str):
    """A str subclass value: formatting it asks its own __format__; it says when it goes."""

    def __format__(self, spec):
        event("format", str(self))
        return str.__format__(self, spec)

    def __del__(self):
        note(f"text {str.__repr__(self)} goes")


DICT_ITEMS = dict.__dict__["items"]
BUILD_CLASS = builtins.__build_class__


def value_of(kind, labels):
    """A family, AF_LINK value or DeviceType argument."""
    if kind.lstrip("-").isdigit() or kind == "huge":  # -1: what a huge one reads as, overflowed
        return 2**70 + 17 if kind == "huge" else int(kind)
    if kind in ("eq17", "nonbool17"):
        return EqualTo(17, labels("eq"), nonbool=kind == "nonbool17")
    return {
        "fresh17": lambda: Fresh(labels),
        "family17": lambda: type("Family", (Family,), {})(17),
        # int subclasses: with an __eq__ of its own, with a str-subclass key in its class
        "int_eq17": lambda: type("Int", (int,), {"__eq__": int_eq, "__hash__": int.__hash__})(17),
        "keyed17": lambda: type("V", (int,), {make_key_class("honest")("AF_LINK"): "unused"})(17),
    }[kind]()


def text_value(kind, label):
    """An address or serial value."""
    words = {"mac": f"02:00:00:00:00:{label[-2:].rjust(2, '0')}", "zero": "00:00:00:00:00:00", "sn": f"SN-{label}"}
    words |= {"blank": f" SN {label} ", "empty": "", "none": None, "bytes": b"\x02\x00", "str_sub": Text(f"T-{label}")}
    odd = {"int": 5, "missing": MISSING, "named": NAMED, "bytesio": io.BytesIO()}
    # C types made from a type spec, whose tp_name is dotted
    return (words | odd | {"pattern": re.compile(label), "deque": collections.deque(label)})[kind]


def read(obj, name):
    event(name, obj.label)
    value = obj.values[name]
    if value is MISSING:  # with name and obj: whether plain Python adds them depends on its specialisation
        raise AttributeError(name, name=name, obj=obj)
    if value is NAMED:  # a name of its own, no obj: nobody adds to it
        raise AttributeError(name, name="named")
    return fresh(value, obj)


def fresh(value, holder=None):
    """A value read anew at every read where the holder computes its attributes."""
    return value.make(holder) if isinstance(value, Fresh) else value


def descriptor_get(self, obj, owner=None):
    return self if obj is None else read(obj, "family")


def descriptor_set(self, obj, value):
    raise AttributeError("read-only")


Plain = type("Plain", (), {})


def arm():
    """Read at the first item of a huge walk: a 1 ms timer that fires while it runs."""
    signal.setitimer(signal.ITIMER_REAL, 0.001)


class Arming:
    """The first record or device of a huge walk."""

    def __getattr__(self, name):
        arm()
        return {"family": 2, "properties": {}}[name]


class ArmingName(str):
    """The first interface name of a huge table."""

    __eq__ = lambda self, other: arm() or str.__eq__(self, other)  # noqa: E731
    __hash__ = str.__hash__


class Member(Finalised):
    __slots__ = ("__weakref__", "final", "label")


class Dropping(Finalised):
    """A source that unbinds itself while it runs: the call's own reference is its last."""

    def __init__(self, world, name):
        self.world, self.label, self.final = world, name, "del"

    def __call__(self, *args):
        event("source", self.label)
        vars(self.world.m).pop(self.label, None)
        return "D"


# ---- the world --------------------------------------------------------------------


class World:
    """The stand-ins of one program, bound in the module and in sys.modules."""

    def __init__(self, module, spec):
        self.m, self.spec, self.made = module, spec, collections.Counter()
        self.weakrefs, self.kept, self.records, self.tables, self.pending = [], [], [], [], []
        self.huge, self.supplied, self.classes = [], {}, collections.defaultdict(list)
        self.Key = make_key_class(spec.get("key", "honest"))
        self.FinalKey = type("Name", (self.Key,), {"__del__": lambda s: event("del", f"name {str.__str__(s)}")})
        self.KeyName = make_key_class(spec.get("key", "honest"), hashed=False)
        self.make_record_classes()
        self.psutil = self.make_psutil(spec["psutil"])
        self.pyudev = self.make_pyudev(spec["pyudev"])
        self.subprocess = self.make_subprocess(spec["subprocess"])
        self.device_type = self.make_device_type(spec["device_type"])
        self.values = {"psutil": self.psutil, "pyudev": self.pyudev, "DeviceType": self.device_type}
        self.values.update({name: ORIGINAL[name] for name in FUNCTIONS})
        for name in NAMES:
            vars(module)[name] = self.values[name]
        sys.modules["subprocess"] = self.subprocess
        self.settle(spec.get("sigint", "default"), spec.get("builtins", "plain"))

    def settle(self, sigint, kind):
        """The interpreter around the calls: what SIGINT does, and a builtins module that answers missing names or logs
        every attribute read (which the module, reading the builtins' namespace as the interpreter does, must not
        reach)."""

        def handler(signum, frame):
            event("signal", sigint)
            if sigint == "raises":
                raise Failure("signal")

        signal.signal(signal.SIGINT, signal.default_int_handler if sigint == "default" else handler)
        if kind == "getattr":
            builtins.__getattr__ = lambda name: (event("builtins.getattr", name), self.values.get(name, 1))[1]
        elif kind == "class":

            def logged(module, name):  # not what the warnings machinery reads where it attributes a warning
                if name not in ("__loader__", "__spec__"):
                    event("builtins.getattr", name)
                return types.ModuleType.__getattribute__(module, name)

            builtins.__class__ = type("Builtins", (types.ModuleType,), {"__getattribute__": logged})

    def labels(self, kind):
        """A name for the next object of a kind, the same in both children."""
        self.made[kind] += 1
        return f"{kind}{self.made[kind]}"

    # -- psutil

    def make_record_classes(self):
        class Base(Finalised):
            def __init__(self, family, address, label, final):
                vars(self).update(values={"family": family, "address": address}, label=label, final=final)

        fields = "family address netmask broadcast ptp"
        nt = collections.namedtuple("snicaddr", fields)
        nt_del = type("snicaddr", (nt,), {"__slots__": (), "__del__": lambda s: event("del", s.netmask)})
        self.Swapped = collections.namedtuple("swapped", "address family netmask broadcast ptp")
        self.descriptor_methods = {"__get__": descriptor_get, "__set__": descriptor_set}
        self.Descriptor = type("Descriptor", (), dict(self.descriptor_methods))
        address = property(lambda s: read(s, "address"))

        class WithAttr(Base):
            def __getattr__(self, name):
                if name in ("family", "address"):
                    return read(self, name)
                raise AttributeError(name)

        class Slots(Finalised):
            __slots__ = ("__weakref__", "address", "family", "final", "label")

        self.record_classes = {
            "nt": nt,
            "nt_del": nt_del,
            "nt_sub": type("snicaddr", (nt,), {"__slots__": ()}),
            "data": type("Rec", (Base,), {"family": self.Descriptor(), "address": address}),
            # A str-subclass key in a class namespace. It logs nothing: the interpreter's specializer looks names up in
            # a class on its own schedule, so plain Python's count of such lookups is no reference.
            "keyed": type("Rec", (Base,), {type("Name", (str,), {})("family"): self.Descriptor(), "address": address}),
            "nondata": type("Rec", (Base,), {"family": type("Get", (), {"__get__": descriptor_get})(), "address": address}),  # noqa: E501
            "property": type("Rec", (Base,), {"family": property(lambda s: read(s, "family")), "address": address}),
            "method": type("Rec", (Base,), {"family": lambda s: 2, "address": address}),  # a built-in non-data one
            "getattr": WithAttr,
            "slots": Slots,
        }  # fmt: skip
        self.descriptor = vars(self.record_classes["data"])["family"]

    def record(self, spec):
        label = self.labels("rec")
        family = value_of(spec["family"], self.labels)
        address = text_value(spec["address"], label)
        kind = spec["cls"]
        if kind.startswith("nt"):
            kind = "nt_del" if spec["final"] == "del" and kind == "nt" else kind
            record = self.record_classes[kind](family, address, label, None, None)
        elif kind == "slots":
            record = self.record_classes[kind]()
            record.family, record.address, record.label, record.final = family, address, label, spec["final"]
        else:
            record = self.record_classes[kind](family, address, label, spec["final"])
            if kind in ("data", "nondata", "keyed", "method"):
                vars(record)["family"] = 17  # wins over a class attribute that is no data descriptor
        if not kind.startswith("nt"):
            finalised(record, label, spec["final"], self)
        if kind in ("nt", "nt_sub"):  # kept for a change of their class; they have no finaliser
            self.records.append(record)
        return record

    def iterable(self, kind, items, site, label):
        simple = {"list": list, "tuple": tuple, "none": lambda _: None, "iterator": lambda items: iter(list(items))}
        if kind in simple:
            return simple[kind](items)
        if kind in ("list_sub", "tuple_sub"):  # walked by their own __iter__, not by index
            base = list if kind == "list_sub" else tuple
            walk = lambda self: (event(site.replace("next", "iter"), label), base.__iter__(self))[1]  # noqa: E731
            return type("Items", (base,), {"__iter__": walk})(items)
        if kind == "custom":

            class Iterable(Finalised):
                def __iter__(self):
                    event(site.replace("next", "iter"), label)
                    return iter(items)

            it = Iterable()
            it.label, it.final = label, "del"
            return it

        def generate():  # holds no item between steps
            while items:
                event(site, label)
                yield items.pop(0)

        items = list(items)
        return generate()

    def name(self, spec):
        if spec["key"] == "final":
            return self.FinalKey(spec["text"])
        if spec["key"]:
            return self.Key(spec["text"])
        return 5 if spec["text"] == "int" else spec["text"]

    def pair(self, kind, items):
        """An item of a table's walk that is a list or tuple subclass: walked by
        its own __iter__, and saying when it goes."""
        base, label = list if kind == "list_sub" else tuple, self.labels("pair")
        walk = lambda pair: (event("pair.iter", label), base.__iter__(pair))[1]  # noqa: E731
        return type("Pair", (base,), {"__iter__": walk, "__del__": lambda _: event("del", label)})(items)

    def table(self, spec):
        label = self.labels("table")
        entries = []
        for entry in spec["entries"]:
            if "bad" in entry:
                entries.append(bad_item(entry["bad"]))
                continue
            records = [self.record(r) for r in entry["records"]]
            addrs = self.iterable(entry["addrs"], records, "addrs.next", label)
            entries.append((self.name(entry["name"]), addrs))
            if entry.get("pair", "tuple") != "tuple" and spec["kind"] not in ("dict", "dict_sub"):
                entries[-1] = self.pair(entry["pair"], entries[-1])
        kind = spec["kind"]
        if kind == "none":
            return None
        # The huge walks arm a 1 ms timer as they start (at their first item),
        # so that it fires while they run, however loaded the machine.
        if kind == "huge_records":
            # Only the last record is a link-layer one: a walk that lets the
            # signal handler run before its end never gets there.
            self.huge = [Arming()] + [self.record_classes["nt"](2, "10.0.0.1", None, None, None)] * 5_000_000
            self.huge.append(self.record_classes["nt"](17, "02:00:00:00:00:ee", None, None, None))
            return {"eth0": self.huge}
        if kind == "huge_table":
            self.huge = {ArmingName("a"): (), **dict.fromkeys(map(str, range(2_000_000)), ())}
            return self.huge
        if kind in ("dict", "dict_sub"):
            pairs = [e for e in entries if isinstance(e, tuple) and len(e) == 2]
            # A dict subclass walks by its own items(), which the module must call.
            items = {"items": lambda table: (event("items", label), dict.items(table))[1]}
            table = dict(pairs) if kind == "dict" else type("Table", (dict,), items)(pairs)
        else:
            world = self

            class Mapping(Finalised):
                def items(self):  # a table made for one walk hands its items over: then the walk alone holds them
                    event("items", label)
                    handed, entries[:] = entries[:], entries if not spec.get("fresh") else []
                    return world.iterable(spec["items"], handed, "table.next", label)

            self.classes["items"].append(Mapping)
            table = Mapping()
            table.label, table.final = label, spec.get("final")
            finalised(table, label, spec.get("final"), self)
        if type(table) is dict:  # kept for a change of its keys; it has no finaliser
            self.tables.append(table)
        return table

    def make_psutil(self, spec):
        world, fresh = self, spec["table"].get("fresh")
        fixed = None if fresh else self.table(spec["table"])

        def net_if_addrs():
            event("net_if_addrs")
            return world.table(spec["table"]) if fresh else fixed

        attributes = {"AF_LINK": value_of(spec["af_link"], self.labels), "net_if_addrs": net_if_addrs}
        return self.holder(spec["holder"], "psutil", attributes, spec.get("getattr_error"))

    def holder(self, kind, name, attributes, getattr_error=None):
        """An object with `attributes`, of the drawn kind."""
        if kind == "real":
            import psutil

            return psutil
        if kind == "class":
            wrap = {k: staticmethod(v) if isinstance(v, types.FunctionType) else v for k, v in attributes.items()}
            return type(name.capitalize(), (), wrap)
        if kind == "namespace":
            return types.SimpleNamespace(**attributes)
        module, supplied, world = types.ModuleType(name), dict(attributes), self

        def supply(attribute, meta=False):  # a metaclass's __getattr__, or the module's own
            event(f"{name}.getattr", attribute)
            if attribute in supplied:
                value = fresh(supplied[attribute])
                if getattr_error == "store" and not meta:  # stores the answer under a str-subclass key
                    vars(module)[world.Key(attribute)] = value
                return value
            if getattr_error not in (None, "store") and not meta:
                raise ERRORS[getattr_error]()
            raise AttributeError(attribute if meta else f"module {name!r} has no attribute {attribute!r}")

        if kind in ("meta", "getattr"):
            if kind == "meta":
                module = type("Meta", (type,), {"__getattr__": lambda cls, a: supply(a, True)})(
                    name.capitalize(), (), {}
                )
            else:
                module.__getattr__ = supply
            self.supplied[id(module)] = supplied
            return module
        vars(module).update(attributes)
        if kind == "module_sub":
            module.__class__ = type("Module", (types.ModuleType,), {})
        return module

    # -- pyudev

    def make_pyudev(self, spec):
        world, fresh = self, spec.get("fresh") or spec.get("closes")
        fixed = None if fresh else self.devices(spec, types.SimpleNamespace(closed=False))

        class Context(Finalised):
            """A udev context; with `closes`, its end closes what its devices read."""

            __slots__ = ("__weakref__", "final", "label", "store")

            def __init__(self):
                event("Context")
                self.label, self.final = world.labels("context"), spec["context"]
                self.store = types.SimpleNamespace(closed=False)
                finalised(self, self.label, self.final, world)

            def list_devices(self, **kwargs):
                event("list_devices", f"{self.label} {sorted(kwargs.items())}")
                return world.devices(spec, self.store) if fresh else fixed

            def __del__(self):
                Finalised.__del__(self)
                if spec.get("closes"):
                    self.store.closed = True

        return self.holder(spec["holder"], "pyudev", {"Context": Context}, spec.get("getattr_error"))

    def devices(self, spec, store):
        if spec["kind"] == "huge":
            self.huge = [Arming()] + [types.SimpleNamespace(properties={})] * 3_000_000
            self.huge.append(types.SimpleNamespace(properties={"ID_SERIAL": "SN-last"}))
            return self.huge
        made = [self.device(d, store) for d in spec["devices"]]
        return self.iterable(spec["kind"], made, "devices.next", "devices")

    def device(self, spec, store):
        world, label = self, self.labels("device")
        serial = None if spec["serial"] is None else text_value(spec["serial"], label)

        class Properties(Finalised):
            def __contains__(self, key):
                event("props.contains", label)
                return key == "ID_SERIAL" and (spec["serial"] is not None or spec["props"] == "lying")

            def __getitem__(self, key):
                event("props.getitem", label)
                if key != "ID_SERIAL" or spec["serial"] is None:
                    raise KeyError(key)
                return serial

        class Device(Finalised):
            @property
            def properties(self):
                event("properties", label)
                if store.closed:
                    raise OSError(9, "udev context closed")
                if spec["props"] in ("mapping", "lying"):
                    mapping = Properties()  # says when it goes: one mapping per read
                    mapping.label, mapping.final = f"{label}.props", "del"
                    return mapping
                key = world.Key("ID_SERIAL") if spec["props"] == "keyed" else "ID_SERIAL"
                return {} if spec["serial"] is None else {key: serial}

        device = Device()
        device.label, device.final = label, spec["final"]
        finalised(device, label, spec["final"], self)
        return device

    # -- subprocess and DeviceType

    def make_subprocess(self, spec):
        if spec["kind"] == "none":
            return None
        output = {"uuid": b" GPU-0f0e\n", "other": b"GPU-1\n", "spaces": "\u3000GPU-2\xa0\n".encode(), "empty": b""}
        output = (output | {"bad_utf8": b"\xff", "str": "GPU", "none": None}).get(spec["output"])
        if spec["output"] == "custom":

            class Output(Finalised):
                def decode(self, encoding):
                    event("decode", encoding)
                    return Decoded(" GPU-c ")

            class Decoded(str):
                def strip(self):
                    event("strip")
                    return Text(str.strip(self))  # the result, which goes when the call lets go of it

            self.classes["strip"].append(Decoded)
            output = Output()
            output.label, output.final = "output", "del"

        def check_output(command, **kwargs):
            event("check_output", f"{command} {sorted(kwargs.items())}")
            return output

        attributes = {} if spec["kind"] == "missing" else {"check_output": check_output}
        module = self.holder("getattr" if spec["kind"] == "getattr" else "module", "subprocess", attributes)
        if spec["kind"] == "spec":  # a module whose __spec__ is read through a property
            module.__class__ = type("WithSpec", (types.ModuleType,), {"__spec__": property(lambda s: event("spec"))})
        return module

    def make_device_type(self, spec):
        kind, own = spec["kind"], ORIGINAL["DeviceType"]
        members = {n: own[n] for n in ("MAC", "DISK", "CUDA")}
        if kind == "own":
            return own
        if kind == "enum":
            return enum.Enum("DeviceType", [("MAC", 1), ("DISK", 2), ("CUDA", 3)])
        if kind == "class":
            return type("DeviceType", (), members)
        if kind == "meta":  # MAC read through a property of the metaclass, ahead of the class's own MAC
            mac = property(lambda cls: (event("member", "MAC"), own.MAC)[1])
            return type("Meta", (type,), {"MAC": mac})("DeviceType", (), members)
        if kind == "ints":  # MAC equal to the "huge" argument, not the same object
            return type("DeviceType", (), {"MAC": int(str(2**70)), "DISK": 2, "CUDA": 3})
        if kind == "fresh":  # a new member at every read, which says when it goes
            world = self

            def member(name):
                def make(cls):
                    made = Member()
                    made.label, made.final = world.labels(name), spec.get("final") or "del"
                    finalised(made, made.label, made.final, world)
                    return made

                return property(make)

            return type("Meta", (type,), {n: member(n) for n in ("MAC", "DISK", "CUDA")})("DeviceType", (), {})
        return types.SimpleNamespace(**members)

    # -- changes

    def change(self, change):
        """Makes a change; the events it causes itself fire no trigger."""
        kind, *args = change
        armed, RUN.armed = RUN.armed, False
        try:
            getattr(self, "change_" + kind)(*args)
        except Exception as failure:
            note(f"change refused: {type(failure).__name__}")
        finally:
            RUN.armed = armed

    def source(self, kind, name):
        """A function to bind under a source's name."""
        if kind.startswith("fn:"):
            target = ORIGINAL[kind[3:]]
            if WHICH == "twin" and target.__code__.co_argcount != ORIGINAL[name].__code__.co_argcount:
                target = twin.binding(target)
            return target
        if kind == "nest":

            def nest(k):
                return 0 if k == 0 else next(map(nest, [k - 1]))

            return lambda: nest(250) or "M"
        if kind in ("quiet", "pending"):  # pending: native code that makes SIGINT pending and returns None
            return {"quiet": lambda: "G", "pending": _thread.interrupt_main}[kind]
        if kind == "dropping":
            return Dropping(self, name)
        value = {"text": "X|Y", "wide": "序列-мак", "none": None, "int": 5, "bytes": b"b", "str_sub": "T"}.get(kind)

        def stub(*_):  # also bound as get_machine_code
            event("source", name)
            if kind == "formats":  # formatted by the machine string
                return Formats()
            return Text(value) if kind == "str_sub" else value

        return stub

    def value_for(self, name, how):
        if name in FUNCTIONS:
            return self.source(how, name) if how not in ("world", "fresh") else self.values[name]
        if name == "subprocess":  # one of the module's own, not the one the import finds
            return self.make_subprocess({"kind": "module", "output": "other"}) if how == "fresh" else self.subprocess
        if how == "fresh":
            make = {"psutil": self.make_psutil, "pyudev": self.make_pyudev, "DeviceType": self.make_device_type}[name]
            return make(self.spec[{"DeviceType": "device_type"}.get(name, name)])
        return self.values[name]

    def change_bind(self, name, how):
        namespace = vars(self.m)
        namespace.pop(name, None)
        for key in [k for k in list(namespace) if type(k) is not str and k == name]:
            del namespace[key]
        builtins.__dict__.pop(name, None)
        if how == "deleted":
            return
        value = self.value_for(name, "world" if how in ("builtins", "key") else how)
        if how == "builtins":
            setattr(builtins, name, value)
        elif how == "key":  # found under a str-subclass key, and in the builtins as well
            namespace[self.Key(name)] = value
            setattr(builtins, name, self.value_for(name, "fresh" if name not in FUNCTIONS else "world"))
        else:
            namespace[name] = value

    def stand_in(self, name):
        return {"psutil": self.psutil, "pyudev": self.pyudev, "subprocess": self.subprocess}[name]

    def change_attr(self, holder, name, kind):
        self.set_attribute(self.stand_in(holder), name, MISSING if kind == "deleted" else value_of(kind, self.labels))

    def set_attribute(self, target, name, value):
        """Sets (or with MISSING deletes) an attribute where the stand-in keeps it."""
        if target is sys.modules.get("psutil"):
            raise TypeError("the real psutil stays as it is")
        if sys.version_info >= (3, 14) and isinstance(vars(type(target)).get(name), property):
            raise TypeError("its class has a property of the name (see shadowed)")
        place = self.supplied.get(id(target), vars(target) if not isinstance(target, type) else None)
        if place is None:
            type.__delattr__(target, name) if value is MISSING else type.__setattr__(target, name, value)
        else:
            place.pop(name) if value is MISSING else place.__setitem__(name, value)

    def change_pending(self, site):
        """A call the module makes runs _thread.interrupt_main: native code that makes SIGINT pending."""
        pending = staticmethod(_thread.interrupt_main)
        if site in ("items", "strip"):  # a method of every stand-in class that has it
            for cls in self.classes[site]:
                type.__setattr__(cls, site, pending)
        else:
            holder = self.stand_in({"net_if_addrs": "psutil", "Context": "pyudev"}[site])
            self.set_attribute(holder, site, pending.__func__)

    def change_watchers(self, how):
        """Another extension unwatches the module's namespace for every watcher, or clears every watcher."""
        api, namespace = ctypes.pythonapi, ctypes.py_object(vars(self.m))
        for watcher in range(8):
            with contextlib.suppress(ValueError):
                api.PyDict_ClearWatcher(watcher) if how == "clear" else api.PyDict_Unwatch(watcher, namespace)

    def change_grow(self):
        """The last exact dict table gains an interface (in the middle of its walk, when triggered)."""
        self.tables[-1][f"z{len(self.tables[-1])}"] = []

    def change_module_class(self, holder, kind):
        target = self.stand_in(holder)
        if not isinstance(target, types.ModuleType) or target is sys.modules.get("psutil"):
            raise TypeError("not a stand-in module")
        subclass = {"plain": types.ModuleType}.get(kind)
        if kind == "property":
            prop = {"psutil": ("AF_LINK", 2), "pyudev": ("Context", self.make_pyudev(self.spec["pyudev"]).Context)}
            attribute, value = prop.get(holder, ("check_output", None))
            subclass = type("WithProperty", (types.ModuleType,), {attribute: property(lambda s: value)})
            shadowed(target, attribute)
        elif kind == "getattribute":

            def getattribute(module, attribute):
                event(f"{holder}.getattr", attribute)
                try:
                    return types.ModuleType.__getattribute__(module, attribute)
                except AttributeError as error:
                    # Specialised and generic lookups fill these in differently.
                    error.name, error.obj = attribute, module
                    raise

            subclass = type("Redirected", (types.ModuleType,), {"__getattribute__": getattribute})
        target.__class__ = subclass

    def change_descriptor(self, kind):
        cls = self.Descriptor
        if kind == "class":
            self.descriptor.__class__ = Plain if type(self.descriptor) is cls else cls
        else:
            delattr(cls, kind) if kind in vars(cls) else setattr(cls, kind, self.descriptor_methods[kind])

    def af_link_type(self):
        value = vars(self.psutil).get("AF_LINK")
        if type(value).__module__ == "builtins":
            raise TypeError("AF_LINK has a built-in type")
        return type(value)

    def change_get(self, holder, on):
        """The class of AF_LINK's value, or DeviceType (its members' class), gains or loses __get__."""
        cls = self.af_link_type() if holder == "value" else self.device_type
        if on:
            got = lambda s, obj, owner=None: event("__get__") or (2 if holder == "value" else owner["CUDA"])  # noqa: E731
            type.__setattr__(cls, "__get__", got)
        elif "__get__" in vars(cls):
            type.__delattr__(cls, "__get__")

    def change_value_class(self):
        value = vars(self.psutil)["AF_LINK"]
        value.__class__ = type("WithGet", (EqualTo,), {"__get__": lambda self, obj, owner=None: event("__get__") or 2})

    def change_member_class(self, member, kind):
        everyone = type("EqualToAll", (), {"__eq__": lambda s, o: True, "__hash__": object.__hash__})
        cls = self.device_type if isinstance(self.device_type, enum.EnumType) else ORIGINAL["DeviceType"]
        getattr(self.device_type, member).__class__ = everyone if kind == "equal_to_all" else cls

    def change_metaclass(self, kind):
        cls = self.device_type
        if not isinstance(cls, enum.EnumType):
            raise TypeError("not an enumeration")
        if kind == "swap":
            cls.__class__ = type("Meta", (enum.EnumType,), {"MAC": property(lambda c: c["DISK"])})
        elif kind == "back":
            cls.__class__ = enum.EnumType
        else:  # the metaclass gains a descriptor for a member's name
            type.__setattr__(type(cls), "DISK", property(lambda c: c["MAC"]))

    def change_record_class(self):
        for record in self.records:
            if isinstance(record, tuple) and type(record).__name__ == "snicaddr":
                record.__class__ = self.Swapped

    def change_record_field(self):
        type.__setattr__(self.record_classes["nt_sub"], "family", property(lambda s: 2))

    def change_exhaust(self, target):
        """Changes a class until the interpreter gives it no more version tags."""
        classes = {"record": self.record_classes["nt_sub"], "psutil": self.psutil, "device_type": self.device_type}
        cls = self.af_link_type() if target == "af_link" else classes.get(target, self.record_classes.get(target))
        if cls is ORIGINAL["DeviceType"]:
            raise TypeError("the module's own DeviceType stays as it is")
        if not isinstance(cls, type):
            raise TypeError("no class to change")
        for tick in range(1100):
            type.__setattr__(cls, "_tick", tick)
            type.__getattribute__(cls, "_tick")
        note(f"version tag {'gone' if version_tag(cls) == 0 else 'kept'}")

    def change_subprocess(self, kind):
        self.subprocess = None if kind == "none" else self.make_subprocess({"kind": kind, "output": "uuid"})
        sys.modules["subprocess"] = self.subprocess

    def change_stdout(self, kind):
        class Hooked:
            def write(self, text):
                event("write", repr(text))
                return OUT.write(text)

            def flush(self):
                pass

        self.kept.append(sys.stdout)  # print may hold it borrowed (3.13.0): a change from its write must not free it
        sys.stdout = {"hooked": Hooked(), "builtin": BUILTIN_OUT}.get(kind, OUT)

    def change_print(self, kind):
        builtins.print = (lambda *a, **k: event("print")) if kind == "replaced" else PRINT

    def change_import(self, kind):
        def hooked(name, globals=None, locals=None, fromlist=(), level=0):
            if name == "subprocess":  # the module's own import, and what it passes
                event("import", f"{name} {globals is vars(self.m)} {locals!r} {fromlist!r} {level}")
            else:
                event("import", name)
            return IMPORT(name, globals, locals, fromlist, level)

        if kind == "deleted":  # an import statement finds no __import__ among the builtins
            del builtins.__import__
        else:
            builtins.__import__ = hooked if kind == "hooked" else IMPORT

    def change_reborn(self):
        """psutil, found among the builtins, dies; a new module takes its address."""
        vars(self.m).pop("psutil", None)
        if not isinstance(getattr(builtins, "psutil", None), types.ModuleType):
            builtins.psutil = self.make_psutil(dict(self.spec["psutil"], holder="module"))
        self.kept.append(vars(builtins.psutil))  # the namespace lives on
        address = id(builtins.psutil)
        del builtins.psutil
        spare = []
        for _ in range(10_000):
            module = types.ModuleType("psutil")
            if id(module) == address:
                break
            spare.append(module)
        vars(module).update(net_if_addrs=lambda: {"eno9": [self.record_classes["nt"](2, "x", None, None, None)]})
        module.AF_LINK = 2
        builtins.psutil = module

    def change_real_class(self):
        import socket

        import psutil

        psutil.__class__ = type("WithProperty", (types.ModuleType,), {"AF_LINK": property(lambda s: socket.AF_INET)})
        shadowed(psutil, "AF_LINK")

    def change_swap_key(self):
        table = self.tables[-1]
        if type(table) is not dict or not table:
            raise TypeError("no table")
        del table[next(iter(table))]
        table["z9"] = [self.record_classes["nt"](17, "02:00:00:00:00:0f", None, None, None)]

    def change_gc(self):
        gc.collect()

    def change_tools(self, how):
        """Every site a tool disabled given back; the tool freed (its callbacks and events go); one event of the tool's
        dropped, or taken again (which gives its disabled sites back); or its events for all code stopped while a
        function runs, then set again (a tool's events that go and come back while a function runs give its sites
        back at once in Python, at its next run in the module: the module's runs do not see)."""
        if how == "restart":
            sys.monitoring.restart_events()
        elif how in MONITORED and sys.monitoring.get_tool(TOOL):
            sys.monitoring.set_events(TOOL, sys.monitoring.get_events(TOOL) ^ EVENT(how))
        elif how == "free" and sys.monitoring.get_tool(TOOL):
            monitor(False)
        elif sys.monitoring.get_tool(TOOL):
            events = sys.monitoring.get_events(TOOL)
            sys.monitoring.set_events(TOOL, 0)
            try:
                note(f"quietly {describe(vars(self.m)[how]())}")
            finally:
                sys.monitoring.set_events(TOOL, events)

    def change_alarm(self):
        """A signal handler empties the world's one huge collection while a call walks it."""
        signal.signal(signal.SIGALRM, lambda *_: self.huge.clear())


def shadowed(module, attribute):
    """From 3.14 the interpreter's specialised module attribute lookup reads the namespace even
    where the module's class defines a property of the name (once a site specialises again): there
    the namespace lets go of the name, in both children, so that the property is all there is."""
    if sys.version_info >= (3, 14):
        object.__getattribute__(module, "__dict__").pop(attribute, None)


def bad_item(kind):
    """An item of a table's walk that is no (name, addresses) pair."""
    if kind == "gen":
        return (x for x in ("wlan0", []))
    bad = {"one": ("eth0",), "three": ("a", [], 1), "list3": ["eth0", [], 1], "none": None, "str2": "ab", "empty": ()}
    return bad[kind]


def version_tag(cls):
    """The class's version tag (PyTypeObject.tp_version_tag, read by offset;
    the offset of tp_flags is checked first)."""
    assert ctypes.c_ulong.from_address(id(cls) + 168).value == cls.__flags__
    return ctypes.c_uint.from_address(id(cls) + 384).value


# ---- calls ------------------------------------------------------------------------


def argument(kind, world):
    if kind in ("MAC", "DISK", "CUDA"):
        return ORIGINAL["DeviceType"][kind]
    if kind.startswith("world:"):
        return getattr(world.device_type, kind[6:], None)
    if kind in ("all", "nothing"):  # equal to every value, or to none
        return EqualTo(... if kind == "all" else MISSING, "arg", site="arg.eq")
    return {"1": 1, "none": None, "text": "MAC", "huge": 2**70}[kind]


def invoke(name, arg, how, world):
    """The call, with what a finaliser makes pending armed for its length only
    (the test's own code would handle it anywhere after)."""
    arm_pending(world, True)
    try:
        return invoke_armed(name, arg, how, world)
    finally:
        arm_pending(world, False)


def arm_pending(world, armed):
    kept = [(ref(), how) for ref, how in world.pending]
    world.pending = [(weakref.ref(o, PENDING[how] if armed else None), how) for o, how in kept if o is not None]
    RUN.pending_armed = armed


def invoke_armed(name, arg, how, world):
    """Calls the function from C (operator.call), so that what its end leaves pending is handled at this call however it
    was made: after a call, the interpreter looks only when the callee is not Python code."""
    namespace = vars(world.m)
    function = namespace[name] if name in namespace else getattr(builtins, name)
    if how in ("bad", "keynames") and WHICH == "twin" and any(function is f for f in ORIGINAL.values()):
        function = twin.binding(function)  # the module's own texts for what a Python function words otherwise
    if how == "bad":
        return operator.call(function) if name == "get_machine_code" else operator.call(function, 1)
    if name != "get_machine_code":
        return operator.call(function, **{world.KeyName("kind"): 1}) if how == "keynames" else operator.call(function)
    value = argument(arg, world)
    if how in ("keyname", "keynames"):  # str-subclass keyword names, compared with ==
        keywords = [(world.KeyName("device_type"), value), (world.KeyName("kind"), 1)][: 1 + (how == "keynames")]
        return operator.call(function, **dict(keywords[::-1] if arg == "MAC" else keywords))
    return operator.call(function, device_type=value) if how == "kw" else operator.call(function, value)


def call(name, arg, how, world):
    note(f"call {name} {arg} {how}")
    outcome = {}

    def run(key="result", seen=describe):
        try:
            outcome[key] = seen(invoke(name, arg, how, world))
        except BaseException as exc:
            outcome["raised"] = describe_exception(exc)
        outcome["handled"] = handled()

    if how == "except":
        try:
            raise ValueError("outer")
        except ValueError:
            run()
            note("in handler " + handled())
    elif how == "generator":

        def steps():
            note("generator starts " + handled())
            run()
            note("generator after call " + handled())
            yield
            note("generator resumed " + handled())
            try:
                raise LookupError("inner")
            except LookupError as exc:
                note("generator's context " + json.dumps(describe_exception(exc.__context__)))
            yield

        try:
            raise ValueError("outer")
        except ValueError:
            steps_ = steps()
            next(steps_)
            note("in handler " + handled())
        next(steps_)
        del steps_
    elif how == "nested":  # one frame deeper, for the recursion limit
        (lambda: run())()
    elif how == "thread":  # a cycle on a small stack ends at the module's own bound: only the result's pieces count

        def in_thread():
            sys.stdout = io.StringIO()
            run("pieces", lambda result: sorted(set(result.split("|"))))
            sys.stdout = OUT

        threading.stack_size(256 * 1024)
        (thread := threading.Thread(target=in_thread)).start()
        thread.join()
        threading.stack_size(0)
    else:
        run()
    note(json.dumps(outcome))
    note("after call " + handled())


# ---- programs ---------------------------------------------------------------------

WARM = [
    (f, "", "plain") for f in ["get_machine_string"] * 2 + ["get_mac_address", "get_disk_serial_number", "get_gpu_uuid"]
]
WARM += [("get_machine_code", member, "kw" if member == "CUDA" else "plain") for member in ("MAC", "DISK", "CUDA", "1")]


# A monitoring tool (sys.monitoring, as cProfile and coverage use it) that records each event of the module's (or the
# twin's) own code: event, function, line. Calls that only the twin makes are left out: of its helpers, of iter(), and
# of items() on an exact dict, which the module walks without calling; and its class statement's (__build_class__, the
# class body). The module body starts and ends at lines of its own (the twin's at 0 and at its __doc__).
MONITORED = ("PY_START", "PY_RETURN", "PY_UNWIND", "CALL", "C_RETURN", "C_RAISE", "RAISE", "RERAISE")
MONITORED += ("EXCEPTION_HANDLED",)
EVENT = functools.partial(getattr, sys.monitoring.events)
TOOL, SECOND_TOOL = 0, 5  # the lowest and the highest identifier; the interpreter calls the higher one first


def monitored(name, code, offset, callable_=None, first=None, record=note, tool=TOOL):
    """Records an event; a tool mode [what, event, n] raises, or calls the module, at its n-th in the steps."""
    helpers = (twin.checked, twin.pairs, iter, BUILD_CLASS)
    if (
        code.co_filename != MODULE_FILE
        or code in twin.BINDING_CODES
        or code.co_name == "DeviceType"
        or (
            name in ("CALL", "C_RETURN", "C_RAISE")
            and (callable_ in helpers or (callable_ is DICT_ITEMS and type(first) is dict))
        )
        or (name != "CALL" and binding(callable_))
    ):
        return
    line = next((n for s, e, n in code.co_lines() if s <= offset < e), None)
    edge = named(code) == "<module>" and name in ("PY_START", "PY_RETURN")
    line = "edge" if edge else f"{line} in frame at {sys._getframe(1).f_lineno}"  # where tools that read it see it
    record(f"monitor{'' if tool == TOOL else tool} {name} {named(code)} {line}")
    mode = RUN.monitored if isinstance(RUN.monitored, list) and RUN.armed and tool == TOOL else [None] * 3
    if mode[1] == name and (RUN.counts.update([f"tool {name}"]) or RUN.counts[f"tool {name}"] >= mode[2]):
        if mode[0] == "disable" or RUN.counts[f"tool {name}"] > mode[2]:
            return sys.monitoring.DISABLE if mode[0] == "disable" else None
        if mode[0] == "call":
            return record(f"tool's call {describe(vars(RUN.world.m)['get_machine_string']())}")
        raise ValueError(f"tool fails at {name}")


def binding(callable_):
    """Whether one of the twin's bindings (twin.binding): tools see them as Python code, as the module's functions."""
    return type(callable_) is functools.partial and vars(callable_).get("binding", False)


# How the twin's functions without parameters refuse arguments, and the module's words for it (the
# first: a repr, in JSON, that quoted the text in double quotes for the quotes it holds).
ZERO = "(get_mac_address|get_disk_serial_number|get_gpu_uuid|get_machine_string)"
KEYWORD, NO_KEYWORDS = ZERO + r"\(\) got an unexpected keyword argument '[^']*'", r"\1() takes no keyword arguments"
POSITIONAL = ZERO + r"\(\) takes 0 positional arguments but (\d+) (?:was|were) given"
WORDED = [(r'\\"' + KEYWORD + r'\\"', f"'{NO_KEYWORDS}'"), (KEYWORD, NO_KEYWORDS)]
WORDED.append((POSITIONAL, r"\1() takes no arguments (\2 given)"))


def worded(line):
    for pattern, words in WORDED if WHICH == "twin" else ():
        line = re.sub(pattern, words, line)
    return line


def legacy(kind, record):
    """A sys.setprofile/settrace hook (its own local tracer) recording the module's frames. A twin helper's frame,
    without RESUME, is never complete: its raise and unwinding (`return` None) reach the hook as its caller's."""

    def hook(frame, event, arg):
        own = event == "call" or (event == "return" and arg is not None)
        own = own or (event == "exception" and getattr(arg[2], "tb_frame", 0) is frame)
        if own and frame.f_code.co_filename == MODULE_FILE and frame.f_code not in twin.BINDING_CODES:
            edge = named(frame.f_code) == "<module>" and event != "exception"
            record(f"{kind} {event} {named(frame.f_code)} {'edge' if edge else frame.f_lineno}")
        return hook

    return hook


def monitor(on, record=note):
    for kind, hook in ("profile", sys.getprofile), ("trace", sys.gettrace):  # only where set: a hook removed leaves
        if on == kind or hook():  # C_RETURN and C_RAISE on for all code, so that no run of the module starts quietly
            getattr(sys, "set" + kind)(legacy(on, record) if on == kind else None)
    on = on not in ("profile", "trace") and on
    events, codes = sys.monitoring.events, [ORIGINAL[name].__code__ for name in FUNCTIONS if name in ORIGINAL]
    for tool in (TOOL, SECOND_TOOL)[: 1 + (on == "two tools")] if on else (TOOL, SECOND_TOOL):
        if on:
            sys.monitoring.use_tool_id(tool, "twin check")
            for name in MONITORED:
                callback = functools.partial(monitored, name, record=record, tool=tool)
                sys.monitoring.register_callback(tool, EVENT(name), callback)
            # C_RETURN and C_RAISE come with CALL; local events also instrument lines, as coverage does.
            own, where = events.PY_START | events.PY_RETURN | events.CALL, on[3] if isinstance(on, list) else "all"
            local = {"all": 0, "local": own, "only": own, "mixed": events.PY_START}[where]
            wanted = functools.reduce(operator.or_, map(EVENT, (n for n in MONITORED if not n.startswith("C_"))))
            sys.monitoring.set_events(tool, 0 if where == "only" else wanted & ~local)
            for code in codes:
                sys.monitoring.set_local_events(tool, code, local and local | events.LINE | events.BRANCH)
        elif sys.monitoring.get_tool(tool):  # the sites it disabled are given back: programs start afresh
            sys.monitoring.set_events(tool, 0)
            [sys.monitoring.set_local_events(tool, code, 0) for code in codes]
            sys.monitoring.free_tool_id(tool)
    if not on:
        sys.monitoring.restart_events()


def run_steps(steps, world):
    """The steps in order. What a finaliser made pending during a call and no check of the call handled surfaces in this
    test's own code: it ends the step it surfaces in (noted), as it does in the other child."""
    steps = iter(steps)
    while True:
        try:
            try:
                for step in steps:
                    if step[0] == "call":
                        call(*step[1:], world)
                    else:
                        note(f"change {step[1:]}")
                        world.change(step[1:])
                return
            except BaseException as exc:
                note(f"step ended by {type(exc).__name__}")
        except BaseException as exc:
            note(f"step ended by {type(exc).__name__}")


def run_program(module, spec):
    global RUN
    LOG.clear()
    # CPython loops for ever where an EXCEPTION_HANDLED callback fails at the recursion limit (its own frame is
    # one too many): a program whose calls cycle to the limit runs unmonitored, and headroom() pauses the tool.
    RUN = Program(spec.get("triggers", ()), '"fn:' not in json.dumps(spec) and spec.get("monitored", False))
    world = RUN.world = World(module, spec["world"])
    sys.setrecursionlimit(spec.get("limit", 1000))
    monitor(RUN.monitored)
    RUN.limited = True
    run_steps([["call", *step] for step in WARM if spec.get("warm", True)], world)
    # A trigger counts the events after the warm calls; one that names its
    # site by a number picks among the sites the warm calls saw.
    seen = list(RUN.counts)
    for trigger in RUN.triggers:
        if isinstance(trigger[0], int):
            trigger[0] = seen[trigger[0] % len(seen)] if seen else ""
    RUN.counts.clear()
    RUN.armed = True
    run_steps(spec["steps"] + [["call", *c] for c in WARM if spec.get("warm", True)], world)  # then every call again
    RUN.armed = RUN.limited = False
    monitor(False)
    note(f"depth left {headroom()}")  # the module's functions leave the thread's depth as they found it
    note("end")
    restore(module)
    del world
    RUN.world = None
    gc.collect()
    note("collected")
    return [worded(line) for line in LOG]


def headroom(depth=0):
    """How many Python frames more this thread may start."""
    if depth == 0 and sys.monitoring.get_tool(TOOL):  # its callbacks go a while, its instrumentation stays
        events = {e: sys.monitoring.register_callback(TOOL, e, None) for e in map(EVENT, MONITORED)}
        try:
            return headroom(1)
        finally:
            [sys.monitoring.register_callback(TOOL, e, callback) for e, callback in events.items()]
    try:
        return headroom(depth + 1)
    except RecursionError:
        return depth


def restore(module):
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, signal.SIG_DFL)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    builtins.__class__ = types.ModuleType
    builtins.__dict__.pop("__getattr__", None)
    sys.setrecursionlimit(1000)
    sys.stdout = OUT
    builtins.print, builtins.__import__ = PRINT, IMPORT
    for name in (*NAMES, "subprocess"):
        builtins.__dict__.pop(name, None)
    own = ORIGINAL["DeviceType"]
    for member in own:
        member.__class__ = own
    for cls, name in ((own, "__get__"), (enum.EnumType, "DISK")):
        vars(cls).get(name) and type.__delattr__(cls, name)
    own.__class__ = enum.EnumType
    if (real := sys.modules.get("psutil")) is not None:
        real.__class__ = types.ModuleType
    # Both namespaces get the same keys in the same order, and so the same
    # layout: a str-subclass key among them then sees the same comparisons.
    namespace = vars(module)
    namespace.clear()
    namespace.update(SAVED)
    sys.modules["subprocess"] = PLACEHOLDER


def load(which):
    sys.modules["pyudev"] = types.ModuleType("pyudev")
    loguru = sys.modules["loguru"] = types.ModuleType("loguru")
    loguru.logger = object()
    if which == "twin":
        return twin.load("varnok_ostrel_twin")
    import varnok.ostrel

    return varnok.ostrel


WHICH = sys.argv[1] if __name__ == "__main__" else None
PRINT, IMPORT = builtins.print, builtins.__import__
PLACEHOLDER = types.ModuleType("subprocess")
ORIGINAL = SAVED = {}
# The keys of both modules' namespaces (the twin's helpers, the module's __file__ and __test__).
LAYOUT = ("__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__", "psutil")
LAYOUT += ("pyudev", "Enum", "Union", "logger", "print", "checked", "pairs", "DeviceType", *FUNCTIONS, "__test__")


def main():
    global ORIGINAL, SAVED
    batch = json.load(sys.stdin)
    results = sys.stdout
    sys.stdout = OUT
    module = load(WHICH)
    for _ in range(20):  # the helpers' own calls specialised (len, type), as they make no check then
        twin.checked("x"), twin.checked(None), twin.pairs(iter([("a", ())]))
    ORIGINAL = {name: getattr(module, name) for name in NAMES}
    namespace = vars(module)
    assert set(namespace) <= set(LAYOUT), set(namespace) - set(LAYOUT)
    SAVED = {key: namespace.get(key) for key in LAYOUT}
    gc.disable()
    sys.unraisablehook = lambda u: note(f"unraisable {type(u.exc_value).__name__} {text_of(u.exc_value)} {u.err_msg}")
    sys.stderr, warnings.showwarning = ERR, warned
    warnings.simplefilter("always")
    sys.setrecursionlimit(1000)
    restore(module)
    for spec in batch:
        results.write(json.dumps(run_program(module, spec)) + "\n")
        results.flush()


# ---- the interpreter's lifecycle ---------------------------------------------------
#
# `python twin_world.py lifecycle-native|lifecycle-twin` runs one program (JSON on stdin) that calls a function of
# the module from phases of the interpreter's life, writing what it sees straight to the file descriptors.


def reporting(m, name, write=os.write, text=repr, base=BaseException):
    """report(label) calls the function `name` and writes what it returned or raised; it holds all it
    needs itself, for it may run once the interpreter has torn its modules down."""
    function, arguments = getattr(m, name), (m.DeviceType.MAC,) if name == "get_machine_code" else ()

    def report(label):
        try:
            written = f"{label}: {text(function(*arguments))}\n"
        except base as error:
            written = f"{label}: {error.__class__.__name__}: {error} (context {type(error.__context__).__name__})\n"
        write(1, written.encode("utf-8", "replace"))

    return report


class Keeper:
    """Calls report(label) when it goes; in a cycle, it goes with a collection."""

    def __init__(self, report, label):
        self.report, self.label, self.cycle = report, label, self

    def __call__(self, *args):
        self.report(f"{self.label} called")

    def __del__(self):
        self.report(f"{self.label} released")


class FailingWrites:
    """Standard output whose writes of the given numbers fail."""

    def __init__(self, stream, failing):
        self.stream, self.failing, self.count = stream, set(failing), 0

    def write(self, text):
        self.count += 1
        if self.count in self.failing:
            raise OSError(f"write {self.count} failed")
        return self.stream.write(text)


def loaded(which):
    """varnok.ostrel, or the twin under its name, with stand-ins for what it queries."""
    if which == "twin":
        twin.install()
    sys.modules["pyudev"] = types.ModuleType("pyudev")
    sys.modules["loguru"] = types.SimpleNamespace(logger=None)
    import varnok.ostrel as m

    record = collections.namedtuple("snicaddr", "family address")
    m.psutil = types.SimpleNamespace(AF_LINK=17, net_if_addrs=lambda: {"eth0": [record(17, "02:00:00:00:00:01")]})
    device = types.SimpleNamespace(properties={"ID_SERIAL": "SN-1"})
    m.pyudev = types.SimpleNamespace(Context=lambda: types.SimpleNamespace(list_devices=lambda subsystem: [device]))
    m.get_gpu_uuid = lambda: "GPU-1"
    return m


def subinterpreter(which, name):
    """A subinterpreter's body: loads the module, leaves a codec search function calling `name` in a cycle."""
    import codecs

    try:
        m = loaded(which)
    except ImportError as error:
        os.write(1, f"subinterpreter: ImportError: {error}\n".encode())
        return
    report = reporting(m, name)
    monitor(True, lambda text: os.write(1, f"{text}\n".encode()))  # a tool of its own, gone with it
    report("subinterpreter")
    monitor(False)
    gc.disable()
    codecs.register(Keeper(report, "subinterpreter's codec search"))


def lifecycle(which, program):
    """Runs the program's phases in order, then lets the interpreter end."""
    import _interpreters
    import atexit
    import codecs
    import importlib
    import importlib.util

    phases, name = program["phases"], program["function"]
    code = f"import sys; sys.path[:0] = {sys.path[:2]!r}; import twin_world as w; w.subinterpreter({which!r}, {name!r})"

    def in_subinterpreter(kind="legacy"):  # "isolated": one with an interpreter lock of its own
        interpreter = _interpreters.create(kind)
        _interpreters.exec(interpreter, code)
        _interpreters.destroy(interpreter)

    if "subinterpreter first" in phases:
        in_subinterpreter()
    if "watchers taken" in phases:  # by other extensions, before the module loads
        taken = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, *[ctypes.py_object] * 3)(lambda *_: 0)
        with contextlib.suppress(RuntimeError):
            for _ in range(8):
                ctypes.pythonapi.PyDict_AddWatcher(taken)
    if "as main, monitored" in phases:  # as `python -m varnok` loads it: the report runs
        monitor(True, lambda text: os.write(1, f"{text}\n".encode()))
        if which == "twin":
            twin.Loader.main = True
        else:
            library = ctypes.CDLL(importlib.util.find_spec("varnok.ostrel").origin)
            ctypes.c_int32.in_dll(library, "__pyx_module_is_main_varnok__ostrel").value = 1
        sys.stdout = FailingWrites(sys.stdout, program.get("failing writes", ()))
    try:
        m = loaded(which)
    except Exception as error:
        tb = traceback.walk_tb(error.__traceback__)
        lines = [(n, "e" in f.f_globals) for f, n in tb if f.f_code.co_filename == MODULE_FILE]
        os.write(1, f"load failed: {error!r} at {lines}, listed {'varnok.ostrel' in sys.modules}\n".encode())
        return
    finally:
        monitor(False)
        sys.stdout = sys.__stdout__
    report = reporting(m, name)
    report(f"main, report bound {sorted({'ostrel', 'disk_code', 'cuda_uuid', 'e'} & set(vars(m)))}")
    gc.disable()
    for phase in phases:
        if phase == "at exit":
            atexit.register(report, "at exit")
        elif phase == "garbage at exit":
            Keeper(report, "garbage")
        elif phase == "codec":
            codecs.register(Keeper(report, "codec search"))
            with contextlib.suppress(LookupError):
                codecs.lookup("no-such-codec")
        elif phase == "fork":
            os.register_at_fork(before=Keeper(report, "at-fork hook"))
            if (child := os.fork()) == 0:
                os._exit(0)
            os.waitpid(child, 0)
        elif phase in ("import again", "reload", "another name"):
            before = vars(m).get("__test__")
            if phase == "import again":
                again = sys.modules.pop("varnok.ostrel") and importlib.import_module("varnok.ostrel")
            elif phase == "reload":  # refused once another name has loaded it: its spec names no listed module
                try:
                    again = importlib.reload(m)
                except ImportError as error:
                    report(f"reload: {error}")
                    continue
            else:
                util = importlib.util
                make = util.spec_from_loader if which == "twin" else util.spec_from_file_location
                spec = make("other.ostrel", twin.Loader() if which == "twin" else m.__file__)
                again = importlib.util.module_from_spec(spec)
                spec.loader.exec_module(again)
            same = again is m and vars(m).get("__test__") is before
            report(f"{phase}: same module {same}, named {again.__name__}, spec {again.__spec__.name}")
        elif phase.endswith("subinterpreter"):
            in_subinterpreter(phase.split()[0] if " " in phase else "legacy")
            report("after the subinterpreter")


if __name__ == "__main__":
    if WHICH.startswith("lifecycle-"):
        lifecycle(WHICH.removeprefix("lifecycle-"), json.load(sys.stdin))
        os.write(1, b"lifecycle ran\n")
    else:
        main()
