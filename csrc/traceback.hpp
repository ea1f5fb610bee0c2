// Traceback entries and the except block of the query functions.
#pragma once

#include <Python.h>

#include "frame.hpp"
#include "monitor.hpp"
#include "ref.hpp"
#include "values.hpp"

namespace ostrel {

// The code object of a traceback entry at `line` of a run of `spec` (null:
// of the module body); running it raises as make_code's does
// (function.cpp).
Ref make_entry_code(const FunctionSpec* spec, int line);

// Adds the frame's traceback entry, at its current line, to the exception
// being raised.
void add_traceback(Frame& frame);

// An exception has reached the running function at its current line: its
// traceback entry, then RAISE for monitoring tools, which see the entry on it.
void reached(Frame& frame);

// An exception raised in a `try:` block whose clause is `except Exception`
// (`handler_line` is the line after it): it reaches the frame, unless
// already reported there, and the clause starts (EXCEPTION_HANDLED). False
// when the clause does not match: the exception is then raised again from
// there and leaves the frame at no line. False too when a tool raises as the
// clause starts: the interpreter raises the tool's exception again from the
// instruction before the clause, the try block's last (`handler_line` - 2),
// which no handler covers, so it leaves the frame from there.
bool except_matches(Frame& frame, int handler_line);

// What an `except Exception as e:` clause does with the exception being
// raised (which has reached the frame): takes it, binds it to `e` and makes it
// the exception being handled in the running frame's own slot for as long as
// the block lives, so that an exception raised meanwhile chains to it. When
// the block ends, `e` is unbound (`e = None; del e`) and the slot gets back
// what it held before.
class ExceptBlock {
public:
    explicit ExceptBlock(Frame& frame);
    ~ExceptBlock();
    ExceptBlock(const ExceptBlock&) = delete;
    ExceptBlock& operator=(const ExceptBlock&) = delete;

    // The exception taken: `e`'s value in a function.
    [[nodiscard]] PyObject* error() const;
    // The frame is left from inside the block, before its cleanup has run.
    void abandon() { abandoned_ = true; }
    // `e = None; del e`, once: the cleanup of `e` that an exception leaving
    // the block runs first.
    void unbind();

private:
    Frame& frame_;
    Ref error_;       // until bound to a function's `e`
    PyObject* saved_; // owned: what the slot held before
    bool abandoned_ = false;
    bool unbound_ = false;
};

// An exception raised inside that clause's block: it reaches the frame, and
// goes through the cleanup of `e` and into the block's own, whose raise at no
// line is the caller's to report. False when a tool raises as the cleanup of
// `e` starts: its exception leaves from the instruction before that cleanup,
// the block's `return` (`handler_line` + 1), before `e` is unbound or the
// exception being handled given back (`block` is told to leave both as they
// are).
bool block_failed(Frame& frame, int handler_line, ExceptBlock& block);

// The except block of a query function, for an exception raised in its try
// block: one of the Exception family becomes one error line `prefix` + its
// text, and the result "" (from the line after `handler_line`); anything else
// (KeyboardInterrupt, SystemExit), and a failing print, propagates.
Ref handle_failure(Frame& frame, PyObject* prefix, int handler_line);

// The guarded block of a query function: `try:` around `body`, then
// `except Exception as e:` (handle_failure). Its `return` stands outside the
// protected range, as the interpreter lays a return inside `try:` out: a
// tool's exception at PY_RETURN leaves the function, with the result let go
// once the exception has reached the frame.
template <class Body> Ref guarded(Frame& frame, PyObject* prefix, int handler_line, Body&& body)
{
    Ref result = body(frame);
    if (!result) {
        return frame.unprotected ? Ref{} : handle_failure(frame, prefix, handler_line);
    }
    if (monitor::returned(frame, result.get()) < 0) {
        reached(frame);
        return {};
    }
    return result;
}

} // namespace ostrel
