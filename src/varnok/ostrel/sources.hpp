// The bodies of the module's five functions.
#pragma once

#include <Python.h>

#include "ref.hpp"
#include "runtime.hpp"

namespace ostrel {

Ref get_mac_address(Frame& frame, PyObject* unused);
Ref get_disk_serial_number(Frame& frame, PyObject* unused);
Ref get_gpu_uuid(Frame& frame, PyObject* unused);
Ref get_machine_code(Frame& frame, PyObject* device_type);
Ref get_machine_string(Frame& frame, PyObject* unused);

} // namespace ostrel
