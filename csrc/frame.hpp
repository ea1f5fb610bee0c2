// Where a running function is, and its local variables: an escaping exception
// gets a traceback entry at the line of the statement that raised it, and the
// objects a function names live exactly as long as a Python function's local
// variables would.
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>

#include "ref.hpp"

namespace ostrel {

struct FunctionSpec; // function.hpp

struct Frame {
    PyObject* globals;                  // borrowed: the module namespace
    int line;                           // the statement running now
    PyThreadState* thread = nullptr;    // the thread running it
    PyObject* builtins = nullptr;       // borrowed: the namespace of its builtins
    const FunctionSpec* spec = nullptr; // the function running; null: the module's body
    Ref* locals = nullptr;              // its local variables, in the code object's order; null: none bound
    Ref traceback_locals{};             // their values as this run's traceback entries show them
    PyObject* code = nullptr;           // borrowed: the code object monitoring tools are told of; null: none
    // 0 until an exception on its way out has been reported where it reached
    // the function; then where it leaves (monitor::kNoLine: at no line).
    int unwind_line = 0;

    [[nodiscard]] bool body() const { return spec == nullptr; }
    // `name = value`: the old value goes once the new one is in place.
    void store(std::size_t slot, Ref value) { Ref old = std::exchange(locals[slot], std::move(value)); }
    [[nodiscard]] PyObject* local(std::size_t slot) const { return locals[slot].get(); }
};

} // namespace ostrel
