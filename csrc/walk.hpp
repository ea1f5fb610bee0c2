// Walks over what a caller hands in, run as the interpreter runs a `for`
// statement: as interruptible and as fair to other threads, and letting go of
// what they walk at the same moments.
#pragma once

#include <Python.h>

#include <cstdint>

#include "frame.hpp"
#include "internals.hpp"
#include "ref.hpp"
#include "traceback.hpp"

namespace ostrel {

// What a visit of a walk tells the walk.
enum class Walk : std::uint8_t {
    kNext,  // go on with the next item
    kSkip,  // go on, the turn having ended at a failed test (see loop_back)
    kStop,  // found: end the walk
    kError, // an exception is set
};

inline Walk walk_status(int truth) // of a test: 1 stop, 0 skip, -1 error
{
    return truth > 0 ? Walk::kStop : truth == 0 ? Walk::kSkip : Walk::kError;
}

// A walk fails: the exception reaches the function (its traceback entry,
// RAISE) while the loop still holds what it walks, as the interpreter's loop
// keeps its iterator on its stack until it unwinds.
inline Walk failed(Frame& frame)
{
    if (frame.unwind_line == 0) {
        reached(frame);
    }
    return Walk::kError;
}

// What a walk ends with when a visit says `status`.
inline Walk ended(Frame& frame, Walk status)
{
    return status == Walk::kError ? failed(frame) : status;
}

// Whether a visit's `status` lets the walk go on to its next item.
inline bool goes_on(Walk status)
{
    return status == Walk::kNext || status == Walk::kSkip;
}

// The backward jump that ends each turn of a loop: what the eval breaker
// signals (a signal, a request from another thread for the interpreter lock, a
// scheduled collection) is handled there, at the line of the statement the
// turn ended on. False with the handler's exception set. After a turn that
// ended at a failed test (`last_turn` kSkip) the jump lies outside the
// protected range of the function's `try:`, as the interpreter lays it out:
// the exception then leaves the function past its `except` clause.
inline bool loop_back(Frame& frame, Walk last_turn)
{
    if (internals::handle_pending(frame.thread)) {
        return true;
    }
    frame.unprotected = last_turn == Walk::kSkip;
    return false;
}

// Calls `visit(item)` for each item of `iterable` in order, as a `for`
// statement does: the iterable itself is let go once its iterator exists, and
// a list or tuple once it is used up; fetching an item, and a failure of the
// iteration, happen at `line`, the line of the loop. Returns kNext when the
// walk ran to the end.
template <class Visit> Walk for_each(Frame& frame, int line, Ref iterable, Visit&& visit)
{
    frame.at(line);
    if (PyList_CheckExact(iterable.get()) || PyTuple_CheckExact(iterable.get())) {
        // Walked by index as their own iterators do: a list that changes
        // meanwhile (in a visit, or in a signal handler) is read at its
        // current length.
        Walk turn = Walk::kNext;
        for (Py_ssize_t i = 0;; ++i) {
            if (i > 0 && !loop_back(frame, turn)) {
                return failed(frame);
            }
            frame.at(line);
            if (i >= PySequence_Fast_GET_SIZE(iterable.get())) {
                iterable = Ref{};
                return Walk::kNext;
            }
            turn = visit(Ref::dup(PySequence_Fast_GET_ITEM(iterable.get(), i)));
            if (!goes_on(turn)) {
                return ended(frame, turn);
            }
        }
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable.get()));
    iterable = Ref{};
    if (!iterator) {
        return Walk::kError;
    }
    Walk turn = Walk::kNext;
    for (bool first = true;; first = false) {
        if (!first && !loop_back(frame, turn)) {
            return failed(frame);
        }
        frame.at(line);
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            return PyErr_Occurred() ? failed(frame) : Walk::kNext;
        }
        turn = visit(std::move(item));
        if (!goes_on(turn)) {
            return ended(frame, turn);
        }
    }
}

} // namespace ostrel
