/* The interpreter frames the module's functions run in: pushed on the thread's
 * data stack and linked as its current frame for the length of a run, as the
 * interpreter's own CALL of a Python function does, so that whatever reads
 * the frame stack (sys._getframe, tracebacks, profilers, debuggers, warnings'
 * stacklevel, samplers such as py-spy) sees the functions where they run.
 *
 * Everything here is the interpreter's internal layout, so this is the one
 * file that handles frames, compiled against the internal headers of the
 * release it is built for (they are C, not C++). What differs between 3.13
 * and 3.14 stands side by side:
 *
 * - _PyFrame_PushUnchecked (inline) takes the next slot of the thread's data
 *   stack where _PyThreadState_HasStackSpace says it is free, as the
 *   interpreter's CALL of a Python function does, consuming a reference to
 *   the function; the locals start null. Otherwise
 *   _PyEvalFramePushAndInit (exported, pycore_frame.h / pycore_interpframe.h)
 *   takes a slot from a new chunk of the data stack, binds the arguments as the function's first
 *   locals and consumes its references to the function and the arguments,
 *   even when it fails (MemoryError: the data stack cannot grow). 3.13 takes
 *   objects and leaves `previous` to whoever links the frame; 3.14 takes
 *   stack references (_PyStackRef) and the frame to link under.
 * - The frame must be owned by the thread (FRAME_OWNED_BY_THREAD, which the
 *   push sets): a frame owned by the C stack is taken as incomplete and
 *   skipped by everything that walks the stack.
 * - _PyEval_FrameClearAndPop (exported, pycore_ceval.h) clears and pops the
 *   thread's topmost frame, which must be unlinked first, as the interpreter
 *   unlinks a returning frame: clearing can run finalisers, which must not see
 *   it. If a frame object was made for it and is still referenced (by a
 *   traceback, or by code that kept sys._getframe()'s result), the frame is
 *   moved into that object, with f_back linked to the caller's. Otherwise its
 *   locals go in the interpreter's order: first to last up to 3.13, last to
 *   first from 3.14.
 * - The locals are PyObject pointers up to 3.13 and _PyStackRef from 3.14,
 *   whose low bits tag references the frame does not own (immortal objects)
 *   and whose null is a tagged value, not 0 (pycore_stackref.h).
 * - instr_ptr is the instruction running: its position in the code object's
 *   location table is the line that f_lineno, tracebacks and samplers read.
 */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_ceval.h>
#include <internal/pycore_frame.h>
#if PY_VERSION_HEX >= 0x030E0000
#include <internal/pycore_interpframe.h>
#include <internal/pycore_stackref.h>
#endif

#include <stddef.h>
#include <stdint.h>

const size_t ostrel_frame_instr_offset = offsetof(_PyInterpreterFrame, instr_ptr);
const size_t ostrel_frame_locals_offset = offsetof(_PyInterpreterFrame, localsplus);

#if PY_VERSION_HEX >= 0x030E0000
_Static_assert(Py_TAG_BITS == 3, "internals.hpp's kLocalTagBits");
#endif

void* ostrel_frame_push(PyThreadState* thread, PyObject* function, PyObject* argument, PyObject* locals)
{
    _PyInterpreterFrame* previous = thread->current_frame;
    const size_t count = argument ? 1 : 0;
    PyCodeObject* code = (PyCodeObject*)((PyFunctionObject*)function)->func_code;
    _PyInterpreterFrame* frame = NULL;
#if PY_VERSION_HEX >= 0x030E0000
    if (!locals && _PyThreadState_HasStackSpace(thread, code->co_framesize)) {
        /* The interpreter's own fast path for a call whose arguments match. */
        frame = _PyFrame_PushUnchecked(thread, PyStackRef_FromPyObjectNew(function), (int)count, previous);
        if (argument) {
            frame->localsplus[0] = PyStackRef_FromPyObjectNew(argument);
        }
    }
    else {
        _PyStackRef args[1] = {argument ? PyStackRef_FromPyObjectNew(argument) : PyStackRef_NULL};
        frame = _PyEvalFramePushAndInit(thread, PyStackRef_FromPyObjectNew(function), Py_XNewRef(locals), args, count,
                                        NULL, previous);
    }
#else
    if (!locals && _PyThreadState_HasStackSpace(thread, code->co_framesize)) {
        frame = _PyFrame_PushUnchecked(thread, (PyFunctionObject*)Py_NewRef(function), (int)count);
        if (argument) {
            frame->localsplus[0] = Py_NewRef(argument);
        }
    }
    else {
        PyObject* args[1] = {Py_XNewRef(argument)};
        frame = _PyEvalFramePushAndInit(thread, (PyFunctionObject*)Py_NewRef(function), Py_XNewRef(locals), args,
                                        count, NULL);
    }
    if (frame) {
        frame->previous = previous;
    }
#endif
    if (frame) {
        thread->current_frame = frame;
    }
    return frame;
}

void ostrel_frame_pop(PyThreadState* thread, void* pushed)
{
    _PyInterpreterFrame* frame = pushed;
    thread->current_frame = frame->previous;
    _PyEval_FrameClearAndPop(thread, frame);
}

PyObject* ostrel_frame_exchange(void* pushed, int slot, PyObject* value)
{
    _PyInterpreterFrame* frame = pushed;
#if PY_VERSION_HEX >= 0x030E0000
    _PyStackRef old = frame->localsplus[slot];
    frame->localsplus[slot] = value ? PyStackRef_FromPyObjectSteal(value) : PyStackRef_NULL;
    return PyStackRef_IsNull(old) ? NULL : PyStackRef_AsPyObjectSteal(old);
#else
    PyObject* old = frame->localsplus[slot];
    frame->localsplus[slot] = value;
    return old;
#endif
}
