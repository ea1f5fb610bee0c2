// Process-wide state and the small operations every part of the module shares:
// equality tests, result checks, the error line, traceback entries and walks
// over what a caller hands in. Name and attribute lookups are in lookup.hpp.
#pragma once

#include <Python.h>

#include <cstdint>

#include "lookup.hpp"
#include "ref.hpp"

namespace ostrel {

// Interned names and fixed texts, made once per process and never released.
struct Texts {
    // module-level names
    PyObject *psutil, *pyudev, *Enum, *Union, *logger, *DeviceType;
    PyObject *MAC, *DISK, *CUDA;
    PyObject *get_mac_address, *get_disk_serial_number, *get_machine_code, *get_gpu_uuid, *get_machine_string;
    PyObject *dunder_name, *dunder_builtins, *dunder_test, *dunder_module, *dunder_qualname, *dunder_prepare,
        *dunder_main;
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
    PyObject* tool_timeout;
    PyObject *fromlist_enum, *fromlist_union, *fromlist_logger;
};

extern Texts texts;
bool init_texts(); // false with an exception set

// Touched only with the interpreter lock held.
struct ProcessState {
    PyObject* module = nullptr;          // strong: the one module object, from the start of its body
    int64_t owner = -1;                  // interpreter that first created the module
    PyObject* builtins = nullptr;        // strong: the builtins module
    PyObject* print = nullptr;           // strong: builtins.print as it was when the body ran
    PyObject* traceback_codes = nullptr; // strong: "name:line" -> code object of a traceback entry
};

extern ProcessState process;

// Where a running function is, so that an escaping exception gets a traceback
// entry at the line of the statement that raised it.
struct Frame {
    PyObject* globals; // borrowed: the module namespace
    int line;
};

// `left == right` followed by its truth value: 1, 0, or -1 with an exception set.
int equals(PyObject* left, PyObject* right);

// Whether `==` on the object is its identity and runs no code (object's own
// comparison, which enumeration members keep).
inline bool compares_by_identity(PyObject* object)
{
    return Py_TYPE(object)->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

// A query result must be exactly a str or None.
Ref checked_text(Ref value);

// The text an f-string replacement field gives: a str unchanged, anything else format(value, "").
Ref text_of(PyObject* value);

Ref empty_text();

// print(prefix + text_of(value)) through the cached print.
int print_line(PyObject* prefix, PyObject* value);

// Adds a traceback entry `name` at `line` to the exception being raised;
// `globals` may be null.
void add_traceback(const char* name, int line, PyObject* globals);

// Makes `error` the exception being handled for as long as the scope lives, as an
// `except` block does, so that an exception raised meanwhile chains to it.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* error) : saved_(Ref::steal(PyErr_GetHandledException()))
    {
        PyErr_SetHandledException(error);
    }
    ~HandlingScope() { PyErr_SetHandledException(saved_.get()); }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    Ref saved_;
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
    frame.line = handler_line;
    Ref error = Ref::steal(PyErr_GetRaisedException());
    HandlingScope handling(error.get());
    if (print_line(prefix, error.get()) < 0) {
        return {};
    }
    return empty_text();
}

// Handles pending signals once every few turns of a native loop, so that a
// loop over an endless iterable can be interrupted as an interpreter loop can.
class SignalCheck {
public:
    // True when a signal handler raised; the exception is set.
    [[nodiscard]] bool interrupted() { return ++turns_ % kInterval == 0 && PyErr_CheckSignals() < 0; }

private:
    static constexpr unsigned kInterval = 32;
    unsigned turns_ = 0;
};

// Calls `visit(item)` for each item of `iterable` in order. `visit` returns
// 0 to go on, 1 to stop, -1 on error; the walk returns the same. A failure of
// the iteration itself is reported at `line`, the line of the loop.
template <class Visit> int for_each(Frame& frame, int line, PyObject* iterable, Visit&& visit)
{
    frame.line = line;
    SignalCheck signals;
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        // Walked by index as their own iterators do: a list that changes
        // meanwhile (in a visit, or in a signal handler) is read at its
        // current length.
        Ref sequence = Ref::dup(iterable);
        for (Py_ssize_t i = 0;; ++i) {
            if (signals.interrupted()) {
                return -1;
            }
            if (i >= PySequence_Fast_GET_SIZE(iterable)) {
                break;
            }
            Ref item = Ref::dup(PySequence_Fast_GET_ITEM(iterable, i));
            if (int status = visit(item.get()); status != 0) {
                return status;
            }
            frame.line = line;
        }
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) {
        return -1;
    }
    while (true) {
        frame.line = line;
        if (signals.interrupted()) {
            return -1;
        }
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            return PyErr_Occurred() ? -1 : 0;
        }
        if (int status = visit(item.get()); status != 0) {
            return status;
        }
    }
}

} // namespace ostrel
