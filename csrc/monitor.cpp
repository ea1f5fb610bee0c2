#include "monitor.hpp"

#include <utility>

#include "ref.hpp"
#include "state.hpp"

namespace ostrel::monitor {

Monitors monitors;

namespace {

constexpr uint8_t kEventNumbers[kEvents] = {
    PY_MONITORING_EVENT_PY_START, PY_MONITORING_EVENT_PY_RETURN, PY_MONITORING_EVENT_PY_UNWIND,
    PY_MONITORING_EVENT_CALL,     PY_MONITORING_EVENT_C_RETURN,  PY_MONITORING_EVENT_C_RAISE,
    PY_MONITORING_EVENT_RAISE,    PY_MONITORING_EVENT_RERAISE,   PY_MONITORING_EVENT_EXCEPTION_HANDLED,
};

// The code object has one instruction per line from its first line on, then
// the closing ones, the first of them without a line (function.cpp's
// positions).
int32_t offset_of(const Frame& frame, int line)
{
    const auto* code = reinterpret_cast<const PyCodeObject*>(frame.code);
    const int first = code->co_firstlineno;
    const int without_line = static_cast<int>(Py_SIZE(code) - kClosingUnits);
    const int position = line == kNoLine || line < first || line - first >= without_line ? without_line : line - first;
    return static_cast<int32_t>(2 * position);
}

PyMonitoringState* state(Event event)
{
    return &monitors.states[event];
}

// The tools of a C_RETURN or C_RAISE event, called as the interpreter calls
// them (internals.hpp): each tool that monitors CALL (these two come with it
// and are never set on their own), the highest identifier first, with (code,
// offset, callable, first argument). 0, or -1 with the exception a callback
// raised.
int call_tools(Frame& frame, Event event, PyObject* callable, PyObject* first_argument)
{
    const int number = kEventNumbers[event];
    Ref offset = Ref::steal(PyLong_FromLong(offset_of(frame, frame.line)));
    if (!offset) {
        return -1;
    }
    PyInterpreterState* interpreter = PyThreadState_GetInterpreter(frame.thread);
    PyObject* args[5] = {nullptr, frame.code, offset.get(), callable,
                         first_argument ? first_argument : process.monitoring_missing};
    for (int tool = 7; tool >= 0; --tool) {
        if (!(state(kCall)->active & (1U << static_cast<unsigned>(tool)))) {
            continue;
        }
        Ref callback = Ref::dup(internals::monitoring_callable(interpreter, tool, number));
        if (!callback) {
            continue;
        }
        const int what = std::exchange(internals::what_event(frame.thread), number);
        ++internals::tracing(frame.thread);
        Ref answer =
            Ref::steal(PyObject_Vectorcall(callback.get(), args + 1, 4U | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        --internals::tracing(frame.thread);
        internals::what_event(frame.thread) = what;
        if (!answer) {
            return -1;
        }
        if (answer.get() == process.monitoring_disable) {
            PyErr_Format(PyExc_ValueError, "Cannot disable %s events. Callback removed.",
                         event == kCReturn ? "C_RETURN" : "C_RAISE");
            Py_CLEAR(internals::monitoring_callable(interpreter, tool, number));
            return -1;
        }
    }
    return 0;
}

bool wanted(const Frame& frame, Event event)
{
    return frame.code && watching(frame.thread) && monitors.states[event].active;
}

// RAISE, RERAISE, EXCEPTION_HANDLED and PY_UNWIND, which the monitoring C API
// fires alike: with the exception being raised, at `line`.
using ExceptionEvent = int (*)(PyMonitoringState*, PyObject*, int32_t);

int fire(Frame& frame, Event event, ExceptionEvent fire_event, int line)
{
    return wanted(frame, event) ? fire_event(state(event), frame.code, offset_of(frame, line)) : 0;
}

} // namespace

void refresh()
{
    PyMonitoringState fresh[kEvents] = {};
    uint64_t version = monitors.version;
    if (PyMonitoring_EnterScope(fresh, &version, kEventNumbers, kEvents) < 0) {
        PyErr_Clear();
        return;
    }
    monitors.version = version;
    monitors.any = false;
    for (int i = 0; i < kEvents; ++i) {
        monitors.states[i] = fresh[i];
        monitors.any = monitors.any || monitors.states[i].active;
    }
    monitors.quiet = monitors.any ? ~uintptr_t{0} : static_cast<uintptr_t>(version);
}

bool entered_slowly(Frame& frame)
{
    if (!internals::handle_pending(frame.thread)) {
        return false;
    }
    return started(frame) == 0;
}

int started(Frame& frame)
{
    return wanted(frame, kPyStart) ? PyMonitoring_FirePyStartEvent(state(kPyStart), frame.code, 0) : 0;
}

int call_reported(Frame& frame, PyObject* callable, PyObject* first_argument)
{
    return wanted(frame, kCall)
               ? PyMonitoring_FireCallEvent(state(kCall), frame.code, offset_of(frame, frame.line), callable,
                                            first_argument ? first_argument : process.monitoring_missing)
               : 0;
}

Ref c_reported(Frame& frame, PyObject* callable, PyObject* first_argument, Ref result)
{
    if (!wanted(frame, kCall)) { // C_RETURN and C_RAISE come with CALL, never on their own
        return result;
    }
    if (result) {
        return call_tools(frame, kCReturn, callable, first_argument) == 0 ? std::move(result) : Ref{};
    }
    // As the interpreter does: a callback's exception replaces the call's.
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (call_tools(frame, kCRaise, callable, first_argument) == 0) {
        PyErr_SetRaisedException(raised.release());
    }
    return {};
}

int return_reported(Frame& frame, PyObject* value)
{
    return wanted(frame, kPyReturn)
               ? PyMonitoring_FirePyReturnEvent(state(kPyReturn), frame.code, offset_of(frame, frame.line), value)
               : 0;
}

void raised(Frame& frame, int line)
{
    fire(frame, kRaise, PyMonitoring_FireRaiseEvent, line);
}

int handled(Frame& frame, int line)
{
    return fire(frame, kExceptionHandled, PyMonitoring_FireExceptionHandledEvent, line);
}

void reraised(Frame& frame, int line)
{
    // The instruction that raises again is where the frame stands from then
    // on, to tools and to any later traceback entry: the cleanup that may
    // follow puts the frame back at it.
    if (line != kNoLine) {
        frame.point(line);
    }
    fire(frame, kReraise, PyMonitoring_FireReraiseEvent, line);
}

void unwound(Frame& frame, int line)
{
    fire(frame, kPyUnwind, PyMonitoring_FirePyUnwindEvent, line);
}

} // namespace ostrel::monitor
