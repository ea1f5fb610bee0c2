#include "traceback.hpp"

#include <frameobject.h>

#include <utility>

#include "internals.hpp"
#include "lines.hpp"
#include "state.hpp"

namespace ostrel {

namespace {

// The code object of a traceback entry, made once for each name and line and
// kept: a fresh one for every entry would also intern, and soon drop again,
// a copy of its name each time.
Ref traceback_code(const Frame& frame)
{
    const char* name = frame.body() ? line::kInitName : frame.spec->traceback_name;
    const int line = frame.line;
    if (!process.traceback_codes) {
        process.traceback_codes = PyDict_New();
        if (!process.traceback_codes) {
            return {};
        }
    }
    Ref key = Ref::steal(PyUnicode_FromFormat("%s:%d", name, line));
    PyObject* known = nullptr;
    if (!key || PyDict_GetItemRef(process.traceback_codes, key.get(), &known) != 0) {
        return Ref::steal(known);
    }
    Ref code = make_entry_code(frame.spec, line);
    if (!code || PyDict_SetItem(process.traceback_codes, key.get(), code.get()) < 0) {
        return {};
    }
    return code;
}

// The slot of `e`, the name of each guarded function's except clause: its
// last local variable. None for the module's body, whose `e` is a global.
int except_slot(const Frame& frame)
{
    return frame.body() ? -1 : static_cast<int>(frame.spec->local_count) - 1;
}

} // namespace

void add_traceback(Frame& frame)
{
    // A function's entry is its own frame, the thread's current one while
    // it runs, at the line it is at.
    if (frame.pushed) {
        Ref raised = Ref::steal(PyErr_GetRaisedException());
        Ref entry = Ref::steal(reinterpret_cast<PyObject*>(PyThreadState_GetFrame(frame.thread)));
        PyErr_Clear();
        PyErr_SetRaisedException(raised.release());
        if (entry) {
            PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(entry.get()));
        }
        return;
    }
    // The module body's, and that of a call whose arguments could not be
    // bound, are made here: the exception is parked while the code and
    // frame objects are made; a failure to make them leaves the exception as
    // it was, without the entry.
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    Ref code = traceback_code(frame);
    // A function that the garbage collector has cleared has no namespace left;
    // its entry gets an empty one. The body's locals are its globals; a call
    // whose arguments could not be bound has none.
    Ref namespace_ = frame.globals ? Ref::dup(frame.globals) : Ref::steal(PyDict_New());
    Ref locals = frame.body() ? Ref::dup(frame.globals) : Ref::steal(PyDict_New());
    Ref entry;
    if (code && namespace_ && locals) {
        entry = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), namespace_.get(), locals.get())));
    }
    PyErr_Clear();
    PyErr_SetRaisedException(raised.release());
    if (entry) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(entry.get()));
    }
}

void reached(Frame& frame)
{
    add_traceback(frame);
    frame.unwind_line = frame.line;
    monitor::raised(frame, frame.line);
}

ExceptBlock::ExceptBlock(Frame& frame) : frame_(frame)
{
    error_ = Ref::steal(PyErr_GetRaisedException());
    frame.unwind_line = 0; // taken: another exception reaches the frame anew
    // The running frame's own slot, as the interpreter's `except` does: not
    // the topmost exception being handled, which may be a caller's.
    saved_ = std::exchange(internals::handled_exception(frame.thread), Py_NewRef(error_.get()));
    // Bound to `e`, the exception is no longer held by the block itself.
    if (const int slot = except_slot(frame); slot >= 0) {
        frame.store(slot, std::move(error_));
    }
}

PyObject* ExceptBlock::error() const
{
    return error_ ? error_.get() : frame_.local(except_slot(frame_));
}

ExceptBlock::~ExceptBlock()
{
    if (abandoned_) {
        // `e` stays bound until the frame's locals go, and the slot keeps the
        // exception taken: the interpreter lets go of what it held before
        // with the frame's stack, without putting it back.
        Py_XDECREF(saved_);
        return;
    }
    // `e = None; del e` comes before the slot is given back when the block
    // is left by an exception, after it when the block ends normally.
    const bool raising = PyErr_Occurred() != nullptr;
    if (raising) {
        unbind();
    }
    Py_XSETREF(internals::handled_exception(frame_.thread), saved_);
    unbind();
}

void ExceptBlock::unbind()
{
    if (const int slot = except_slot(frame_); slot >= 0 && !std::exchange(unbound_, true)) {
        frame_.store(slot, Ref::dup(Py_None));
        frame_.store(slot, Ref{});
    }
}

namespace {

// The start of the block's own cleanup, which gives back the exception that
// was being handled before and raises it again at no line. The instruction
// before the cleanup lies in the cleanup's own range: a tool's exception as
// it starts enters it once more.
void block_cleanup(Frame& frame)
{
    if (monitor::handled(frame, monitor::kNoLine) < 0) {
        monitor::handled(frame, monitor::kNoLine);
    }
    frame.unwind_line = monitor::kNoLine;
}

} // namespace

bool except_matches(Frame& frame, int handler_line)
{
    // The exception reaches the frame (a walk that held something reports
    // that first); the except clause's block starts (its first instruction has
    // no line).
    if (frame.unwind_line == 0) {
        reached(frame);
    }
    if (monitor::handled(frame, monitor::kNoLine) < 0) {
        frame.unwind_line = handler_line - 2;
        return false;
    }
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        return true;
    }
    // `except Exception` does not match: raised again from its line, then
    // through the block's own cleanup. The clause's block has made it the
    // exception being handled, which its cleanup gives back before raising
    // it again: so a tool's callback sees it, and a tool's exception chains
    // to it.
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    PyObject* saved = std::exchange(internals::handled_exception(frame.thread), Py_NewRef(raised.get()));
    PyErr_SetRaisedException(raised.release());
    monitor::reraised(frame, handler_line - 1);
    block_cleanup(frame);
    Py_XSETREF(internals::handled_exception(frame.thread), saved);
    monitor::reraised(frame, monitor::kNoLine);
    return false;
}

bool block_failed(Frame& frame, int handler_line, ExceptBlock& block)
{
    // Through the cleanup of `e`, then the block's own.
    reached(frame);
    if (monitor::handled(frame, monitor::kNoLine) < 0) {
        frame.unwind_line = handler_line + 1;
        block.abandon();
        return false;
    }
    block.unbind();
    monitor::reraised(frame, monitor::kNoLine);
    block_cleanup(frame);
    return true;
}

Ref handle_failure(Frame& frame, PyObject* prefix, int handler_line)
{
    if (!except_matches(frame, handler_line)) {
        return {};
    }
    {
        ExceptBlock handler(frame);
        frame.at(handler_line);
        if (print_line(frame, prefix, handler.error()) >= 0) {
            // The block's cleanup is the `return ""` statement's own first
            // step, at its line.
            frame.at(handler_line + 1);
        }
        else if (!block_failed(frame, handler_line, handler)) {
            return {};
        }
    }
    if (frame.unwind_line == monitor::kNoLine) {
        monitor::reraised(frame, monitor::kNoLine);
        return {};
    }
    Ref empty = empty_text(); // return ""
    if (monitor::returned(frame, empty.get()) < 0) {
        reached(frame);
        return {};
    }
    return empty;
}

} // namespace ostrel
