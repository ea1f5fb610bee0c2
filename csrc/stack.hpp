// How deep the module's functions may nest.
//
// A run of one of the module's functions counts against the interpreter's
// recursion limit exactly as a Python function's frame does, so a cycle of
// calls through rebound module attributes ends where the same cycle of Python
// functions would: RecursionError "maximum recursion depth exceeded" on entry
// to the run that would pass the limit.
//
// Unlike calls between Python functions, every nested run also takes C
// stack (about 430 bytes a run on x86-64), and the Python code that the
// innermost run calls needs about as much room as it would have had. So the
// runs nested in an outermost one may take at most an eighth of the thread's
// stack that was left when it started; past that a run raises the same
// RecursionError. On the main thread's usual 8 MiB that is room for about
// 2,400 nested runs: the recursion limit decides up to limits of about 2,400
// (a cycle of two of the module's functions ends after about 1,200 rounds
// there), the stack bound above that, whatever the limit. On a small thread
// stack it is what keeps a cycle from overflowing the stack.
#pragma once

#include <Python.h>

namespace ostrel {

class NestingScope {
public:
    // `thread`: the running thread, where the caller has it at hand.
    explicit NestingScope(PyThreadState* thread = nullptr);
    ~NestingScope() { leave(); }
    NestingScope(const NestingScope&) = delete;
    NestingScope& operator=(const NestingScope&) = delete;

    // False with RecursionError set: the run must not start.
    [[nodiscard]] bool entered() const { return thread_ != nullptr; }
    // Gives back the run's unit of the recursion limit, as the interpreter
    // does before it clears a returning frame's local variables.
    void leave();
    // The thread the run is on.
    [[nodiscard]] PyThreadState* thread() const { return thread_; }

private:
    PyThreadState* thread_ = nullptr;
};

} // namespace ostrel
