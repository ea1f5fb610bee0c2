// Calls from a running function, as the interpreter's CALL instruction makes
// them (implemented with the function type, in function.cpp, which runs the
// module's own functions directly).
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "frame.hpp"
#include "ref.hpp"

namespace ostrel {

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
