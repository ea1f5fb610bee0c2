// Where a running function is, and its local variables. A function runs in an
// interpreter frame of its own (frames.c), which holds its locals and whose
// instruction pointer follows the statement running, so that what reads the
// frame stack sees the function at its line, and an escaping exception's
// traceback entry is that frame. The module body, and a call whose arguments
// cannot be bound, have no interpreter frame: their entries are made apart.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "internals.hpp"
#include "ref.hpp"

namespace ostrel {

// The last units of every code object the module makes (function.cpp): the
// position without a line, then the one instruction more it takes to raise
// NativeCodeError.
inline constexpr Py_ssize_t kClosingUnits = 2;

struct Frame;

// Where monitoring tools have turned events off in the code of a function
// (or of the module body), and what the code is instrumented for. A callback
// that returns sys.monitoring.DISABLE turns its event off for its tool at
// that site only: PY_START at the function's start, PY_RETURN at a line, a
// CALL (and the C_RETURN or C_RAISE that comes with it) by its line and which
// of the line's calls it is. The interpreter gives a site back when it next
// instruments the code after sys.monitoring.restart_events(), or when the
// tool's event has been set again since the code was last instrumented for
// it; the module instruments at each event it reports (monitor.cpp).
struct Sites {
    static constexpr int kLines = 96; // lines from the code's first
    static constexpr int kCallsPerLine = 6;
    PyObject* const* described = nullptr; // where its function holds __code__ (local events count there too), or null
    std::uintptr_t restart = 0;           // the restart version the marks are for
    std::uint8_t active[3] = {};          // the tools that wanted PY_START, PY_RETURN and CALL when last instrumented
    bool multitools = false;              // two tools have wanted one event at once
    std::uint8_t start = 0;               // the tools that disabled PY_START
    std::uint8_t returns[kLines] = {};
    std::uint8_t calls[kLines][kCallsPerLine] = {};

    // The function's __code__ now, or null (the module body has none).
    [[nodiscard]] PyObject* described_code() const { return described ? *described : nullptr; }
};

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

struct Frame {
    PyObject* globals;                  // borrowed: the module namespace
    int line;                           // the statement running now (set through at())
    PyThreadState* thread = nullptr;    // the thread running it
    PyObject* builtins = nullptr;       // borrowed: the namespace of its builtins
    const FunctionSpec* spec = nullptr; // the function running; null: the module's body
    PyObject* code = nullptr;           // borrowed: the code object of its frame and events; null: none
    // 0 until an exception on its way out has been reported where it reached
    // the function; then where it leaves (monitor::kNoLine: at no line).
    int unwind_line = 0;
    // The exception on its way out was raised outside the protected range of
    // the function's `try:`: it leaves past the `except` clause.
    bool unprotected = false;
    void* pushed = nullptr;                      // its interpreter frame; null: none
    std::uintptr_t* slots = nullptr;             // that frame's locals, in the code object's order
    const std::uint16_t** instruction = nullptr; // that frame's instruction pointer
    Sites* sites = nullptr;                      // its code's sites; null: none kept
    int calls_at_line = 0;                       // calls reported since the line was entered
    unsigned calling = 0;                        // the tools the call in progress was reported to

    [[nodiscard]] bool body() const { return spec == nullptr; }
    // The run goes on in `frame`, an interpreter frame of `code`.
    void attach(void* frame, PyObject* frame_code)
    {
        code = frame_code;
        pushed = frame;
        slots = reinterpret_cast<std::uintptr_t*>(static_cast<char*>(frame) + internals::ostrel_frame_locals_offset);
        instruction =
            reinterpret_cast<const std::uint16_t**>(static_cast<char*>(frame) + internals::ostrel_frame_instr_offset);
    }
    // The statement at `to` starts: the frame's instruction is that line's.
    void at(int to)
    {
        calls_at_line = to == line ? calls_at_line : 0;
        line = to;
        point(to);
    }
    // The frame's instruction is one of line `to` (its last position, with
    // no line, for a line outside the code).
    void point(int to) const
    {
        if (instruction) {
            const auto* units =
                reinterpret_cast<const std::uint16_t*>(reinterpret_cast<PyCodeObject*>(code)->co_code_adaptive);
            const int first = reinterpret_cast<PyCodeObject*>(code)->co_firstlineno;
            const int lines = static_cast<int>(Py_SIZE(code) - kClosingUnits);
            *instruction = units + (to >= first && to - first < lines ? to - first : lines);
        }
    }
    // `name = value`: the old value goes once the new one is in place.
    void store(std::size_t slot, Ref value)
    {
        Ref old = Ref::steal(internals::ostrel_frame_exchange(pushed, static_cast<int>(slot), value.release()));
    }
    [[nodiscard]] PyObject* local(std::size_t slot) const { return internals::local_of(slots[slot]); }
};

} // namespace ostrel
