#include "function.hpp"

#include <structmember.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "internals.hpp"
#include "lines.hpp"
#include "monitor.hpp"
#include "stack.hpp"
#include "state.hpp"
#include "traceback.hpp"

namespace ostrel {

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* code;
    PyObject* frame_function; // the Python function whose frame each run has; null once cleared
    PyObject* globals;
    PyObject* builtins;
    PyObject* annotations;
    PyObject* annotate; // from 3.14; None where the annotations were given
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* type_params;
    PyObject* dict;
    PyObject* weakrefs;
    Sites sites; // of the code of its frame and __code__, where tools have disabled events
};

Function* as_function(PyObject* self)
{
    return reinterpret_cast<Function*>(self);
}

PyTypeObject* function_type = nullptr;

// ---- argument binding -------------------------------------------------------

bool bind_nothing(const Function* fn, Py_ssize_t nargs, PyObject* kwnames)
{
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", fn->spec->name);
        return false;
    }
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", fn->spec->name, nargs);
        return false;
    }
    return true;
}

// Whether a keyword names the parameter, as the interpreter matches keyword
// names: the same object, else `keyword == name` (a str subclass's own __eq__
// runs). 1, 0, or -1 with an exception set.
int is_parameter_name(PyObject* keyword)
{
    if (keyword == texts.device_type_name) {
        return 1;
    }
    return PyObject_RichCompareBool(keyword, texts.device_type_name, Py_EQ);
}

void raise_positional_count(const char* name, Py_ssize_t nargs)
{
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, "exactly",
                 Py_ssize_t{1}, "", nargs);
}

// One positional-or-keyword parameter without a default.
bool bind_one(const Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound)
{
    const char* name = fn->spec->name;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > 1) {
        raise_positional_count(name, nargs);
        return false;
    }
    if (nargs == 1) {
        if (nkw == 0) {
            *bound = args[0];
            return true;
        }
        PyObject* first = PyTuple_GET_ITEM(kwnames, 0);
        const int named = is_parameter_name(first);
        if (named > 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, first);
        }
        else if (named == 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, first);
        }
        return false;
    }
    Py_ssize_t found = -1;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        const int named = is_parameter_name(PyTuple_GET_ITEM(kwnames, i));
        if (named < 0) {
            return false;
        }
        if (named > 0) {
            found = i;
            break;
        }
    }
    if (found < 0) {
        raise_positional_count(name, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (i != found) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                         PyTuple_GET_ITEM(kwnames, i));
            return false;
        }
    }
    *bound = args[found];
    return true;
}

// Runs the body once the arguments are bound. The caller's reference keeps
// the function, and so its namespace, alive. `entered`: the caller has just
// found nothing to do at the eval breaker (monitor::quiet), so the run's
// first instruction has nothing to do either.
[[gnu::always_inline]] inline Ref run_body(Function* fn, PyObject* argument, PyThreadState* thread = nullptr,
                                           bool entered = false)
{
    const FunctionSpec& spec = *fn->spec;
    if (!fn->globals) {
        PyErr_Format(PyExc_RuntimeError, "%.200s() has been cleared", spec.name);
        return {};
    }
    NestingScope nesting(thread);
    if (!nesting.entered()) {
        return {};
    }
    // The run's frame, with the argument as its first local. Its locals go
    // when it is popped, after the run's result is made, in the order the
    // interpreter lets go of a Python function's.
    void* pushed = internals::ostrel_frame_push(nesting.thread(), fn->frame_function, argument, nullptr);
    if (!pushed) {
        return {};
    }
    Frame frame{.globals = fn->globals,
                .line = spec.first_line,
                .thread = nesting.thread(),
                .builtins = fn->builtins,
                .spec = &spec};
    frame.attach(pushed, PyFunction_GET_CODE(fn->frame_function));
    frame.sites = &fn->sites;
    // A Python function's first instruction handles what the eval breaker
    // signals, at its def line, then reports PY_START.
    Ref result = monitor::enter(frame, entered) ? spec.body(frame, argument) : Ref{};
    if (!result) {
        if (frame.unwind_line == 0) {
            reached(frame);
        }
        monitor::unwound(frame, frame.unwind_line);
    }
    nesting.leave();
    internals::ostrel_frame_pop(frame.thread, pushed);
    return result;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    Function* fn = as_function(self);
    const FunctionSpec& spec = *fn->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* argument = nullptr;
    if (spec.parameter) {
        if (!bind_one(fn, args, nargs, kwnames, &argument)) {
            Frame frame{.globals = fn->globals, .line = spec.first_line, .spec = &spec}; // no locals bound
            add_traceback(frame);
            return nullptr;
        }
    }
    else if (!bind_nothing(fn, nargs, kwnames)) {
        return nullptr;
    }
    return run_body(fn, argument).release();
}

// ---- attributes -------------------------------------------------------------
//
// Each attribute takes, refuses, forgets and reads back values as a Python
// function's does, with the same messages and audit events; a cleared function
// reads as a cleared Python function does. Only what a native body cannot honour
// is refused: another code object, and defaults for the parameter.

// __name__ and __qualname__: a str, never deleted.
template <PyObject* Function::* slot> PyObject* get_text(PyObject* self, void*)
{
    return Py_NewRef(as_function(self)->*slot);
}

int set_text_attribute(PyObject*& slot, PyObject* value, const char* message)
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_SETREF(slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*)
{
    return set_text_attribute(as_function(self)->name, value, "__name__ must be set to a string object");
}

int set_qualname(PyObject* self, PyObject* value, void*)
{
    return set_text_attribute(as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}

// __doc__ and __module__ take any value, __globals__ and __builtins__ none; a
// missing one (deleted, or cleared) reads as None.
template <PyObject* Function::* slot> PyObject* get_or_none(PyObject* self, void*)
{
    PyObject* value = as_function(self)->*slot;
    return Py_NewRef(value ? value : Py_None);
}

template <PyObject* Function::* slot> int set_any(PyObject* self, PyObject* value, void*)
{
    Py_XSETREF(as_function(self)->*slot, Py_XNewRef(value));
    return 0;
}

int set_readonly(PyObject*, PyObject*, void*)
{
    PyErr_SetString(PyExc_AttributeError, "readonly attribute");
    return -1;
}

PyObject* get_none(PyObject*, void*)
{
    Py_RETURN_NONE;
}

// The builtins a def statement in `globals` gives its function: the namespace
// of its __builtins__ module, else the running frame's.
Ref builtins_of(PyObject* globals)
{
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(globals, texts.dunder_builtins, &found) < 0) {
        return {};
    }
    Ref builtins = Ref::steal(found);
    if (!builtins) {
        return Ref::steal(PyEval_GetFrameBuiltins());
    }
    return PyModule_Check(builtins.get()) ? Ref::dup(PyModule_GetDict(builtins.get())) : std::move(builtins);
}

// Made by __annotate__(1) when there are none and it is callable (from
// 3.14), else an empty dict.
PyObject* get_annotations(PyObject* self, void*)
{
    Function* fn = as_function(self);
    if (!fn->annotations && fn->annotate && PyCallable_Check(fn->annotate)) {
        Ref made = Ref::steal(PyObject_CallOneArg(fn->annotate, texts.one));
        if (!made) {
            return nullptr;
        }
        if (!PyDict_Check(made.get())) {
            PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                         Py_TYPE(made.get())->tp_name);
            return nullptr;
        }
        Py_XSETREF(fn->annotations, made.release());
    }
    if (!fn->annotations) {
        fn->annotations = PyDict_New();
    }
    return Py_XNewRef(fn->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*)
{
    if (Py_IsNone(value)) {
        value = nullptr;
    }
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Function* fn = as_function(self);
    Py_XSETREF(fn->annotations, Py_XNewRef(value));
    Py_CLEAR(fn->annotate);
    return 0;
}

#if OSTREL_FUNCTIONS_HAVE_ANNOTATE
int set_annotate(PyObject* self, PyObject* value, void*)
{
    Function* fn = as_function(self);
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (!Py_IsNone(value) && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    Py_XSETREF(fn->annotate, Py_NewRef(value));
    if (!Py_IsNone(value)) {
        Py_CLEAR(fn->annotations);
    }
    return 0;
}
#endif

// Reading, setting and deleting __code__, __defaults__ and __kwdefaults__ raise
// the audit events that they raise on a Python function.
int audit(PyObject* self, const char* name, PyObject* value)
{
    return value ? PySys_Audit("object.__setattr__", "OsO", self, name, value)
                 : PySys_Audit("object.__delattr__", "Os", self, name);
}

template <PyObject* Function::* slot> PyObject* get_audited(PyObject* self, void* name)
{
    if (PySys_Audit("object.__getattr__", "Os", self, static_cast<const char*>(name)) < 0) {
        return nullptr;
    }
    PyObject* value = as_function(self)->*slot;
    return Py_NewRef(value ? value : Py_None);
}

// The code object describes the native body's signature and names; setting it
// to itself is all that is allowed.
int set_code(PyObject* self, PyObject* value, void*)
{
    Function* fn = as_function(self);
    if (!value || !PyCode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__code__ must be set to a code object");
        return -1;
    }
    if (value != fn->code) {
        PyErr_Format(PyExc_ValueError, "%.200s() runs native code; its __code__ cannot be replaced", fn->spec->name);
        return -1;
    }
    return audit(self, "__code__", value);
}

// None or deleting leaves no defaults. The parameter of a function that has one
// stays required, as the native binding has no default for it.
int set_defaults(PyObject* self, PyObject* value, void*)
{
    Function* fn = as_function(self);
    if (Py_IsNone(value)) {
        value = nullptr;
    }
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (value && fn->spec->parameter && PyTuple_GET_SIZE(value) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes its argument without a default: __defaults__ must be None or ()",
                     fn->spec->name);
        return -1;
    }
    if (audit(self, "__defaults__", value) < 0) {
        return -1;
    }
    Py_XSETREF(fn->defaults, Py_XNewRef(value));
    return 0;
}

// The functions have no keyword-only parameters, so these are never used, as
// a Python function's would not be.
int set_kwdefaults(PyObject* self, PyObject* value, void*)
{
    if (Py_IsNone(value)) {
        value = nullptr;
    }
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (audit(self, "__kwdefaults__", value) < 0) {
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_type_params(PyObject* self, void*)
{
    PyObject* type_params = as_function(self)->type_params;
    return type_params ? Py_NewRef(type_params) : PyTuple_New(0);
}

int set_type_params(PyObject* self, PyObject* value, void*)
{
    if (!value || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(as_function(self)->type_params, Py_NewRef(value));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_text<&Function::name>, set_name, nullptr, nullptr},
    {"__qualname__", get_text<&Function::qualname>, set_qualname, nullptr, nullptr},
    {"__doc__", get_or_none<&Function::doc>, set_any<&Function::doc>, nullptr, nullptr},
    {"__module__", get_or_none<&Function::module>, set_any<&Function::module>, nullptr, nullptr},
    {"__globals__", get_or_none<&Function::globals>, set_readonly, nullptr, nullptr},
    {"__builtins__", get_or_none<&Function::builtins>, set_readonly, nullptr, nullptr},
    {"__closure__", get_none, set_readonly, nullptr, nullptr},
    {"__code__", get_audited<&Function::code>, set_code, nullptr, const_cast<char*>("__code__")},
    {"__defaults__", get_audited<&Function::defaults>, set_defaults, nullptr, const_cast<char*>("__defaults__")},
    {"__kwdefaults__", get_audited<&Function::kwdefaults>, set_kwdefaults, nullptr,
     const_cast<char*>("__kwdefaults__")},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
#if OSTREL_FUNCTIONS_HAVE_ANNOTATE
    {"__annotate__", get_or_none<&Function::annotate>, set_annotate, nullptr, nullptr},
#endif
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled by reference, like a Python function: module and qualified name.
PyObject* function_reduce(PyObject* self, PyObject*)
{
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- lifecycle --------------------------------------------------------------

// Bound as a method when stored in a class, like a Python function.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*)
{
    if (!instance || Py_IsNone(instance)) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self)
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg)
{
    Function* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->code);
    Py_VISIT(fn->frame_function);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->builtins);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->annotate);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->type_params);
    Py_VISIT(fn->dict);
    return 0;
}

// What the collector leaves of a Python function it clears: every reference
// that may take part in a cycle dropped, the names empty, the code kept.
int function_clear(PyObject* self)
{
    Function* fn = as_function(self);
    Py_CLEAR(fn->frame_function);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->builtins);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->annotate);
    Py_CLEAR(fn->type_params);
    Py_SETREF(fn->name, Py_GetConstant(Py_CONSTANT_EMPTY_STR));
    Py_SETREF(fn->qualname, Py_GetConstant(Py_CONSTANT_EMPTY_STR));
    return 0;
}

void function_dealloc(PyObject* self)
{
    Function* fn = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakrefs) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->code);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "varnok.ostrel.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE
        | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// ---- construction -----------------------------------------------------------

Ref make_text(const char* value)
{
    if (!value) {
        return Ref::dup(Py_None);
    }
    return Ref::steal(PyUnicode_FromString(value));
}

// ---- code objects -----------------------------------------------------------
//
// A code object describes native code to the tools that read it (its name,
// file, lines and local names) and to monitoring tools (its positions), but
// the interpreter cannot run that code: whoever runs the code object (exec,
// eval, types.FunctionType) gets a NativeCodeError that names what to call
// instead.

// A TypeError whose message, when the class is called without arguments (as
// RAISE_VARARGS calls it), is the second constant of the code object that
// raises it.
PyTypeObject* native_code_error = nullptr;

Ref message_of_running_code(PyObject* error_class)
{
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyThreadState_GetFrame(PyThreadState_Get())));
    Ref code =
        frame ? Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame.get()))))
              : Ref{};
    PyObject* constants = code ? reinterpret_cast<PyCodeObject*>(code.get())->co_consts : nullptr;
    if (constants && PyTuple_GET_SIZE(constants) == 2 && PyTuple_GET_ITEM(constants, 0) == error_class
        && PyUnicode_Check(PyTuple_GET_ITEM(constants, 1))) {
        return Ref::dup(PyTuple_GET_ITEM(constants, 1));
    }
    return Ref::steal(PyUnicode_FromString("the code objects of varnok.ostrel's native functions cannot run"));
}

int native_code_error_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    initproc base = reinterpret_cast<PyTypeObject*>(PyExc_TypeError)->tp_init;
    if (PyTuple_GET_SIZE(args) > 0 || (kwargs && PyDict_GET_SIZE(kwargs) > 0)) {
        return base(self, args, kwargs);
    }
    Ref message = message_of_running_code(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Ref message_args = message ? Ref::steal(PyTuple_Pack(1, message.get())) : Ref{};
    return message_args ? base(self, message_args.get(), nullptr) : -1;
}

PyType_Slot native_code_error_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(native_code_error_init)},
    {Py_tp_doc, const_cast<char*>("Raised by running a code object that describes varnok.ostrel's native code.")},
    {0, nullptr},
};

PyType_Spec native_code_error_spec = {
    "varnok.ostrel.NativeCodeError", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, native_code_error_slots,
};

// What running the code object of `spec` (null: of the module body) says.
Ref refusal(const FunctionSpec* spec)
{
    if (!spec || !spec->body) {
        return Ref::steal(PyUnicode_FromString(
            "this code object describes varnok.ostrel's native module body and cannot run: import varnok.ostrel "
            "instead"));
    }
    const char* parameter = spec->parameter ? spec->parameter : "";
    return Ref::steal(PyUnicode_FromFormat("this code object describes varnok.ostrel's native function %s(%s) and "
                                           "cannot run: call varnok.ostrel.%s(%s) instead",
                                           spec->name, parameter, spec->name, parameter));
}

// The instructions and their positions: one instruction for each line from
// `first_line` to `last_line`, then the kClosingUnits. The lines'
// instructions do nothing when run: a RESUME at the first line, where a
// Python function starts and where tools may instrument from, then NOPs. The
// closing ones raise the first constant, NativeCodeError (LOAD_CONST 0,
// RAISE_VARARGS 1). In the code object of a function or the module body the
// first of them is the position without a line (monitor.hpp), and both have
// no location; a traceback entry's frame stands after its RESUME, so there
// they stand at the line. The location table is CPython's
// (Objects/locations.md): an entry of one code unit for each line, "no
// columns" (code 13) with the line's difference from the one before as a
// signed varint, then one entry for the closing units: "no location" (code
// 15), or "no columns" again at the same line.
Ref positions(int first_line, int last_line, bool closing_at_line, Ref& table)
{
    const Py_ssize_t lines = last_line - first_line + 1;
    Ref code = Ref::steal(PyBytes_FromStringAndSize(nullptr, 2 * (lines + kClosingUnits)));
    table = Ref::steal(PyBytes_FromStringAndSize(nullptr, 2 * lines + (closing_at_line ? 2 : 1)));
    if (!code || !table) {
        return {};
    }
    char* units = PyBytes_AS_STRING(code.get());
    char* entries = PyBytes_AS_STRING(table.get());
    constexpr unsigned kNoColumns = 0x80U | (13U << 3U);
    constexpr unsigned kNoLocation = 0x80U | (15U << 3U);
    for (Py_ssize_t i = 0; i < lines; ++i) {
        units[2 * i] = static_cast<char>(i == 0 ? internals::kResume : internals::kNop);
        units[2 * i + 1] = 0;
        entries[2 * i] = static_cast<char>(kNoColumns);
        entries[2 * i + 1] = static_cast<char>(i == 0 ? 0 : 2); // +0 from co_firstlineno, then +1 each
    }
    const char closing[2 * kClosingUnits] = {internals::kLoadConst, 0, internals::kRaiseVarargs, 1};
    std::memcpy(units + 2 * lines, closing, sizeof closing);
    entries[2 * lines] =
        static_cast<char>((closing_at_line ? kNoColumns : kNoLocation) | static_cast<unsigned>(kClosingUnits - 1));
    if (closing_at_line) {
        entries[2 * lines + 1] = 0; // +0: the last line
    }
    return code;
}

// The code object of `spec` (null: of the module body) as named, from
// `first_line` to `last_line`: a traceback entry's (`entry`) has no local
// names.
Ref code_object(const FunctionSpec* spec, const char* name, int first_line, int last_line, bool entry)
{
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(line::kFile, name, first_line)));
    const std::size_t local_count = entry ? 0 : spec->local_count;
    Ref varnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(local_count)));
    Ref table;
    Ref units = positions(first_line, last_line, entry, table);
    Ref message = refusal(spec);
    Ref constants =
        message ? Ref::steal(PyTuple_Pack(2, reinterpret_cast<PyObject*>(native_code_error), message.get())) : Ref{};
    if (!code || !varnames || !units || !constants) {
        return {};
    }
    for (std::size_t i = 0; i < local_count; ++i) {
        PyObject* local = PyUnicode_InternFromString(spec->local_names[i]);
        if (!local) {
            return {};
        }
        PyTuple_SET_ITEM(varnames.get(), static_cast<Py_ssize_t>(i), local);
    }
    Ref argcount = Ref::steal(PyLong_FromLong(!entry && spec->parameter ? 1 : 0));
    Ref nlocals = Ref::steal(PyLong_FromSize_t(local_count));
    // A function's code has fast locals, as a def statement's has.
    Ref flags = Ref::steal(PyLong_FromLong(!entry && spec && spec->body ? CO_OPTIMIZED | CO_NEWLOCALS : 0));
    Ref replace = Ref::steal(PyObject_GetAttr(code.get(), texts.replace));
    if (!argcount || !nlocals || !flags || !replace) {
        return {};
    }
    // The stack holds the class LOAD_CONST pushes.
    PyObject* values[] = {varnames.get(), argcount.get(),  nlocals.get(), units.get(),
                          table.get(),    constants.get(), texts.one,     flags.get()};
    return Ref::steal(PyObject_Vectorcall(replace.get(), values, 0, texts.kw_code_replace));
}

} // namespace

Ref make_code(const FunctionSpec& spec, bool frame)
{
    return code_object(&spec, frame ? spec.traceback_name : spec.name, spec.first_line, spec.last_line, false);
}

Ref make_frame_function(const FunctionSpec& spec, PyObject* globals, PyObject* builtins)
{
    Ref code = make_code(spec, true);
    Ref function = code ? Ref::steal(PyFunction_New(code.get(), globals)) : Ref{};
    if (function) {
        Py_SETREF(reinterpret_cast<PyFunctionObject*>(function.get())->func_builtins, Py_NewRef(builtins));
    }
    return function;
}

Ref make_entry_code(const FunctionSpec* spec, int line)
{
    return code_object(spec, spec ? spec->traceback_name : line::kInitName, line, line, true);
}

namespace {

Ref make_annotations(const FunctionSpec& spec)
{
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return {};
    }
    auto add = [&](const char* key, const char* value) {
        if (!value) {
            return true;
        }
        Ref text = Ref::steal(PyUnicode_FromString(value));
        return text && PyDict_SetItemString(annotations.get(), key, text.get()) == 0;
    };
    if (!add(spec.parameter, spec.parameter_annotation) || !add("return", spec.return_annotation)) {
        return {};
    }
    return annotations;
}

} // namespace

namespace {

// Anything but one of the module's own functions with the arguments it takes;
// kept out of line so that the runs the module's functions nest through it
// take no stack for it.
[[gnu::noinline]] Ref call_generic(Frame& frame, PyObject* callable, std::span<Ref> args, PyObject* kwnames,
                                   bool& python_code)
{
    python_code = Py_IS_TYPE(callable, function_type)
                  || internals::runs_inline(frame.thread, callable, process.inline_vectorcall);
    // Room in front of the arguments, which the callee may use.
    PyObject* vector[1 + kMostArguments] = {};
    const std::size_t count = args.size() < kMostArguments ? args.size() : kMostArguments;
    for (std::size_t i = 0; i < count; ++i) {
        vector[i + 1] = args[i].get();
    }
    const std::size_t named = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(
        PyObject_Vectorcall(callable, vector + 1, (count - named) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

} // namespace

Ref call(Frame& frame, Ref callable, std::span<Ref> args, PyObject* kwnames)
{
    PyObject* target = callable.get();
    auto first = [&] { return args.empty() ? nullptr : args[0].get(); };
    Ref result;
    bool python_code = true;
    // As the interpreter's instrumented CALL: the events that start with the
    // call end with it.
    const bool reported = monitor::reporting(frame);
    if (reported && monitor::call_reported(frame, target, first()) < 0) {
        // a tool's CALL callback raised: the call is not made
    }
    else if (Py_IS_TYPE(target, function_type) && !kwnames
             && args.size() == (as_function(target)->spec->parameter ? 1U : 0U)) {
        result = run_body(as_function(target), first(), frame.thread, !reported);
    }
    else {
        result = call_generic(frame, target, args, kwnames, python_code);
        if (!python_code && reported) {
            result = monitor::c_reported(frame, target, first(), std::move(result));
        }
    }
    if (!internals::kInputsReleasedTopFirst) {
        callable = Ref{};
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        args[internals::kInputsReleasedTopFirst ? args.size() - 1 - i : i] = Ref{};
    }
    callable = Ref{};
    if (result && !python_code && !internals::handle_pending(frame.thread)) {
        return {};
    }
    return result;
}

void forget_function_type()
{
    function_type = nullptr;
    native_code_error = nullptr;
}

bool init_function_type()
{
    if (!function_type) {
        function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    }
    if (function_type && !native_code_error) {
        native_code_error =
            reinterpret_cast<PyTypeObject*>(PyType_FromSpecWithBases(&native_code_error_spec, PyExc_TypeError));
    }
    if ((!function_type || !native_code_error) && !PyErr_Occurred()) {
        PyErr_NoMemory(); // 3.13.0 lets a failed allocation of the type go unsaid
    }
    return function_type && native_code_error;
}

Ref make_function(const FunctionSpec& spec, PyObject* globals)
{
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref module = Ref::steal(PyUnicode_InternFromString("varnok.ostrel"));
    Ref doc = make_text(spec.doc);
    Ref code = make_code(spec);
    Ref builtins = builtins_of(globals);
    Ref frame_function = builtins ? make_frame_function(spec, globals, builtins.get()) : Ref{};
    Ref annotations = make_annotations(spec);
    if (!name || !module || !doc || !code || !frame_function || !builtins || !annotations) {
        return {};
    }
    Function* fn = PyObject_GC_New(Function, function_type);
    if (!fn) {
        return {};
    }
    // No failures from this point on.
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->qualname = Py_NewRef(name.get());
    fn->name = name.release();
    fn->module = module.release();
    fn->doc = doc.release();
    fn->code = code.release();
    fn->frame_function = frame_function.release();
    fn->globals = Py_NewRef(globals);
    fn->builtins = builtins.release();
    fn->annotations = annotations.release();
    fn->annotate = OSTREL_FUNCTIONS_HAVE_ANNOTATE ? Py_NewRef(Py_None) : nullptr;
    fn->defaults = nullptr;
    fn->kwdefaults = nullptr;
    fn->type_params = nullptr;
    fn->dict = nullptr;
    fn->weakrefs = nullptr;
    new (&fn->sites) Sites{.described = &fn->code};
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

} // namespace ostrel
