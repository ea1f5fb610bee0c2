// Every part of the interpreter the module reads or writes that is not public
// API, each behind a named accessor, with what it relies on and why no public
// API serves.
//
// All of them are the layout of the CPython release the module is built
// against; PyInit_ostrel refuses an interpreter of another minor version, or a
// free-threaded build, whose layout differs (interpreter_supported).
#pragma once

#include <Python.h>
#include <opcode_ids.h>

#include <cstdint>

#if defined(Py_GIL_DISABLED)
#error "varnok.ostrel needs the interpreter lock: it cannot be built for a free-threaded CPython"
#endif

// The interpreter's handling of what its eval breaker signals (pending signals
// and calls, a request from another thread for the interpreter lock, a
// scheduled collection, an asynchronous exception), as its own instructions
// run it. Exported, declared only in the internal headers.
extern "C" int _Py_HandlePending(PyThreadState* thread);

namespace ostrel::internals {

// The low bits of a 3.14 frame's local (_PyStackRef) that tag it rather than
// address the object; frames.c checks the figure against the headers.
inline constexpr std::uintptr_t kLocalTagBits = PY_VERSION_HEX >= 0x030E0000 ? 3U : 0U;

// ---- the eval breaker (PyThreadState.eval_breaker) ------------------------------
//
// The interpreter checks it after every call of anything but a Python
// function, at the start of every Python function and at every backward jump,
// and handles what it signals there and then. Native code that stands for
// Python code has to check at the same places, or a signal made pending by a
// call surfaces at another statement. No public API tells whether anything is
// pending (PyErr_CheckSignals handles signals only, and only on the main
// thread; it ignores a request for the interpreter lock or a scheduled
// collection).

// CPython's _PY_EVAL_EVENTS_MASK (pycore_ceval.h): the low _PY_EVAL_EVENTS_BITS
// = 8 bits are events to handle; the bits above hold the instrumentation
// version, which is no concern of the module.
inline constexpr std::uintptr_t kPyEvalEventsMask = (std::uintptr_t{1} << 8U) - 1U;

inline bool events_pending(PyThreadState* thread)
{
    return (__atomic_load_n(&thread->eval_breaker, __ATOMIC_RELAXED) & kPyEvalEventsMask) != 0;
}

// Handles what is pending, as the interpreter's CHECK_EVAL_BREAKER does; false
// with an exception set when that raised (a signal handler's exception).
inline bool handle_pending(PyThreadState* thread)
{
    return !events_pending(thread) || _Py_HandlePending(thread) == 0;
}

// The frame evaluator the interpreter was given (PEP 523's hook, which
// debuggers set; interp->eval_frame, null for the default), read where the
// interpreter's own CALL reads it. _PyInterpreterState_GetEvalFrameFunc tells
// the same at the cost of a call, at every call the module makes.
extern "C" const size_t ostrel_eval_frame_offset;

inline bool default_frame_evaluator(PyInterpreterState* interpreter)
{
    return *reinterpret_cast<void**>(reinterpret_cast<char*>(interpreter) + ostrel_eval_frame_offset) == nullptr;
}

// Whether the interpreter's CALL instruction runs `callable` as a frame of its
// own loop (a plain Python function, or a method bound to one, under the
// default frame evaluator), in which case it checks the eval breaker when that
// frame starts and not after the call. `inline_vectorcall` is the vectorcall
// the interpreter gives a new function. PyFunction_Check accepts no subclass
// anyway.
inline bool runs_inline(PyThreadState* thread, PyObject* callable, vectorcallfunc inline_vectorcall)
{
    if (Py_IS_TYPE(callable, &PyMethod_Type)) {
        callable = PyMethod_GET_FUNCTION(callable);
    }
    return Py_IS_TYPE(callable, &PyFunction_Type)
           && reinterpret_cast<PyFunctionObject*>(callable)->vectorcall == inline_vectorcall
           && default_frame_evaluator(thread->interp);
}

// ---- the interpreter frames of the functions' runs (frames.c) ------------------------
//
// Pushing, linking, clearing and popping an interpreter frame, and its
// locals, are the interpreter's internal API; frames.c is compiled against
// its internal headers and says what each step relies on.

extern "C" {
// Pushes a frame for the Python function `function` (borrowed) with
// `argument` (borrowed, or null) as its first local, or with the namespace
// `locals` (borrowed, or null: fast locals), and links it as the thread's
// current frame; null with MemoryError set when the thread's data stack
// cannot grow.
void* ostrel_frame_push(PyThreadState* thread, PyObject* function, PyObject* argument, PyObject* locals);
// Unlinks the frame pushed last on the thread, then clears and pops it.
void ostrel_frame_pop(PyThreadState* thread, void* frame);
// Puts `value` (stolen, or null) in local `slot`; returns what it held (owned, or null).
PyObject* ostrel_frame_exchange(void* frame, int slot, PyObject* value);
extern const size_t ostrel_frame_instr_offset;
extern const size_t ostrel_frame_locals_offset;
}

// A local of a pushed frame, borrowed: a null local reads as null.
inline PyObject* local_of(std::uintptr_t slot)
{
    return reinterpret_cast<PyObject*>(slot & ~kLocalTagBits); // NOLINT(performance-no-int-to-ptr): a tagged pointer
}

// ---- the recursion limit (PyThreadState.py_recursion_remaining) -------------------
//
// A run of one of the module's functions counts against the recursion limit as
// a Python frame does. Py_EnterRecursiveCall counts C recursion
// (c_recursion_remaining), a different budget with a different limit.

inline int& python_depth_left(PyThreadState* thread)
{
    return thread->py_recursion_remaining;
}

// ---- the handled exception (PyThreadState.exc_info->exc_value) --------------------
//
// An `except` block makes the exception it caught the one being handled in its
// own frame's slot, which is what `sys.exception()` reads and what an
// exception raised meanwhile chains to. PyErr_SetHandledException writes the
// topmost slot, which during a generator's run is the generator's, not the
// running function's.

inline PyObject*& handled_exception(PyThreadState* thread)
{
    return thread->exc_info->exc_value;
}

// ---- the watchers of a dictionary (low bits of PyDictObject.ma_version_tag,
//      named _ma_watcher_tag from 3.14) ----------------------------------------------
//
// Bit i is set while watcher i watches the dict (PyDict_Watch); the interpreter
// reads these bits to decide whom to tell of a change. Whether a dict is still
// watched has no public API: PyDict_Watch sets the bit, PyDict_Unwatch (which
// any extension may call with any watcher's identifier) clears it.
inline constexpr int kDictMaxWatchers = 8; // CPython's DICT_MAX_WATCHERS

inline bool watched_by(PyObject* dict, int watcher)
{
#if PY_VERSION_HEX >= 0x030E0000
    const uint64_t tag = reinterpret_cast<PyDictObject*>(dict)->_ma_watcher_tag;
#else
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const uint64_t tag = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
#endif
    return watcher >= 0 && watcher < kDictMaxWatchers && ((tag >> static_cast<unsigned>(watcher)) & 1U) != 0;
}

// ---- the interpreter's table of dict watchers (interp->dict_state.watchers) ---------
//
// The callback registered under each identifier; a slot is emptied by
// PyDict_ClearWatcher, which any extension may call with any identifier, and
// may then be given to another callback. No public API tells who holds a
// slot. The table's offset in PyInterpreterState comes from the
// interpreter's internal headers, in layout.c.
extern "C" const size_t ostrel_dict_watchers_offset;

inline PyDict_WatchCallback* dict_watcher_slot(PyInterpreterState* interpreter, int watcher)
{
    return reinterpret_cast<PyDict_WatchCallback*>(reinterpret_cast<char*>(interpreter) + ostrel_dict_watchers_offset)
           + watcher;
}

// ---- sys.monitoring's tools (PyThreadState.tracing and .what_event,
//      interp->monitoring_callables) ----------------------------------------------
//
// The monitoring C API fires C_RETURN and C_RAISE with (code, offset, value),
// where the interpreter, and every tool's callback, has (code, offset,
// callable, first argument): cProfile would read past the arguments it is
// given. So the module calls those tools' callbacks itself, as the interpreter
// does: the callback registered for the tool and event, with the thread
// marked as running a tool (tracing, what_event) meanwhile. No event is
// reported while `tracing` is set, as the interpreter reports none then.
extern "C" const size_t ostrel_monitoring_callables_offset;
extern "C" const int ostrel_monitoring_events; // CPython's _PY_MONITORING_EVENTS

inline int& tracing(PyThreadState* thread)
{
    return thread->tracing;
}

inline int& what_event(PyThreadState* thread)
{
    return thread->what_event;
}

inline PyObject*& monitoring_callable(PyInterpreterState* interpreter, int tool, int event)
{
    auto* table =
        reinterpret_cast<PyObject**>(reinterpret_cast<char*>(interpreter) + ostrel_monitoring_callables_offset);
    return table[tool * ostrel_monitoring_events + event];
}

// ---- where tools disabled events, and local events ------------------------------
//
// A tool's callback that returns sys.monitoring.DISABLE turns its event off
// at that site until the interpreter instruments the code afresh after
// sys.monitoring.restart_events(), which sets the interpreter's
// last_restart_version (pycore_interp.h); the module's sites follow it
// (frame.hpp's Sites). Events that sys.monitoring.set_local_events sets on
// one code object are in the interpreter's instrumentation data of the code
// (PyCodeObject._co_monitoring, null until the code is first instrumented),
// whose local_monitors has each local event's tools. No public API tells
// either.
extern "C" const size_t ostrel_last_restart_offset;
extern "C" const size_t ostrel_code_monitoring_offset;
extern "C" const size_t ostrel_local_monitors_offset;

inline std::uintptr_t last_restart(PyInterpreterState* interpreter)
{
    return *reinterpret_cast<std::uintptr_t*>(reinterpret_cast<char*>(interpreter) + ostrel_last_restart_offset);
}

// The code's local monitors (one byte of tools for each local event), or
// null.
inline const std::uint8_t* local_monitors(PyObject* code)
{
    const char* data = *reinterpret_cast<char* const*>(reinterpret_cast<char*>(code) + ostrel_code_monitoring_offset);
    return data ? reinterpret_cast<const std::uint8_t*>(data + ostrel_local_monitors_offset) : nullptr;
}

// ---- a type's version tag (PyTypeObject.tp_version_tag) -------------------------
//
// Renewed by the interpreter at every change of the type or of any of its
// bases, never handed out twice in its interpreter, and 0 for a type it has
// stopped tagging; its own attribute caches rely on it. The field is in the
// public struct; what it means is not documented.

inline unsigned int type_version(PyTypeObject* type)
{
    return type->tp_version_tag;
}

// What the attribute lookup of `type` finds for `name` along its bases,
// without calling anything (a borrowed reference, or null). The interpreter's
// own _PyType_Lookup, answered from its cache of type attributes.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name)
{
    return _PyType_Lookup(type, name);
}

// ---- what Python functions have, by release ------------------------------------------

// From 3.14 a function's annotations are made on demand by its __annotate__
// (PEP 649); the module's functions carry the attribute where Python's do.
#define OSTREL_FUNCTIONS_HAVE_ANNOTATE (PY_VERSION_HEX >= 0x030E0000)

// The order in which an instruction lets go of its inputs once done with them:
// in the order they were pushed up to 3.13 (a call's callable, then its
// arguments; a comparison's left operand, then its right); from 3.14 from the
// top of the stack down (the arguments, last first, then the callable; the
// right operand, then the left).
inline constexpr bool kInputsReleasedTopFirst = PY_VERSION_HEX >= 0x030E0000;

// The instructions the module's code objects are made of (function.cpp),
// whose numbers differ from release to release. None of them is followed by
// inline cache entries, in 3.13 or 3.14 (_PyOpcode_Caches in
// pycore_opcode_metadata.h).
inline constexpr int kNop = NOP;
inline constexpr int kResume = RESUME;
inline constexpr int kLoadConst = LOAD_CONST;
inline constexpr int kRaiseVarargs = RAISE_VARARGS;

// ---- the interpreter itself ---------------------------------------------------------

// True when the running interpreter has the layout these accessors were built
// for; false with ImportError set otherwise. Safe to call from an interpreter
// of any layout: it touches no object.
bool interpreter_supported();

} // namespace ostrel::internals
