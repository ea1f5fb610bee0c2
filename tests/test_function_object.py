"""Each function object against the Python function that a `def` of the same signature, docstring, locals and lines
makes in the module's namespace: every attribute read, set, set to None and deleted in drawn sequences, each step
compared (outcome, audit events, attributes, what inspect, pickle, copy, weakref and binding make of them); again once
cleared by the collector (two by their clear slot, three via a cycle through each attribute that can hold one), in a
child interpreter, where a crash fails."""

import builtins
import copy
import ctypes
import dis
import functools
import gc
import inspect
import pickle
import re
import sys
import types
import typing
import weakref
from pathlib import Path

from conftest import RELEASE, run_python
from hypothesis import given, settings
from hypothesis import strategies as st

import varnok.ostrel

DOC = "\n    根据设备类型返回对应的唯一标识符\n    :param device_type: 设备类型 (DeviceType.MAC 或 DeviceType.DISK)"
DOC += "\n    :return: 对应的唯一标识符（MAC 地址或硬盘序列号）\n    "  # noqa: RUF001 (full-width, as documented)
FUNCTIONS = {  # name: (signature, doc, first line, local names)
    "get_mac_address": ("() -> 'str'", "获取物理网卡的 MAC 地址", 15, ("iface", "addrs", "addr", "e")),
    "get_disk_serial_number": ("() -> 'str'", "获取硬盘的序列号", 38, ("context", "device", "e")),
    "get_machine_code": ("(device_type: 'DeviceType') -> 'str'", DOC, 52, ("device_type", "e")),
    "get_gpu_uuid": ("()", None, 71, ("subprocess", "result", "e")),
    "get_machine_string": ("()", None, 80, ()),
}
CLEARED_BY_SLOT = ("get_machine_code", "get_mac_address")
CLEARED_CALLS = [  # (function, arguments, what it raises); with the right arguments each says it has been cleared
    ("get_machine_code", (), "TypeError: get_machine_code() takes exactly 1 positional argument (0 given)"),
    ("get_machine_code", (1, 2), "TypeError: get_machine_code() takes exactly 1 positional argument (2 given)"),
    ("get_mac_address", (1,), "TypeError: get_mac_address() takes no arguments (1 given)"),
]

# What a native function cannot share with a Python function, and how the comparisons allow for it (this check's,
# and the twin check's: the last three); everything else must be the same.
INHERENT = {
    "type": "its own, varnok.ostrel.function, named so in messages (compared with the name replaced); "
    "isfunction() is false (isroutine() is compared); __new__ is object's: it cannot be created from Python",
    "__code__": "only what describes the signature and names is compared (CODE_FIELDS): the body is native",
    "__code__ = another code object": "refused with ValueError: the native body cannot run it",
    "__defaults__ = (value, ...)": "refused with TypeError where there is a parameter: the binding has no default",
    "__vectorcalloffset__": "readable, not compared: a type made from a spec declares its call entry so",
    "calls": "a twin has no body, so nothing here calls one: no inspect.signature() while __signature__ is the "
    "function itself (the module's calls are compared with plain Python elsewhere)",
    "pickle, copy": "not compared while __reduce_ex__, __reduce__ or __deepcopy__ is an instance attribute: they "
    "know a Python function by its type, any other object through those names",
    "frames": "each run's frame is that of a plain function on a code object named as its traceback entries, "
    "which the function holds beside __code__ (not counted in `held`); no LINE events (docs/behaviour.md)",
    "stack bound": "nested runs take C stack: cycles end sooner past a recursion limit of about 2,400 (not drawn)",
    "getter's AttributeError": "always given name and obj; plain Python only where unspecialised (drawn with both)",
}
SHADOWING = {"__reduce_ex__", "__reduce__", "__deepcopy__"}
CODE_FIELDS = ("co_name", "co_qualname", "co_filename", "co_firstlineno", "co_argcount", "co_posonlyargcount")
CODE_FIELDS += ("co_kwonlyargcount", "co_nlocals", "co_varnames", "co_freevars", "co_cellvars")
CODE_KINDS = inspect.CO_VARARGS | inspect.CO_VARKEYWORDS | inspect.CO_GENERATOR | inspect.CO_COROUTINE
EXTRA = ("__wrapped__", "__signature__", "__text_signature__", "__self__", "__func__", "__objclass__", "marker")
ATTRIBUTES = sorted({*dir(lambda: None), *EXTRA})
RESET = ("__name__", "__qualname__", "__doc__", "__module__", "__annotations__", "__defaults__", "__kwdefaults__")
RESET += ("__type_params__", "__code__")
HELD = (*RESET, "__globals__", "__builtins__", "__dict__", "__closure__")  # in any order: held() sorts

Text, Row, Table = type("Text", (str,), {}), type("Row", (tuple,), {}), type("Table", (dict,), {})
TEXTS = ["", "x", "get_gpu_uuid", "varnok.ostrel", "a.b", "名"]
KINDS = {  # kind: value made from (text, number, items, side)
    **{kind.__name__: lambda t, n, i, side, kind=kind: kind(t) for kind in (str, Text)},
    "int": lambda t, n, i, side: n,
    **{kind.__name__: lambda t, n, i, side, kind=kind: kind(i) for kind in (tuple, Row)},
    **{kind.__name__: lambda t, n, i, side, kind=kind: kind({str(k): k for k in i}) for kind in (dict, Table)},
    "list": lambda t, n, i, side: list(i),
    "object": lambda t, n, i, side: object(),
    "class": lambda t, n, i, side: type("Class", (), {}),
    "type params": lambda t, n, i, side: (typing.TypeVar("T"),),
    "subject": lambda t, n, i, side: side.subject,
    "own code": lambda t, n, i, side: side.code,
    "other code": lambda t, n, i, side: (lambda: 0).__code__.replace(),
}
ITEMS = st.lists(st.one_of(st.sampled_from(TEXTS), st.integers(-1, 3)), max_size=3)
VALUES = st.tuples(st.sampled_from(sorted(KINDS)), st.sampled_from(TEXTS), st.integers(-(2**65), 2**65), ITEMS)
STEPS = st.tuples(st.sampled_from(ATTRIBUTES), st.sampled_from(["get", "set", "set None", "del"]), VALUES)
NO_VALUE = ("str", "", 0, ())


def mask(text):
    return re.sub(r"0x[0-9a-f]+", "0x?", text).replace("varnok.ostrel.function", "function")


class Seen:
    """Describes what one side shows: objects that play the same part on both sides by that part, others by the
    order they were first seen in (so that identity counts) and by what they hold."""

    def __init__(self, roles):
        self.labels = {id(value): role for value, role in roles}
        self.kept = [value for value, _ in roles]

    def __call__(self, value):
        if value is None or type(value) in (bool, int, float, str):
            return value
        label = self.labels.setdefault(id(value), len(self.kept))
        if label == len(self.kept):
            self.kept.append(value)
        return label if isinstance(label, str) else (label, self.describe(value))

    def describe(self, value):
        kind = type(value).__name__
        if isinstance(value, str | int):
            return kind, repr(value)
        if isinstance(value, tuple | list):
            return kind, [self(item) for item in value]
        if isinstance(value, dict):
            return kind, [(self(k), self(v)) for k, v in value.items()]
        if isinstance(value, types.CodeType):
            start = next(dis.get_instructions(value))  # RESUME 0, where a function starts
            return kind, [getattr(value, field) for field in CODE_FIELDS], value.co_flags & CODE_KINDS, start[:3]
        if isinstance(value, types.MethodType):
            return kind, self(value.__func__), self(value.__self__)
        if isinstance(value, types.BuiltinMethodType | types.MethodWrapperType):
            return kind, value.__name__, self(value.__self__)
        return mask(kind), mask(repr(value))


def outcome(action, seen):
    try:
        return "=", seen(action())
    except Exception as exc:
        return "raises", type(exc).__name__, mask(str(exc)), *(seen(getattr(exc, a, None)) for a in ("name", "obj"))


RECORDING = []


def audit(event, args):
    if RECORDING and event.startswith("object.") and args and args[0] is RECORDING[-1].subject:
        RECORDING[-1].events.append((event, *args[1:]))


class Side:
    """One function of a pair, and the state it is reset to: what it has when the pair is made."""

    def __init__(self, name, subject, native):
        self.name, self.subject, self.native, self.code = name, subject, native, subject.__code__
        new = object.__new__ if native else types.FunctionType.__new__
        self.roles = [(subject, "<subject>"), (type(subject), "<function type>"), (new, "<__new__>")]
        self.roles += [(vars(varnok.ostrel), "<globals>"), (vars(builtins), "<builtins>")]
        self.state = {attribute: getattr(subject, attribute) for attribute in RESET}

    def reset(self):
        self.subject.__dict__ = {}
        for attribute, value in self.state.items():
            setattr(self.subject, attribute, value)

    def step(self, step, seen, look):
        """The step's outcome or REFUSED, the audit events, and the views after it if `look`."""
        RECORDING.append(self)
        self.events = []
        try:
            done = self.perform(*step, seen) if step else None
            return done, [seen(event) for event in self.events], self.views(seen) if look else {}
        finally:
            RECORDING.pop()

    def perform(self, attribute, action, value, seen):
        if action in ("get", "del"):
            return outcome(functools.partial({"get": getattr, "del": delattr}[action], self.subject, attribute), seen)
        value = None if action == "set None" else KINDS[value[0]](*value[1:], self)
        seen(value)
        if action == "make":
            return None
        done = outcome(lambda: setattr(self.subject, attribute, value), seen)
        refused = self.refused(attribute, value)
        assert not refused or done[:3] == ("raises", *refused), (self.name, attribute, value, done)
        return "REFUSED" if refused else done

    def refused(self, attribute, value):
        """What the module raises where a Python function's answer cannot be its answer (INHERENT)."""
        if self.native and attribute == "__code__" and isinstance(value, types.CodeType) and value is not self.code:
            return "ValueError", f"{self.name}() runs native code; its __code__ cannot be replaced"
        if self.native and attribute == "__defaults__" and isinstance(value, tuple) and value and self.code.co_argcount:
            return "TypeError", f"{self.name}() takes its argument without a default: __defaults__ must be None or ()"
        return None

    def by_reference(self):
        """Pickles the subject as the module's function of its name."""
        namespace = vars(varnok.ostrel)
        held, namespace[self.name] = namespace.get(self.name), self.subject
        try:
            return pickle.loads(pickle.dumps(self.subject)) is self.subject
        finally:
            namespace[self.name] = held

    def held(self):
        """Which attributes' values the collector sees the function hold, and how many other objects."""
        subject, values = self.subject, [getattr(self.subject, name, None) for name in HELD]
        held = [r for r in gc.get_referents(subject) if r is not None and r is not type(subject)]
        held = [r for r in held if not getattr(r, "__name__", "").startswith("varnok.ostrel.")]  # its frame's function
        return sorted(n for n, v in zip(HELD, values, strict=True) if any(r is v for r in held)), len(held)

    def views(self, seen):
        subject = self.subject
        found = {attribute: outcome(functools.partial(getattr, subject, attribute), seen) for attribute in ATTRIBUTES}
        host = type("Host", (), {"method": subject})
        found.update(
            dir=sorted(set(dir(subject)) - {"__vectorcalloffset__"}),
            repr=mask(repr(subject)),
            signature=vars(subject).get("__signature__") is subject
            or outcome(lambda: str(inspect.signature(subject)), seen),
            getdoc=outcome(lambda: inspect.getdoc(subject), seen),
            routine=(callable(subject), inspect.isroutine(subject), weakref.ref(subject)() is subject),
            bound=outcome(lambda: (host.method, host().method, subject.__get__(None, host)), seen),
            held=self.held(),
        )
        if not SHADOWING & set(vars(subject)):
            found["pickle"] = outcome(self.by_reference, seen)
            found["copy"] = outcome(lambda: (copy.copy(subject), copy.deepcopy(subject)), seen)
        return found


class Pair:
    """A module function and its twin, compared step by step."""

    def __init__(self, name, native, twin, phase):
        self.name, self.phase, self.sides = name, phase, [Side(name, native, True), Side(name, twin, False)]

    def compare(self, steps, reset=True, look=True):
        """Runs the steps on both sides; compares the views after each, or only after the last."""
        seens = [Seen(side.roles) for side in self.sides]
        for side in self.sides if reset else ():
            side.reset()
        for number, step in enumerate([None, *steps]):
            last = look or number == len(steps)
            ours = self.sides[0].step(step, seens[0], last)
            if ours[0] == "REFUSED":
                ours, step = (None, [], ours[2]), (step[0], "make", step[2])
            theirs = self.sides[1].step(step, seens[1], last)
            where = f"{self.name} {self.phase}, step {number} of {len(steps)}: {step}"
            for key in sorted({*ours[2], *theirs[2]}):
                assert ours[2].get(key) == theirs[2].get(key), f"{where}: {key}: {ours[2][key]} != {theirs[2][key]}"
            assert ours[:2] == theirs[:2], f"{where}: {ours[:2]} != {theirs[:2]}"


def twin_of(module, name):
    """What `def` makes of the function's signature in the module's namespace."""
    signature, doc, first_line, local_names = FUNCTIONS[name]
    scratch = {}
    exec(f"def {name}{signature}: pass", scratch)
    stores = local_names[scratch[name].__code__.co_argcount :]
    body = " = ".join([*stores, "None"]) if stores else "pass"
    native, source = vars(module)[name], "\n" * (first_line - 1) + f"def {name}{signature}:\n    {body}\n"
    exec(compile(source, "src/varnok/ostrel", "exec"), vars(module))
    twin = getattr(module, name)
    setattr(module, name, native)
    twin.__doc__ = doc
    if RELEASE["__annotate__"]:  # annotations given, as the module's are, not made on demand
        twin.__annotate__ = (twin.__annotations__, None)[1]
    return twin


def explore(pairs, examples):
    """As they are; each attribute set to every kind of value (with items, and empty), to None, deleted; drawn steps."""
    for pair in pairs.values():
        pair.compare([], reset=False)
        for attribute in ATTRIBUTES:
            steps = [(attribute, "set", (kind, "x", 5, items)) for kind in KINDS for items in (("x", 1), ())]
            steps += [(attribute, "set None", NO_VALUE), (attribute, "del", NO_VALUE)]
            pair.compare([s for step in steps for s in (step, (attribute, "get", NO_VALUE))], look=False)

    @settings(max_examples=examples, deadline=None, database=None)
    @given(name=st.sampled_from(sorted(pairs)), steps=st.lists(STEPS, max_size=8))
    def sequences(name, steps):
        pairs[name].compare(steps)

    sequences()


FOUND = {}


class Finder:
    """In a cycle with a function, its finaliser (run before the collector clears) leaves a second one in the function's
    __dict__ holding only its address; that one's finaliser runs as the clearing drops the __dict__, while the collector
    holds the function, and keeps it, cleared (from 3.13.13 on, weak references made in finalisers are cleared)."""

    def __init__(self, subject, key, late=False):
        self.subject, self.key = id(subject) if late else subject, key

    def __del__(self):
        if isinstance(self.subject, int):
            FOUND[self.key] = ctypes.cast(self.subject, ctypes.py_object).value
        else:
            vars(self.subject)["late"] = Finder(self.subject, self.key, late=True)


def hold(subject, key):
    """A cycle through every attribute of the subject that can hold one."""
    finder = Finder(subject, key)
    subject.__name__, subject.__qualname__ = Text("n"), Text("q")
    subject.__name__.finder = subject.__qualname__.finder = finder
    subject.finder = subject.__doc__ = subject.__module__ = finder
    subject.__annotations__, subject.__kwdefaults__ = {"return": finder}, {"k": finder}
    subject.__type_params__ = subject.__defaults__ = (finder,)


def clear(module, pairs):
    """Clears the functions of every pair as the collector does; returns the pairs of cleared ones."""
    slot = ctypes.pythonapi.PyType_GetSlot
    slot.restype, slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
    cleared = {}
    for name in CLEARED_BY_SLOT:
        subjects = [side.subject for side in pairs.pop(name).sides]
        for subject in subjects:
            ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(slot(type(subject), 51))(subject)  # tp_clear
        cleared[name] = Pair(name, *subjects, "cleared through its slot")
    for name in list(pairs):
        for side in pairs.pop(name).sides:
            side.reset()
            hold(side.subject, (name, side.native))
        delattr(module, name)
    del side, subjects, subject
    gc.collect()
    for name in FUNCTIONS.keys() - cleared:
        subjects = [FOUND.get((name, native)) for native in (True, False)]
        assert None not in subjects, f"the collector did not clear {name}: {subjects}"
        cleared[name] = Pair(name, *subjects, "cleared by the collector")
    return cleared


def run(examples):
    m = varnok.ostrel
    sys.addaudithook(audit)
    pairs = {name: Pair(name, getattr(m, name), twin_of(m, name), "as defined") for name in FUNCTIONS}
    explore(pairs, examples)
    cleared = clear(m, pairs)
    calls = [(name, (m.DeviceType.MAC,) * ("device_type" in FUNCTIONS[name][0]), "") for name in FUNCTIONS]
    for name, arguments, expected in CLEARED_CALLS + calls:
        raised = outcome(functools.partial(cleared[name].sides[0].subject, *arguments), Seen([]))
        assert ": ".join(raised[1:3]) == (expected or f"RuntimeError: {name}() has been cleared"), (name, raised)
    explore(cleared, examples)
    print("ok")


def test_function_objects_match_python_functions():
    code = "import test_function_object; test_function_object.run(200)"
    assert run_python(code, env={"PYTHONPATH": str(Path(__file__).parent)}, timeout=600).stdout == "ok\n"
