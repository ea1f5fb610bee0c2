// The functions, and the module body as `<module>`, as sys.monitoring tools
// (cProfile, coverage, debuggers) see Python code: each run reports PY_START
// and PY_RETURN, or PY_UNWIND for an exception that escapes, with its own
// code object; the calls it makes report CALL, and C_RETURN or C_RAISE where
// the callable is not Python code; exceptions report RAISE where they reach
// it, and EXCEPTION_HANDLED and RERAISE where its except block takes them,
// all in the order the same Python code reports them. Offsets are those of
// the code object's positions (function.cpp): one for each line it reports,
// and one without a line, as an except block's own instructions
// have. No LINE events: tools that ask for lines ask for the source, and
// src/varnok/ostrel is no file.
//
// Tools registered through sys.setprofile or sys.settrace are monitoring
// tools too, whose callbacks hand the thread's current frame to the profile
// or trace function: the frame of the run, which is current while it reports
// (frame.hpp), so they get `call`, `return` and `exception` for the functions
// and the body as for Python code.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "frame.hpp"
#include "internals.hpp"
#include "ref.hpp"

namespace ostrel::monitor {

inline constexpr int kNoLine = -1; // the position without a line

enum Event : std::uint8_t {
    kPyStart,
    kPyReturn,
    kPyUnwind,
    kCall,
    kCReturn,
    kCRaise,
    kRaise,
    kReraise,
    kExceptionHandled,
    kEvents
};

struct Monitors {
    // The eval breaker as it reads when there is nothing to do: nothing
    // pending (no event bits), the instrumentation version the states are
    // for, and no tool that wants any of them (else a value it never has).
    uintptr_t quiet = 0;
    uint64_t version = 0; // the instrumentation version the states are for
    PyMonitoringState states[kEvents] = {};
    bool any = false;                          // some state is active
    PyInterpreterState* interpreter = nullptr; // the interpreter they are for
};

extern Monitors monitors;

inline uintptr_t eval_breaker(PyThreadState* thread)
{
    return __atomic_load_n(&thread->eval_breaker, __ATOMIC_RELAXED);
}

// Nothing to report and nothing pending: the common case, one comparison
// (and that the states are this interpreter's: each interpreter has its own
// tools and versions).
inline bool quiet(PyThreadState* thread)
{
    return eval_breaker(thread) == monitors.quiet && thread->interp == monitors.interpreter;
}

// Forgets the states: an interpreter that starts (or one made where a gone
// one was) has its tools looked up afresh.
inline void forget()
{
    monitors = Monitors{};
    monitors.quiet = ~uintptr_t{0};
}

// Renews the states for the interpreter's present instrumentation.
void refresh();

// Whether events may be reported on this thread now (none is while a tool
// runs), with the states renewed when the instrumentation version (the
// upper bits of the thread's eval breaker) or the interpreter has changed.
inline bool watching(PyThreadState* thread)
{
    if ((eval_breaker(thread) & ~internals::kPyEvalEventsMask) != monitors.version
        || thread->interp != monitors.interpreter) [[unlikely]] {
        refresh();
    }
    return internals::tracing(thread) == 0;
}

// The reports, out of line; the inline functions below call them only when
// some tool may want them.
bool entered_slowly(Frame& frame);
int started(Frame& frame);
int call_reported(Frame& frame, PyObject* callable, PyObject* first_argument);
Ref c_reported(Frame& frame, PyObject* callable, PyObject* first_argument, Ref result);
int return_reported(Frame& frame, PyObject* value);
bool local_slowly(const Frame& frame);

// Whether local events (sys.monitoring.set_local_events) may be set on the
// code of `frame`'s function: its frame's or its __code__, once the
// interpreter has instrumentation data for it. Such events are not in the
// eval breaker, so they are looked for at every place that reports.
inline bool local(const Frame& frame)
{
    const Sites* sites = frame.sites;
    PyObject* described = sites ? sites->described_code() : nullptr;
    return sites && (internals::local_monitors(frame.code) || (described && internals::local_monitors(described)))
           && local_slowly(frame);
}

// A run's first instruction: what the eval breaker signals is handled (at
// the def line), then PY_START. `entered`: the caller has just found the
// eval breaker quiet. False with an exception set.
inline bool enter(Frame& frame, bool entered)
{
    if (entered || quiet(frame.thread)) {
        if (local(frame)) {
            return started(frame) == 0;
        }
        // Instrumented for no tool, as the interpreter instruments the
        // code of a run that starts with none: a tool that comes back gets
        // its sites back.
        std::ranges::fill(frame.sites->active, std::uint8_t{0});
        return true;
    }
    return entered_slowly(frame);
}

// PY_START alone, for the module body: what the eval breaker signals is
// handled where its statements handle it, not at its start.
inline int start(Frame& frame)
{
    return quiet(frame.thread) && !local(frame) ? 0 : started(frame);
}

// Whether a call is to be reported: when false, neither CALL (call_reported)
// nor C_RETURN or C_RAISE (c_reported, after a call of something that is not
// Python code, while the callable and its arguments are still held; a tool's
// exception drops the result) need be asked for.
inline bool reporting(const Frame& frame)
{
    return !quiet(frame.thread) || local(frame);
}

// PY_RETURN with `value`, at the frame's line.
inline int returned(Frame& frame, PyObject* value)
{
    return reporting(frame) ? return_reported(frame, value) : 0;
}

// Exceptions reaching the function, taken by its except block, raised again
// and leaving it: reported with the exception being raised, at `line`. A
// tool's exception takes that one's place; handled() then returns -1, as the
// interpreter goes on from elsewhere (traceback.cpp).
void raised(Frame& frame, int line);
int handled(Frame& frame, int line);
void reraised(Frame& frame, int line);
void unwound(Frame& frame, int line);

} // namespace ostrel::monitor
