#include "monitor.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
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

constexpr Event kSiteEvents[] = {kPyStart, kPyReturn, kCall};

// Where `event`, one of kSiteEvents, is in Sites::active.
constexpr int site_index(Event event)
{
    return event == kPyStart ? 0 : event == kPyReturn ? 1 : 2;
}

// The tools that the local events of `frame`'s code ask for `event`: those
// set on the code of its frame and on the function's __code__.
unsigned local_tools(const Frame& frame, Event event)
{
    unsigned tools = 0;
    for (PyObject* code : {frame.code, frame.sites ? frame.sites->described_code() : nullptr}) {
        const std::uint8_t* local = code ? internals::local_monitors(code) : nullptr;
        tools |= local ? local[kEventNumbers[event]] : 0U;
    }
    return tools;
}

// Brings `sites` to the present instrumentation, as the interpreter does for
// a code object: after a restart every site is given back; else a tool that
// wants an event it did not want when the code was last instrumented gets
// every site of that event back.
void instrument(const Frame& frame, Sites& sites)
{
    const std::uintptr_t restart = internals::last_restart(PyThreadState_GetInterpreter(frame.thread));
    unsigned back[3] = {}; // for each event, the tools whose sites are given back
    for (std::size_t i = 0; i < 3; ++i) {
        const unsigned now = state(kSiteEvents[i])->active | local_tools(frame, kSiteEvents[i]);
        back[i] = restart != sites.restart ? 0xFFU : now & ~static_cast<unsigned>(sites.active[i]);
        sites.active[i] = static_cast<std::uint8_t>(now);
        sites.multitools = sites.multitools || (now & (now - 1U)) != 0;
    }
    sites.restart = restart;
    if ((back[0] | back[1] | back[2]) == 0) {
        return;
    }
    const auto give_back = [](std::uint8_t& mark, unsigned tools) { mark = static_cast<std::uint8_t>(mark & ~tools); };
    give_back(sites.start, back[0]);
    for (int line = 0; line < Sites::kLines; ++line) {
        give_back(sites.returns[line], back[1]);
        for (std::uint8_t& call : sites.calls[line]) {
            give_back(call, back[2]);
        }
    }
}

// The tools to call for `event` at `frame`'s present site: those that want
// it (C_RETURN and C_RAISE come with CALL, at its site, and are never set on
// their own), less those that have disabled it there; `mark` is where a tool
// that disables it there is marked, or null where it cannot be disabled.
unsigned site_tools(Frame& frame, Event event, std::uint8_t*& mark)
{
    mark = nullptr;
    if (!frame.code || !watching(frame.thread)) {
        return 0;
    }
    const Event site = event == kCReturn || event == kCRaise ? kCall : event;
    Sites* sites = frame.sites;
    if (!sites) {
        return state(site)->active | local_tools(frame, site);
    }
    instrument(frame, *sites);
    const unsigned tools = sites->active[site_index(site)]; // the site's event's tools, as instrument() found them
    // A call's C_RETURN or C_RAISE goes to the tools of its site as they are
    // now, where the interpreter keeps tools for each site of the code (two
    // tools have wanted one event); else to every tool of CALL, as long as
    // its CALL was reported at all.
    if (site != event && !sites->multitools) {
        return frame.calling != 0 ? tools : 0U;
    }
    const int line = offset_of(frame, frame.line) / 2;
    const int call = frame.calls_at_line - 1; // the call at hand, counted by call_reported()
    if (site == kPyStart) {
        mark = &sites->start;
    }
    else if (line < Sites::kLines && site == kPyReturn) {
        mark = &sites->returns[line];
    }
    else if (line < Sites::kLines && call >= 0 && call < Sites::kCallsPerLine) {
        mark = &sites->calls[line][call];
    }
    return tools & ~static_cast<unsigned>(mark ? *mark : 0U);
}

// The tools of an instrumented event (PY_START, PY_RETURN, CALL, and the
// C_RETURN or C_RAISE of a call), called as the interpreter calls them
// (internals.hpp): each tool that site_tools() gives, the highest
// identifier first, with (code, offset) and `extra` (a call's callable and
// first argument, or a return's value). A callback that returns DISABLE turns
// the event off at this site for its tool; for C_RETURN and C_RAISE, which
// cannot be disabled, that is an error, and the callback is removed. 0, or
// -1 with the exception a callback raised.
int call_tools(Frame& frame, Event event, int32_t offset, std::initializer_list<PyObject*> extra)
{
    std::uint8_t* mark = nullptr;
    const unsigned tools = site_tools(frame, event, mark);
    if (event == kCall) {
        frame.calling = tools;
    }
    if (tools == 0) {
        return 0;
    }
    const int number = kEventNumbers[event];
    Ref position = Ref::steal(PyLong_FromLong(offset));
    if (!position) {
        return -1;
    }
    PyInterpreterState* interpreter = PyThreadState_GetInterpreter(frame.thread);
    PyObject* args[5] = {nullptr, frame.code, position.get()};
    std::size_t count = 2;
    for (PyObject* value : extra) {
        args[1 + count++] = value;
    }
    for (int tool = 7; tool >= 0; --tool) {
        if (!(tools & (1U << static_cast<unsigned>(tool)))) {
            continue;
        }
        Ref callback = Ref::dup(internals::monitoring_callable(interpreter, tool, number));
        if (!callback) {
            continue;
        }
        const int what = std::exchange(internals::what_event(frame.thread), number);
        ++internals::tracing(frame.thread);
        Ref answer =
            Ref::steal(PyObject_Vectorcall(callback.get(), args + 1, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        --internals::tracing(frame.thread);
        internals::what_event(frame.thread) = what;
        if (!answer) {
            return -1;
        }
        if (answer.get() != process.monitoring_disable) {
            continue;
        }
        if (event != kCReturn && event != kCRaise) {
            if (mark) {
                *mark |= static_cast<std::uint8_t>(1U << static_cast<unsigned>(tool));
            }
            continue;
        }
        PyErr_Format(PyExc_ValueError, "Cannot disable %s events. Callback removed.",
                     event == kCReturn ? "C_RETURN" : "C_RAISE");
        Py_CLEAR(internals::monitoring_callable(interpreter, tool, number));
        return -1;
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
    uint64_t version = ~uint64_t{0}; // a version no interpreter has: the states are made afresh
    if (PyMonitoring_EnterScope(fresh, &version, kEventNumbers, kEvents) < 0) {
        PyErr_Clear();
        return;
    }
    // C_RETURN and C_RAISE go to the tools of CALL (site_tools); the
    // interpreter's table of tools for each event has no entry for them, and
    // what it gives is read past that table: flags that stay set once
    // sys.setprofile or sys.settrace was used, which would keep every run
    // from the quiet path.
    fresh[kCReturn].active = fresh[kCRaise].active = 0;
    monitors.version = version;
    monitors.interpreter = PyThreadState_GetInterpreter(PyThreadState_Get());
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
    return call_tools(frame, kPyStart, 0, {});
}

int call_reported(Frame& frame, PyObject* callable, PyObject* first_argument)
{
    ++frame.calls_at_line;
    return call_tools(frame, kCall, offset_of(frame, frame.line),
                      {callable, first_argument ? first_argument : process.monitoring_missing});
}

Ref c_reported(Frame& frame, PyObject* callable, PyObject* first_argument, Ref result)
{
    const int32_t offset = offset_of(frame, frame.line);
    PyObject* first = first_argument ? first_argument : process.monitoring_missing;
    if (result) {
        return call_tools(frame, kCReturn, offset, {callable, first}) == 0 ? std::move(result) : Ref{};
    }
    // As the interpreter does: a callback's exception replaces the call's.
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (call_tools(frame, kCRaise, offset, {callable, first}) == 0) {
        PyErr_SetRaisedException(raised.release());
    }
    return {};
}

int return_reported(Frame& frame, PyObject* value)
{
    return call_tools(frame, kPyReturn, offset_of(frame, frame.line), {value});
}

bool local_slowly(const Frame& frame)
{
    return (local_tools(frame, kPyStart) | local_tools(frame, kPyReturn) | local_tools(frame, kCall)) != 0;
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
