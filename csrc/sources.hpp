// The bodies of the module's five functions, and what they share.
#pragma once

#include <Python.h>

#include "frame.hpp"
#include "function.hpp"
#include "lookup.hpp"
#include "monitor.hpp"
#include "ref.hpp"
#include "state.hpp"
#include "traceback.hpp"
#include "values.hpp"
#include "walk.hpp"

namespace ostrel {

Ref get_mac_address(Frame& frame, PyObject* unused);
Ref get_disk_serial_number(Frame& frame, PyObject* unused);
Ref get_gpu_uuid(Frame& frame, PyObject* unused);
Ref get_machine_code(Frame& frame, PyObject* device_type);
Ref get_machine_string(Frame& frame, PyObject* unused);

} // namespace ostrel
