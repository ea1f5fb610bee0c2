/* Offsets into interpreter structures that no public header describes, taken
 * from the interpreter's own internal headers: the one file of the module that
 * is compiled against them (they are C, not C++). internals.hpp reads through
 * these. */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_interp.h>

#include <stddef.h>

const size_t ostrel_dict_watchers_offset = offsetof(PyInterpreterState, dict_state.watchers);
const size_t ostrel_monitoring_callables_offset = offsetof(PyInterpreterState, monitoring_callables);
const int ostrel_monitoring_events = _PY_MONITORING_EVENTS;
const size_t ostrel_eval_frame_offset = offsetof(PyInterpreterState, eval_frame);
const size_t ostrel_last_restart_offset = offsetof(PyInterpreterState, last_restart_version);
const size_t ostrel_code_monitoring_offset = offsetof(PyCodeObject, _co_monitoring);
const size_t ostrel_local_monitors_offset = offsetof(_PyCoMonitoringData, local_monitors);
