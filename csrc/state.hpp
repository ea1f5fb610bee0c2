// Process state: the fixed texts, the module object and what the module keeps
// for the life of the interpreter that owns it, and how that ownership is
// claimed and given up.
#pragma once

#include <Python.h>

#include <cstdint>

namespace ostrel {

// Interned names and fixed texts, made once for each owning interpreter. One
// list gives both the struct and the table it is filled from.
#define OSTREL_TEXTS(X)                                                                                                \
    /* module-level names */                                                                                           \
    X(psutil, "psutil")                                                                                                \
    X(pyudev, "pyudev")                                                                                                \
    X(Enum, "Enum")                                                                                                    \
    X(Union, "Union")                                                                                                  \
    X(logger, "logger")                                                                                                \
    X(DeviceType, "DeviceType")                                                                                        \
    X(MAC, "MAC")                                                                                                      \
    X(DISK, "DISK")                                                                                                    \
    X(CUDA, "CUDA")                                                                                                    \
    X(get_mac_address, "get_mac_address")                                                                              \
    X(get_disk_serial_number, "get_disk_serial_number")                                                                \
    X(get_machine_code, "get_machine_code")                                                                            \
    X(get_gpu_uuid, "get_gpu_uuid")                                                                                    \
    X(dunder_name, "__name__")                                                                                         \
    X(dunder_builtins, "__builtins__")                                                                                 \
    X(dunder_import, "__import__")                                                                                     \
    X(dunder_test, "__test__")                                                                                         \
    X(dunder_module, "__module__")                                                                                     \
    X(dunder_qualname, "__qualname__")                                                                                 \
    X(dunder_prepare, "__prepare__")                                                                                   \
    X(dunder_main, "__main__")                                                                                         \
    X(report_mac, "ostrel")                                                                                            \
    X(report_disk, "disk_code")                                                                                        \
    X(report_cuda, "cuda_uuid")                                                                                        \
    X(report_error, "e")                                                                                               \
    X(print, "print")                                                                                                  \
    X(enum_module, "enum")                                                                                             \
    X(typing_module, "typing")                                                                                         \
    X(loguru_module, "loguru")                                                                                         \
    X(subprocess, "subprocess")                                                                                        \
    X(name, "name")                                                                                                    \
    X(obj, "obj")                                                                                                      \
    /* attributes and keys */                                                                                          \
    X(net_if_addrs, "net_if_addrs")                                                                                    \
    X(items, "items")                                                                                                  \
    X(family, "family")                                                                                                \
    X(AF_LINK, "AF_LINK")                                                                                              \
    X(address, "address")                                                                                              \
    X(Context, "Context")                                                                                              \
    X(list_devices, "list_devices")                                                                                    \
    X(properties, "properties")                                                                                        \
    X(ID_SERIAL, "ID_SERIAL")                                                                                          \
    X(check_output, "check_output")                                                                                    \
    X(decode, "decode")                                                                                                \
    X(strip, "strip")                                                                                                  \
    X(replace, "replace")                                                                                              \
    /* fixed values */                                                                                                 \
    X(eth0, "eth0")                                                                                                    \
    X(wlan0, "wlan0")                                                                                                  \
    X(lo, "lo")                                                                                                        \
    X(docker, "docker")                                                                                                \
    X(veth, "veth")                                                                                                    \
    X(block, "block")                                                                                                  \
    X(nvidia_smi, "nvidia-smi")                                                                                        \
    X(query_gpu, "--query-gpu=uuid")                                                                                   \
    X(format_csv, "--format=csv,noheader")                                                                             \
    X(utf_8, "utf-8")                                                                                                  \
    X(empty, "")                                                                                                       \
    X(prefix_mac, "Error while getting MAC address: ")                                                                 \
    X(prefix_disk, "Error while getting disk serial number: ")                                                         \
    X(prefix_gpu, "Error getting GPU UUID: ")                                                                          \
    X(prefix_code, "Error while getting machine code: ")                                                               \
    X(prefix_report_cuda, "Cuda uuid: ")                                                                               \
    X(prefix_report_mac, "MAC Address: ")                                                                              \
    X(prefix_report_disk, "Disk Serial Number: ")                                                                      \
    X(prefix_report_error, "Error in main execution: ")                                                                \
    X(device_type_name, "device_type")

struct Texts {
#define OSTREL_TEXT_FIELD(field, value) PyObject* field;
    OSTREL_TEXTS(OSTREL_TEXT_FIELD)
#undef OSTREL_TEXT_FIELD
    // keyword-name tuples and other constants
    PyObject *kw_subsystem, *kw_timeout, *kw_code_replace;
    PyObject *tool_timeout, *zero, *one;
    PyObject *fromlist_enum, *fromlist_union, *fromlist_logger;
};

extern Texts texts;

// Everything the module keeps for the life of the interpreter that owns it,
// touched only with the interpreter lock held.
//
// Phases of the owner's finalisation, and what a call of one of the module's
// functions does in each (the function objects can outlive the module's
// namespace: a finaliser, an at-fork hook or a codec search function may hold
// one):
//  * at-exit callbacks, module teardown, the last collection, the clearing of
//    the interpreter's own fields: the state stays valid, since every object
//    it holds is held by a strong reference, so a call runs as usual against
//    whatever its namespace holds by then (the interpreter sets the values of
//    a torn-down module namespace to None, and plain Python fails the same way
//    there);
//  * once the owner is gone: no object of it can run any more. The state is
//    only marked `finalised` by an at-exit callback of the owner; the next
//    interpreter that loads the module (an embedding host may finalise the
//    interpreter and initialise a new one in the same process) forgets it all
//    without touching it, because its objects died with their interpreter,
//    and starts afresh.
struct ProcessState {
    int64_t owner = -1;                         // identifier of the owning interpreter; -1 before the first load
    bool ready = false;                         // the texts exist for the owner
    bool finalised = false;                     // the owner has been finalised
    PyObject* module = nullptr;                 // strong: the one module object, from the start of its body
    PyObject* builtins = nullptr;               // strong: the builtins module
    PyObject* print = nullptr;                  // strong: builtins.print as it was when the body ran
    PyObject* traceback_codes = nullptr;        // strong: "name:line" -> code object of a traceback entry
    vectorcallfunc inline_vectorcall = nullptr; // what the interpreter gives a new Python function
    PyObject* monitoring_missing = nullptr;     // strong: sys.monitoring.MISSING
    PyObject* monitoring_disable = nullptr;     // strong: sys.monitoring.DISABLE

    // Records the running interpreter as the owner, or checks that it is the
    // owner; false with ImportError set for any other interpreter. After the
    // owner's finalisation the next interpreter becomes the owner afresh.
    bool claim();
    // Makes the texts for the owner; false with an exception set.
    bool prepare();
};

extern ProcessState process;

} // namespace ostrel
