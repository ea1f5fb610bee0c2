// Process-wide state and the small operations every part of the module shares:
// equality tests, result checks, the error line, traceback entries and walks
// over what a caller hands in. Name and attribute lookups are in lookup.hpp.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

#include "lookup.hpp"
#include "ref.hpp"

namespace ostrel {

// Interned names and fixed texts, made once per process and never released.
struct Texts {
    // module-level names
    PyObject *psutil, *pyudev, *Enum, *Union, *logger, *DeviceType;
    PyObject *MAC, *DISK, *CUDA;
    PyObject *get_mac_address, *get_disk_serial_number, *get_machine_code, *get_gpu_uuid, *get_machine_string;
    PyObject *dunder_name, *dunder_builtins, *dunder_import, *dunder_test, *dunder_module, *dunder_qualname,
        *dunder_prepare, *dunder_main;
    PyObject *report_mac, *report_disk, *report_cuda, *report_error; // ostrel, disk_code, cuda_uuid, e
    PyObject *print, *enum_module, *typing_module, *loguru_module, *subprocess;
    // attributes and keys
    PyObject *net_if_addrs, *items, *family, *AF_LINK, *address;
    PyObject *Context, *list_devices, *properties, *ID_SERIAL;
    PyObject *check_output, *decode, *strip, *replace;
    // fixed values
    PyObject *eth0, *wlan0, *lo, *docker, *veth, *block;
    PyObject *nvidia_smi, *query_gpu, *format_csv, *utf_8, *separator, *empty;
    PyObject *prefix_mac, *prefix_disk, *prefix_gpu, *prefix_code;
    PyObject *prefix_report_cuda, *prefix_report_mac, *prefix_report_disk, *prefix_report_error;
    PyObject* device_type_name;
    // keyword-name tuples and other constants
    PyObject *kw_subsystem, *kw_timeout, *kw_code_replace;
    PyObject *tool_timeout, *zero;
    PyObject *fromlist_enum, *fromlist_union, *fromlist_logger;
};

extern Texts texts;
bool init_texts(); // false with an exception set

// Everything the module keeps for the whole life of its interpreter. Touched
// only with the interpreter lock held. Tied to the interpreter that first made
// the module: when that interpreter is finalised all of it is forgotten (the
// interpreter takes its objects down with it), so that an embedding host that
// initialises a new interpreter afterwards gets a fresh load.
struct ProcessState {
    PyInterpreterState* interpreter = nullptr; // the owner; null before the first load
    int64_t owner = -1;                        // its identifier
    PyObject* module = nullptr;                // strong: the one module object, from the start of its body
    PyObject* builtins = nullptr;              // strong: the builtins module
    PyObject* print = nullptr;                 // strong: builtins.print as it was when the body ran
    PyObject* traceback_codes = nullptr;       // strong: "name:line" -> code object of a traceback entry

    // Records the running interpreter as the owner, or checks that it is the
    // owner; false with ImportError set for any other interpreter.
    bool claim();
};

extern ProcessState process;

// Where a running function is, and its local variables, so that an escaping
// exception gets a traceback entry at the line of the statement that raised
// it, and the objects it names live exactly as long as a Python function's
// local variables would.
struct Frame {
    PyObject* globals;               // borrowed: the module namespace
    int line;                        // the statement running now
    PyThreadState* thread = nullptr; // the thread running it
    PyObject* builtins = nullptr;    // borrowed: the namespace of its builtins
    const char* name = nullptr;      // of the traceback entry
    Ref* locals = nullptr;           // the local variables, in the code object's order
    const char* const* local_names = nullptr;
    int local_count = 0;
    Ref traceback_locals; // their values as this run's traceback entries hold them
    bool body = false;    // the module's body, whose local names are its globals

    // `name = value`: the old value goes once the new one is in place.
    void store(int slot, Ref value) { Ref old = std::exchange(locals[slot], std::move(value)); }
    [[nodiscard]] PyObject* local(int slot) const { return locals[slot].get(); }
};

// `left == right` followed by its truth value: 1, 0, or -1 with an exception
// set. As the interpreter does, the operands are let go before the truth test.
int equals(Ref left, Ref right);
// The same for operands that something else keeps alive.
int equals(PyObject* left, PyObject* right);

// Whether `==` on the object is its identity and runs no code (object's own
// comparison, which enumeration members keep).
inline bool compares_by_identity(PyObject* object)
{
    return Py_TYPE(object)->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

// `import <name>` (`fromlist` null) or `from <name> import ...`, as the
// interpreter's import statement runs it: through the `__import__` of the
// frame's builtins, whatever is bound there now, with the frame's globals,
// `locals` (None in a function) and level 0.
Ref import_name(Frame& frame, PyObject* name, PyObject* fromlist, PyObject* locals);

// A query result must be exactly a str or None.
Ref checked_text(Ref value);

// The text an f-string replacement field gives: a str unchanged, anything else format(value, "").
Ref text_of(PyObject* value);

Ref empty_text();

// print(prefix + text_of(value)) through the cached print.
int print_line(PyObject* prefix, PyObject* value);

// Adds the frame's traceback entry, at its current line, to the exception
// being raised.
void add_traceback(Frame& frame);

// What an `except ... as e:` clause does with the exception being raised:
// takes it, with the function's own traceback entry at the line that raised
// it, and makes it the exception being handled in the running frame's slot
// for as long as the block lives, so that an exception raised meanwhile
// chains to it; the slot gets back what it held before when the block ends.
class ExceptBlock {
public:
    explicit ExceptBlock(Frame& frame);
    ~ExceptBlock();
    ExceptBlock(const ExceptBlock&) = delete;
    ExceptBlock& operator=(const ExceptBlock&) = delete;

    [[nodiscard]] PyObject* error() const { return error_.get(); }

private:
    Ref error_;
    PyObject* saved_; // owned: what the slot held before
};

// The guarded block of a query function: runs `body`; a failure of the
// Exception family becomes one error line `prefix` + its text and the result "".
// Anything else (KeyboardInterrupt, SystemExit, a failing print) propagates.
template <class Body> Ref guarded(Frame& frame, PyObject* prefix, int handler_line, Body&& body)
{
    Ref result = body(frame);
    if (result || !PyErr_ExceptionMatches(PyExc_Exception)) {
        return result;
    }
    ExceptBlock handler(frame);
    frame.line = handler_line;
    if (print_line(prefix, handler.error()) < 0) {
        return {};
    }
    return empty_text();
}

// What a visit of a walk tells the walk.
enum class Walk : std::uint8_t {
    kNext,  // go on with the next item
    kStop,  // found: end the walk
    kError, // an exception is set
};

inline Walk walk_status(int truth) // of a test: 1 stop, 0 next, -1 error
{
    return truth > 0 ? Walk::kStop : truth == 0 ? Walk::kNext : Walk::kError;
}

// Keeps a native loop as interruptible, and as fair to other threads, as an
// interpreter loop: at every turn, when the interpreter has signalled that
// something is pending (a signal, a request from another thread for the
// interpreter lock after a switch interval, a scheduled collection), it is
// handled there and then.
class LoopCheck {
public:
    explicit LoopCheck(PyThreadState* thread) : thread_(thread) {}

    // True when handling raised (a signal handler's exception); it is set.
    [[nodiscard]] bool interrupted()
    {
        constexpr std::uintptr_t kEventBits = 0xff; // below the instrumentation version
        return (__atomic_load_n(&thread_->eval_breaker, __ATOMIC_RELAXED) & kEventBits) != 0 && handle_pending();
    }

private:
    bool handle_pending();
    PyThreadState* thread_;
};

// Calls `visit(item)` for each item of `iterable` in order, as a `for`
// statement does: the iterable itself is let go once its iterator exists, and
// a list or tuple once it is used up; a failure of the iteration itself is
// reported at `line`, the line of the loop. Returns kNext when the walk ran
// to the end.
template <class Visit> Walk for_each(Frame& frame, int line, Ref iterable, Visit&& visit)
{
    frame.line = line;
    LoopCheck check(frame.thread);
    if (PyList_CheckExact(iterable.get()) || PyTuple_CheckExact(iterable.get())) {
        // Walked by index as their own iterators do: a list that changes
        // meanwhile (in a visit, or in a signal handler) is read at its
        // current length.
        for (Py_ssize_t i = 0;; ++i) {
            if (check.interrupted()) {
                return Walk::kError;
            }
            if (i >= PySequence_Fast_GET_SIZE(iterable.get())) {
                iterable = Ref{};
                return Walk::kNext;
            }
            if (Walk status = visit(Ref::dup(PySequence_Fast_GET_ITEM(iterable.get(), i))); status != Walk::kNext) {
                return status;
            }
            frame.line = line;
        }
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable.get()));
    iterable = Ref{};
    if (!iterator) {
        return Walk::kError;
    }
    while (true) {
        frame.line = line;
        if (check.interrupted()) {
            return Walk::kError;
        }
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            return PyErr_Occurred() ? Walk::kError : Walk::kNext;
        }
        if (Walk status = visit(std::move(item)); status != Walk::kNext) {
            return status;
        }
    }
}

} // namespace ostrel
