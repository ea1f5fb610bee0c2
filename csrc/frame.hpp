// Where a running function is, and its local variables: an escaping exception
// gets a traceback entry at the line of the statement that raised it, and the
// objects a function names live exactly as long as a Python function's local
// variables would.
#pragma once

#include <Python.h>

#include <utility>

#include "ref.hpp"

namespace ostrel {

struct Frame {
    PyObject* globals;               // borrowed: the module namespace
    int line;                        // the statement running now
    PyThreadState* thread = nullptr; // the thread running it
    PyObject* builtins = nullptr;    // borrowed: the namespace of its builtins
    const char* name = nullptr;      // of the traceback entry
    Ref* locals = nullptr;           // the local variables, in the code object's order
    const char* const* local_names = nullptr;
    int local_count = 0;
    Ref traceback_locals{}; // their values as this run's traceback entries show them
    bool body = false;      // the module's body, whose local names are its globals

    // `name = value`: the old value goes once the new one is in place.
    void store(int slot, Ref value) { Ref old = std::exchange(locals[slot], std::move(value)); }
    [[nodiscard]] PyObject* local(int slot) const { return locals[slot].get(); }
};

} // namespace ostrel
