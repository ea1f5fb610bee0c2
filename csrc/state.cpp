#include "state.hpp"

#include "ref.hpp"

namespace ostrel {

Texts texts{};
ProcessState process{};

namespace {

struct TextEntry {
    PyObject* Texts::* slot;
    const char* value;
};

constexpr TextEntry kTextEntries[] = {
#define OSTREL_TEXT_ENTRY(field, value) {&Texts::field, value},
    OSTREL_TEXTS(OSTREL_TEXT_ENTRY)
#undef OSTREL_TEXT_ENTRY
};

bool store(PyObject*& slot, PyObject* value)
{
    if (!value) {
        return false;
    }
    Py_XSETREF(slot, value);
    return true;
}

bool make_texts()
{
    for (const TextEntry& entry : kTextEntries) {
        if (!store(texts.*entry.slot, PyUnicode_InternFromString(entry.value))) {
            return false;
        }
    }
    return store(texts.kw_subsystem, Py_BuildValue("(s)", "subsystem"))
           && store(texts.kw_timeout, Py_BuildValue("(s)", "timeout"))
           && store(texts.kw_code_replace,
                    Py_BuildValue("(ssssssss)", "co_varnames", "co_argcount", "co_nlocals", "co_code", "co_linetable",
                                  "co_consts", "co_stacksize", "co_flags"))
           && store(texts.tool_timeout, PyLong_FromLong(120)) && store(texts.zero, PyLong_FromLong(0))
           && store(texts.one, PyLong_FromLong(1)) && store(texts.fromlist_enum, PyTuple_Pack(1, texts.Enum))
           && store(texts.fromlist_union, PyTuple_Pack(1, texts.Union))
           && store(texts.fromlist_logger, PyTuple_Pack(1, texts.logger));
}

// The vectorcall of a plain Python function, from a throwaway one.
vectorcallfunc inline_vectorcall()
{
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("", "", 0)));
    Ref globals = Ref::steal(PyDict_New());
    Ref function = code && globals ? Ref::steal(PyFunction_New(code.get(), globals.get())) : Ref{};
    return function ? reinterpret_cast<PyFunctionObject*>(function.get())->vectorcall : nullptr;
}

// Run by the owner's finalisation, after its at-exit functions and its
// modules' teardown, before its last collection. Nothing is released or
// forgotten here: finalisers that the rest of the finalisation runs may
// still call the functions, which keep working on what they hold.
void owner_finalised(void*)
{
    process.finalised = true;
}

// sys.monitoring's sentinels, which events carry and tools return.
bool monitoring_sentinels()
{
    // Looked up so that an error of the lookup is raised (PySys_GetObject()
    // would print and drop it).
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    Ref monitoring = sys ? Ref::steal(PyObject_GetAttrString(sys.get(), "monitoring")) : Ref{};
    return monitoring && store(process.monitoring_missing, PyObject_GetAttrString(monitoring.get(), "MISSING"))
           && store(process.monitoring_disable, PyObject_GetAttrString(monitoring.get(), "DISABLE"));
}

} // namespace

bool ProcessState::claim()
{
    PyInterpreterState* current = PyInterpreterState_Get();
    const int64_t id = PyInterpreterState_GetID(current);
    if (id == -1 && PyErr_Occurred()) {
        return false;
    }
    if (finalised) {
        // The owner is gone, and every object of its with it, the ones
        // held here included: forgotten, never touched.
        process = ProcessState{};
        texts = Texts{};
    }
    if (owner == -1) {
        if (PyUnstable_AtExit(current, owner_finalised, nullptr) < 0) {
            return false;
        }
        owner = id;
        return true;
    }
    if (id != owner) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return false;
    }
    return true;
}

bool ProcessState::prepare()
{
    if (!ready) {
        inline_vectorcall = ostrel::inline_vectorcall();
        ready = inline_vectorcall && make_texts() && monitoring_sentinels();
    }
    return ready;
}

} // namespace ostrel
