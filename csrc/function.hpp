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

#include "call.hpp"
#include "frame.hpp"
#include "ref.hpp"

namespace ostrel {

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

// The plain Python function whose frames the runs of `spec` (or the module
// body) have: made on make_code's frame code, with the given globals and
// builtins.
Ref make_frame_function(const FunctionSpec& spec, PyObject* globals, PyObject* builtins);

// A new function object for `spec` whose __globals__ is `globals`.
Ref make_function(const FunctionSpec& spec, PyObject* globals);

} // namespace ostrel
