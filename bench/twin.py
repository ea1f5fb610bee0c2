"""Loads baseline.py, the plain-Python twin of varnok.ostrel, and holds the
helpers it uses where the module does what a plain statement cannot say.

The twin is compiled under the module's own file name, "src/varnok/ostrel",
so that its traceback entries read as the module's. The helpers live here,
under this file's name: a comparison of tracebacks drops the entries whose
file is HELPERS, and only those.
"""

import builtins
import ctypes
import dis
import functools
import importlib.abc
import importlib.machinery
import itertools
import os
import sys
import tempfile
import types
from pathlib import Path

SOURCE = Path(__file__).with_name("baseline.py")
FILE_NAME = "src/varnok/ostrel"
HELPERS = __file__
_TP_NAME = object.__basicsize__ + ctypes.sizeof(ctypes.c_ssize_t)  # PyTypeObject.tp_name
FUNCTIONS = ("get_mac_address", "get_disk_serial_number", "get_machine_code", "get_gpu_uuid", "get_machine_string")

# builtins.print as it was when the twin was last loaded: the module caches it too.
cached_print = builtins.print


def _folded(code, constants):
    """`code` with each global lookup of a name in `constants` turned into that
    constant: the module's functions catch the Exception family and call the
    cached print and its own walks without looking any name up, which shows
    once the interpreter has torn the namespaces down at its finalisation."""
    raw, consts = bytearray(code.co_code), list(code.co_consts)
    instructions = list(dis.get_instructions(code))
    for instruction, following in itertools.pairwise(instructions):
        if instruction.opname == "LOAD_GLOBAL" and instruction.argval in constants:
            consts.append(constants[instruction.argval])
            # LOAD_GLOBAL pushes the value, then (with the low bit of its
            # argument) the NULL of a call; its cache entries become NOPs.
            new = [dis.opmap["LOAD_CONST"], len(consts) - 1] + [dis.opmap["PUSH_NULL"], 0] * (instruction.arg & 1)
            width = following.offset - instruction.offset
            raw[instruction.offset : following.offset] = bytes(new + [dis.opmap["NOP"], 0] * ((width - len(new)) // 2))
    return code.replace(co_code=bytes(raw), co_consts=tuple(consts))


def compiled():
    """The twin's code, its functions' fixed names made constants."""
    global cached_print
    cached_print = builtins.print
    code = compile(SOURCE.read_text(encoding="utf-8"), FILE_NAME, "exec")
    constants = {"Exception": Exception, "print": cached_print, "checked": checked, "pairs": pairs, "iter": iter}
    functions = (_folded(c, constants) if getattr(c, "co_name", None) in FUNCTIONS else c for c in code.co_consts)
    return code.replace(co_consts=tuple(functions))


def load(name="baseline", *, main=False):
    """A new twin module: the body runs, and prints the report when `main`."""
    module = types.ModuleType("__main__" if main else name)
    exec(compiled(), vars(module))
    return module


class Loader(importlib.abc.Loader):
    """Loads the twin as the module loads: one module object for the process,
    whose body runs once; an import under any name, again or a reload gets
    that object and runs nothing; one interpreter at a time may have it (the
    owner's identifier is kept in a file of the process, which every
    interpreter reads), and none with an interpreter lock of its own."""

    module = None
    main = False  # load as the main module, as `python -m varnok` loads the module
    OWNER = Path(tempfile.gettempdir(), f"ostrel-twin-owner-{os.getpid()}")

    def create_module(self, spec):
        import _interpreters

        me = _interpreters.get_current()[0]
        # The import system refuses a module that shares process state to an
        # interpreter with an interpreter lock of its own.
        if me != _interpreters.get_main()[0] and _interpreters.get_config(me).gil == "own":
            raise ImportError(f"module {spec.name} does not support loading in subinterpreters")
        me = str(me)
        owner = self.OWNER.read_text() if self.OWNER.exists() else ""
        if owner and owner != me:
            raise ImportError(
                "Interpreter change detected - this module can only be loaded into one interpreter per process."
            )
        if not owner:
            self.OWNER.write_text(me)
            import atexit

            atexit.register(self.OWNER.unlink, missing_ok=True)  # the owner's finalisation frees the module
        return Loader.module or types.ModuleType(spec.name)

    def exec_module(self, module):
        if Loader.module is not None:
            if module is Loader.module:
                return
            raise RuntimeError("Module 'ostrel' has already been imported. Re-initialisation is not supported.")
        Loader.module = module
        vars(module)["__builtins__"] = builtins
        if Loader.main:
            vars(module)["__name__"] = "__main__"
        sys.modules.setdefault("varnok.ostrel", module)
        try:
            exec(compiled(), vars(module))
        except BaseException:
            Loader.module = None
            raise


class Finder(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name == "varnok.ostrel":
            return importlib.machinery.ModuleSpec(name, Loader(), origin=str(SOURCE))
        return None


def install():
    """Makes `import varnok.ostrel` load the twin in this interpreter."""
    sys.meta_path.insert(0, Finder())


def _inline(function):
    """`function` as the module's inline steps run: its RESUME made a NOP, so
    that it handles nothing the eval breaker signals as it starts (a signal
    made pending before it waits for the module's function's next check)."""
    code = bytearray(function.__code__.co_code)
    for offset in range(0, len(code), 2):
        if code[offset] == dis.opmap["RESUME"]:
            code[offset] = dis.opmap["NOP"]
    function.__code__ = function.__code__.replace(co_code=bytes(code))
    return function


@_inline
def type_name(cls):
    """The type's tp_name as a C message's "%.200s" shows it, cut after 200 bytes:
    the full dotted name of a static type or of one made from a type spec
    (re.Pattern), a class statement's __name__. No attribute of the class
    holds it, so it is read where the type keeps it, after the object header."""
    name = ctypes.string_at(ctypes.c_void_p.from_address(id(cls) + _TP_NAME).value)
    return name[:200].decode("utf-8", "replace")


@_inline
def checked(value):
    """`return value` in a function annotated "-> str": exactly a str or None."""
    if type(value) is str or value is None:
        return value
    message = f"Expected unicode, got {type_name(type(value))}"
    del value  # released before the error is raised, as the module releases it
    raise TypeError(message)


@_inline
def _pair(values):
    """The first (up to) three values of one item, as the module's unpacking sees them."""
    count = len(values)
    if count == 2:
        return values
    if count > 2:
        raise ValueError("too many values to unpack (expected 2)")
    raise ValueError(f"need more than {count} value{'' if count == 1 else 's'} to unpack")


def pairs(walk):
    """`for iface, addrs in pairs(iter(table.items()))`: the items walked, each
    unpacked into a pair with the module's texts for items that are not pairs.
    A dict's items are pairs already and are walked as they are.

    Near the recursion limit a helper's frame counts where the module's native
    code does not. So the items are iterated from the frame of the `for` (the
    iter() there, and the C iterators here), at the depth where the module does
    it, and each item's first three values are taken by C iterators too; only
    _pair, which calls nothing, runs as Python, one frame deep as the
    interface table's own code."""
    if type(walk) is _DICT_WALK:
        return walk
    return map(_pair, map(list, map(itertools.islice, walk, itertools.repeat(3))))


_DICT_WALK = type(iter({}.items()))


BINDING_CODES = set()


def _raise_at(name, line):
    """A function `name` whose raise stands at `line` of the module's file; it
    raises what it is given (a message becomes a TypeError) from `pending`, so
    that its frame holds no local, as the module's entry for a call whose
    arguments could not be bound holds none."""
    pending = []
    source = "\n" * (line - 1) + f"def {name}(): raise pending.pop()"
    code = compile(source, FILE_NAME, "exec")
    BINDING_CODES.update((code, *code.co_consts))  # not the module's own code: no events of theirs count
    exec(code, namespace := {"pending": pending})

    def fail(error):
        pending.append(TypeError(error) if isinstance(error, str) else error)
        del error
        namespace[name]()

    return fail


def binding(function):
    """`function` called as the module binds arguments: the module's texts,
    and for get_machine_code its traceback entry at the def line. Used where a
    twin function may be called with arguments it cannot take. A function
    without parameters is itself: it refuses arguments as the module's do, in
    other words (twin_world.py words them as the module does). One with a
    parameter is called through a partial (C code), so that what the call is
    given goes as the call returns, in the caller, as with the module's
    functions; not in a frame of its own, one level deeper."""
    code = function.__code__
    name = code.co_name
    if code.co_argcount == 0:
        return function

    fail = _raise_at(name, code.co_firstlineno)
    parameter = "device_type"

    def named(keyword):
        """Whether a keyword names the parameter: the same object, else ==."""
        return keyword is parameter or bool(keyword == parameter)

    def bind(args, kwargs):
        """The bound argument, or the message of the binding's TypeError, in
        the module's order: too many positional arguments first, then the
        keywords in the order given."""
        keywords, values = list(kwargs), list(kwargs.values())
        positional = f"{name:.200}() takes exactly 1 positional argument ({len(args)} given)"
        if len(args) > 1:
            return None, positional
        if args:
            if not keywords:
                return args, None
            problem = "got multiple values for" if named(keywords[0]) else "got an unexpected"
            return None, f"{name}() {problem} keyword argument '{keywords[0]}'"
        found = next((i for i, keyword in enumerate(keywords) if named(keyword)), None)
        if found is None:
            return None, positional
        if len(keywords) > 1:
            return None, f"{name}() got an unexpected keyword argument '{keywords[found == 0]}'"
        return values[found:], None

    def call(*args, **kwargs):
        try:
            bound, message = bind(args, kwargs)
        except BaseException as error:  # from a keyword's own __eq__: at the def line, as the module's binding
            del args, kwargs
            fail(error)
        if bound is not None:
            del args, kwargs
            return function(*bound)
        del args, kwargs
        fail(message)

    bound = functools.partial(call)
    bound.binding = True
    return bound
