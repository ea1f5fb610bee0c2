#include "function.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lines.hpp"
#include "stack.hpp"

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
    PyObject* globals;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;
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

bool is_parameter_name(PyObject* keyword)
{
    return PyUnicode_Check(keyword) && PyUnicode_EqualToUTF8(keyword, "device_type") == 1;
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
        if (is_parameter_name(first)) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, first);
        }
        else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, first);
        }
        return false;
    }
    Py_ssize_t found = -1;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (is_parameter_name(PyTuple_GET_ITEM(kwnames, i))) {
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
// the function, and so its namespace, alive.
Ref run_body(Function* fn, PyObject* argument)
{
    const FunctionSpec& spec = *fn->spec;
    if (!fn->globals) {
        PyErr_Format(PyExc_RuntimeError, "%.200s() has been cleared", spec.name);
        return {};
    }
    NestingScope nesting;
    if (!nesting.entered()) {
        return {};
    }
    // The local variables go when the run ends, after its result is made, in
    // the order of the code object's names, as a Python function's do.
    Ref locals[kMaxLocals];
    Frame frame{fn->globals, spec.first_line,  spec.traceback_name,
                locals,      spec.local_names, static_cast<int>(spec.local_count)};
    if (argument) {
        frame.store(0, Ref::dup(argument));
    }
    Ref result = spec.body(frame, argument);
    if (!result) {
        add_traceback(frame);
    }
    for (Ref& local : locals) {
        local = Ref{};
    }
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
            Frame frame{fn->globals, spec.first_line, spec.traceback_name};
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

PyObject* get_name(PyObject* self, void*)
{
    return Py_NewRef(as_function(self)->name);
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

PyObject* get_qualname(PyObject* self, void*)
{
    return Py_NewRef(as_function(self)->qualname);
}

int set_qualname(PyObject* self, PyObject* value, void*)
{
    return set_text_attribute(as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* get_annotations(PyObject* self, void*)
{
    Function* fn = as_function(self);
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
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

// __doc__ and __module__ take any value; deleting one leaves None.
PyObject* get_doc(PyObject* self, void*)
{
    PyObject* doc = as_function(self)->doc;
    return Py_NewRef(doc ? doc : Py_None);
}

int set_doc(PyObject* self, PyObject* value, void*)
{
    Py_XSETREF(as_function(self)->doc, Py_XNewRef(value));
    return 0;
}

PyObject* get_module(PyObject* self, void*)
{
    PyObject* module = as_function(self)->module;
    return Py_NewRef(module ? module : Py_None);
}

int set_module(PyObject* self, PyObject* value, void*)
{
    Py_XSETREF(as_function(self)->module, Py_XNewRef(value));
    return 0;
}

PyObject* get_none(PyObject*, void*)
{
    Py_RETURN_NONE;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(Function, code), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
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
    Py_VISIT(fn->globals);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->dict);
    return 0;
}

// Drops what may take part in a reference cycle; name, qualname and code stay.
int function_clear(PyObject* self)
{
    Function* fn = as_function(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->dict);
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

Ref make_code(const FunctionSpec& spec)
{
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(line::kFile, spec.name, spec.first_line)));
    Ref varnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.local_count)));
    if (!code || !varnames) {
        return {};
    }
    for (std::size_t i = 0; i < spec.local_count; ++i) {
        PyObject* local = PyUnicode_InternFromString(spec.local_names[i]);
        if (!local) {
            return {};
        }
        PyTuple_SET_ITEM(varnames.get(), static_cast<Py_ssize_t>(i), local);
    }
    Ref argcount = Ref::steal(PyLong_FromLong(spec.parameter ? 1 : 0));
    Ref nlocals = Ref::steal(PyLong_FromSize_t(spec.local_count));
    Ref replace = Ref::steal(PyObject_GetAttr(code.get(), texts.replace));
    if (!argcount || !nlocals || !replace) {
        return {};
    }
    PyObject* values[] = {varnames.get(), argcount.get(), nlocals.get()};
    return Ref::steal(PyObject_Vectorcall(replace.get(), values, 0, texts.kw_code_replace));
}

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

Ref call(PyObject* callable, PyObject* argument)
{
    if (Py_TYPE(callable) == function_type) {
        Function* fn = as_function(callable);
        if ((fn->spec->parameter != nullptr) == (argument != nullptr)) {
            return run_body(fn, argument);
        }
    }
    PyObject* args[2] = {nullptr, argument};
    const size_t nargsf = (argument ? 1U : 0U) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    PyTypeObject* type = Py_TYPE(callable);
    if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) {
        // The callable's own vectorcall entry, as PyObject_Vectorcall finds it.
        vectorcallfunc entry = nullptr;
        std::memcpy(static_cast<void*>(&entry), reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset,
                    sizeof entry);
        if (entry) {
            PyObject* result = entry(callable, args + 1, nargsf, nullptr);
            if (!result && !PyErr_Occurred()) {
                PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", callable);
            }
            return Ref::steal(result);
        }
    }
    return Ref::steal(PyObject_Vectorcall(callable, args + 1, nargsf, nullptr));
}

void forget_function_type()
{
    function_type = nullptr;
}

bool init_function_type()
{
    if (!function_type) {
        function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    }
    return function_type != nullptr;
}

Ref make_function(const FunctionSpec& spec, PyObject* globals)
{
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref module = Ref::steal(PyUnicode_InternFromString("varnok.ostrel"));
    Ref doc = make_text(spec.doc);
    Ref code = make_code(spec);
    Ref annotations = make_annotations(spec);
    if (!name || !module || !doc || !code || !annotations) {
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
    fn->globals = Py_NewRef(globals);
    fn->annotations = annotations.release();
    fn->dict = nullptr;
    fn->weakrefs = nullptr;
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

} // namespace ostrel
