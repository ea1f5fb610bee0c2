// The module's own function type.
//
// The interpreter's built-in function type has no __code__, __globals__,
// __defaults__ or __annotations__, so the module defines a function type of its
// own that carries them (so `inspect.signature` reads it like a Python
// function), binds and checks arguments with the module's own messages, and
// gives every exception that leaves it a traceback entry.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "frame.hpp"
#include "ref.hpp"

namespace ostrel {

// The work of one function. `argument` is the bound parameter, or null for a
// function without one. Returns the result, or an empty Ref with an exception
// set; `frame.line` then names the statement that raised.
using Body = Ref (*)(Frame& frame, PyObject* argument);

struct FunctionSpec {
    const char* name;           // __name__ and __qualname__
    const char* traceback_name; // name of the traceback entry
    int first_line;
    int last_line;                  // of the statements that monitoring tools are told of
    const char* parameter;          // the one positional-or-keyword parameter, or null
    const char* const* local_names; // co_varnames, parameter first
    std::size_t local_count;
    const char* doc;                  // null: __doc__ is None
    const char* parameter_annotation; // null: none
    const char* return_annotation;    // null: none
    Body body;
};

// The most local variables a function has.
inline constexpr std::size_t kMaxLocals = 4;

// Creates the function type and NativeCodeError for the owning interpreter;
// false with an exception set.
bool init_function_type();

// Forgets the types, as when their interpreter is gone.
void forget_function_type();

// A code object of `spec` (its name, file, lines and local names), whose
// positions are those monitor.hpp describes: __code__, named as the
// function, or (`frame`) the code of the frames its runs have, which is the
// code monitoring tools are told of, named as its traceback entries
// (`varnok.ostrel.<name>`). Running either raises NativeCodeError, which
// says what to call instead.
Ref make_code(const FunctionSpec& spec, bool frame = false);

// The code object of a traceback entry at `line` of a run of `spec` (null:
// of the module body); running it raises as make_code's does.
Ref make_entry_code(const FunctionSpec* spec, int line);

// A new function object for `spec` whose __globals__ is `globals`.
Ref make_function(const FunctionSpec& spec, PyObject* globals);

// `callable(*args)` from the running `frame`, the last arguments named by
// `kwnames`, as the interpreter's CALL instruction runs it: one of the
// module's own functions is run directly; the callable goes once the call
// has returned, then the arguments, in order; then, after a call that
// succeeded, what the eval breaker signals is handled, unless the callable
// ran as Python code (a Python function, or one of the module's own), whose
// start handles it.
// At most kMostArguments arguments.
inline constexpr std::size_t kMostArguments = 2;
Ref call(Frame& frame, Ref callable, std::span<Ref> args, PyObject* kwnames = nullptr);

} // namespace ostrel
