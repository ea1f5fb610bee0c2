// The module frame: the init function, the create and exec slots, and the
// module body that imports the dependencies, defines DeviceType, binds the five
// functions and, when run as the main module, prints the report.

#include <Python.h>

#include <cstdint>

#include "function.hpp"
#include "internals.hpp"
#include "lines.hpp"
#include "lookup.hpp"
#include "ref.hpp"
#include "sources.hpp"
#include "state.hpp"
#include "traceback.hpp"
#include "values.hpp"

// A host sets this to non-zero before the module is executed to run it as the
// main module.
extern "C" {
__attribute__((visibility("default"))) int32_t __pyx_module_is_main_varnok__ostrel = 0;
}

namespace ostrel {

namespace {

constexpr const char* kModuleName = "varnok.ostrel";

// ---- the five functions -----------------------------------------------------

constexpr const char* kMacLocals[] = {"iface", "addrs", "addr", "e"};
constexpr const char* kDiskLocals[] = {"context", "device", "e"};
constexpr const char* kCodeLocals[] = {"device_type", "e"};
constexpr const char* kGpuLocals[] = {"subprocess", "result", "e"};

// clang-format off
constexpr const char kMachineCodeDoc[] =
    "\n"
    "    根据设备类型返回对应的唯一标识符\n"
    "    :param device_type: 设备类型 (DeviceType.MAC 或 DeviceType.DISK)\n"
    "    :return: 对应的唯一标识符（MAC 地址或硬盘序列号）\n"
    "    ";
// clang-format on

// In the order the body binds them.
constexpr FunctionSpec kFunctions[] = {
    {"get_mac_address", "varnok.ostrel.get_mac_address", line::kMacDef, line::kMacEnd, nullptr, kMacLocals, 4,
     "获取物理网卡的 MAC 地址", nullptr, "str", get_mac_address},
    {"get_disk_serial_number", "varnok.ostrel.get_disk_serial_number", line::kDiskDef, line::kDiskEnd, nullptr,
     kDiskLocals, 3, "获取硬盘的序列号", nullptr, "str", get_disk_serial_number},
    {"get_machine_code", "varnok.ostrel.get_machine_code", line::kCodeDef, line::kCodeEnd, "device_type", kCodeLocals,
     2, kMachineCodeDoc, "DeviceType", "str", get_machine_code},
    {"get_gpu_uuid", "varnok.ostrel.get_gpu_uuid", line::kGpuDef, line::kGpuEnd, nullptr, kGpuLocals, 3, nullptr,
     nullptr, nullptr, get_gpu_uuid},
    {"get_machine_string", "varnok.ostrel.get_machine_string", line::kStringDef, line::kStringEnd, nullptr, nullptr, 0,
     nullptr, nullptr, nullptr, get_machine_string},
};

// ---- module body ------------------------------------------------------------

int bind(PyObject* globals, PyObject* name, const Ref& value)
{
    return value ? PyDict_SetItem(globals, name, value.get()) : -1;
}

Ref import_module(Frame& frame, PyObject* name, PyObject* fromlist)
{
    return import_name(frame, name, fromlist, frame.globals);
}

// `from <module> import <name>`
Ref import_from(Frame& frame, PyObject* module_name, PyObject* fromlist, PyObject* name)
{
    Ref module = import_module(frame, module_name, fromlist);
    if (!module) {
        return {};
    }
    Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %R", name);
    }
    return value;
}

// class DeviceType(Enum): MAC = 1; DISK = 2; CUDA = 3
Ref make_device_type(Frame& frame)
{
    Ref base = lookup_global(frame.globals, frame.builtins, texts.Enum);
    Ref bases = base ? Ref::steal(PyTuple_Pack(1, base.get())) : Ref{};
    if (!bases) {
        return {};
    }
    // Held, as class creation holds it: __prepare__ may run code that
    // changes the base's class.
    Ref metaclass_ref = Ref::dup(reinterpret_cast<PyObject*>(Py_TYPE(base.get())));
    PyObject* metaclass = metaclass_ref.get();
    PyObject* prepare = nullptr;
    if (PyObject_GetOptionalAttr(metaclass, texts.dunder_prepare, &prepare) < 0) {
        return {};
    }
    Ref prepare_ref = Ref::steal(prepare);
    Ref namespace_ = prepare ? Ref::steal(PyObject_CallFunctionObjArgs(prepare, texts.DeviceType, bases.get(), nullptr))
                             : Ref::steal(PyDict_New());
    prepare_ref = Ref{};
    if (!namespace_) {
        return {};
    }
    if (!PyMapping_Check(namespace_.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                     reinterpret_cast<PyTypeObject*>(metaclass)->tp_name, Py_TYPE(namespace_.get())->tp_name);
        return {};
    }
    struct Entry {
        PyObject* key;
        Ref value;
    };
    Entry entries[] = {
        {texts.dunder_module, Ref::steal(PyUnicode_FromString(kModuleName))},
        {texts.dunder_qualname, Ref::dup(texts.DeviceType)},
        {texts.MAC, Ref::steal(PyLong_FromLong(1))},
        {texts.DISK, Ref::steal(PyLong_FromLong(2))},
        {texts.CUDA, Ref::steal(PyLong_FromLong(3))},
    };
    for (Entry& entry : entries) {
        if (!entry.value || PyObject_SetItem(namespace_.get(), entry.key, entry.value.get()) < 0) {
            return {};
        }
    }
    Ref made =
        Ref::steal(PyObject_CallFunctionObjArgs(metaclass, texts.DeviceType, bases.get(), namespace_.get(), nullptr));
    // A class statement is a call of the builtin __build_class__, after which
    // the interpreter handles what its eval breaker signals.
    return made && internals::handle_pending(frame.thread) ? std::move(made) : Ref{};
}

// `__name__ == "__main__"`: the same object or an equal str counts as equal.
int runs_as_main(Frame& frame)
{
    Ref name = lookup_global(frame.globals, frame.builtins, texts.dunder_name);
    if (!name) {
        return -1;
    }
    if (name.get() == texts.dunder_main) {
        return 1;
    }
    if (PyUnicode_CheckExact(name.get())) {
        return PyUnicode_Compare(name.get(), texts.dunder_main) == 0;
    }
    return equals(name.get(), texts.dunder_main);
}

struct ReportQuery {
    int line;
    PyObject* Texts::* member;
    PyObject* Texts::* target;
};

constexpr ReportQuery kReportQueries[] = {
    {line::kReportMac, &Texts::MAC, &Texts::report_mac},
    {line::kReportDisk, &Texts::DISK, &Texts::report_disk},
    {line::kReportCuda, &Texts::CUDA, &Texts::report_cuda},
};

struct ReportLine {
    int line;
    PyObject* Texts::* prefix;
    PyObject* Texts::* source;
};

constexpr ReportLine kReportLines[] = {
    {line::kReportCudaLine, &Texts::prefix_report_cuda, &Texts::report_cuda},
    {line::kReportMacLine, &Texts::prefix_report_mac, &Texts::report_mac},
    {line::kReportDiskLine, &Texts::prefix_report_disk, &Texts::report_disk},
};

int report_lines(Frame& frame)
{
    for (const ReportQuery& query : kReportQueries) {
        frame.at(query.line);
        Ref machine_code = lookup_global(frame.globals, frame.builtins, texts.get_machine_code);
        Ref device_type = machine_code ? lookup_global(frame.globals, frame.builtins, texts.DeviceType) : Ref{};
        Ref member[] = {device_type ? Ref::steal(PyObject_GetAttr(device_type.get(), texts.*query.member)) : Ref{}};
        device_type = Ref{};
        Ref code = member[0] ? call(frame, std::move(machine_code), member) : Ref{};
        if (bind(frame.globals, texts.*query.target, code) < 0) {
            return -1;
        }
    }
    for (const ReportLine& report : kReportLines) {
        frame.at(report.line);
        Ref value = lookup_global(frame.globals, frame.builtins, texts.*report.source);
        if (!value || print_line(frame, texts.*report.prefix, value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

// The command-line report, run when the module runs as the main module.
int run_report(Frame& frame)
{
    frame.at(line::kReportTest);
    if (int is_main = runs_as_main(frame); is_main <= 0) {
        return is_main;
    }
    if (report_lines(frame) == 0) {
        return 0;
    }
    if (!except_matches(frame, line::kReportHandler)) {
        return -1;
    }
    int status = 0;
    {
        ExceptBlock handler(frame);
        frame.at(line::kReportHandler - 1);
        status = PyDict_SetItem(frame.globals, texts.report_error, handler.error());
        if (status == 0) {
            frame.at(line::kReportHandler);
            Ref bound = lookup_global(frame.globals, frame.builtins, texts.report_error);
            status = bound ? print_line(frame, texts.prefix_report_error, bound.get()) : -1;
        }
        if (status < 0 && !block_failed(frame, line::kReportHandler, handler)) {
            return -1;
        }
    }
    // `e` goes away whichever way the handler ended.
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    if (PyDict_Pop(frame.globals, texts.report_error, nullptr) < 0) {
        return -1;
    }
    if (pending) {
        PyErr_SetRaisedException(pending.release());
        monitor::reraised(frame, monitor::kNoLine);
        return -1;
    }
    return status;
}

int run_statements(Frame& frame)
{
    PyObject* globals = frame.globals;
    struct Import {
        int line;
        PyObject* Texts::* module;
        PyObject* Texts::* fromlist; // null for a plain `import`
        PyObject* Texts::* name;
    };
    constexpr Import imports[] = {
        {line::kImportPsutil, &Texts::psutil, nullptr, &Texts::psutil},
        {line::kImportPyudev, &Texts::pyudev, nullptr, &Texts::pyudev},
        {line::kImportEnum, &Texts::enum_module, &Texts::fromlist_enum, &Texts::Enum},
        {line::kImportUnion, &Texts::typing_module, &Texts::fromlist_union, &Texts::Union},
        {line::kImportLogger, &Texts::loguru_module, &Texts::fromlist_logger, &Texts::logger},
    };
    for (const Import& import : imports) {
        frame.at(import.line);
        Ref value = import.fromlist
                        ? import_from(frame, texts.*import.module, texts.*import.fromlist, texts.*import.name)
                        : import_module(frame, texts.*import.module, nullptr);
        if (bind(globals, texts.*import.name, value) < 0) {
            return -1;
        }
    }
    frame.at(line::kDeviceType);
    if (bind(globals, texts.DeviceType, make_device_type(frame)) < 0) {
        return -1;
    }
    for (const FunctionSpec& spec : kFunctions) {
        frame.at(spec.first_line);
        Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
        if (!name || bind(globals, name.get(), make_function(spec, globals)) < 0) {
            return -1;
        }
    }
    if (run_report(frame) < 0) {
        return -1;
    }
    frame.at(line::kHeader);
    if (bind(globals, texts.dunder_test, Ref::steal(PyDict_New())) < 0) {
        return -1;
    }
    return monitor::returned(frame, Py_None);
}

// The module body's frame, and what monitoring tools are told of it: a code
// object named as its traceback entries, from its first line to its last
// statement.
constexpr FunctionSpec kBody = {
    .name = "<module>",
    .traceback_name = line::kInitName,
    .first_line = line::kHeader,
    .last_line = line::kBodyEnd,
    .parameter = nullptr,
    .local_names = nullptr,
    .local_count = 0,
    .doc = nullptr,
    .parameter_annotation = nullptr,
    .return_annotation = nullptr,
    .body = nullptr,
};

// Exec steps that precede the body: builtins, main flag, sys.modules entry
// and the cached print. (An interpreter of another version never gets here:
// PyInit_ostrel refuses it.) `entered` tells whether the entry
// under the module's full name was made here.
int prepare_module(PyObject* module, bool& entered)
{
    Ref builtins = Ref::steal(PyImport_AddModuleRef("builtins"));
    if (!builtins || PyObject_SetAttr(module, texts.dunder_builtins, builtins.get()) < 0) {
        return -1;
    }
    Py_XSETREF(process.builtins, builtins.release());

    if (__pyx_module_is_main_varnok__ostrel && PyObject_SetAttr(module, texts.dunder_name, texts.dunder_main) < 0) {
        return -1;
    }

    PyObject* modules = PyImport_GetModuleDict();
    int listed = PyMapping_HasKeyStringWithError(modules, kModuleName);
    if (listed < 0 || (listed == 0 && PyMapping_SetItemString(modules, kModuleName, module) < 0)) {
        return -1;
    }
    entered = listed == 0;

    Ref print = lookup_builtin(texts.print);
    if (!print) {
        return -1;
    }
    Py_XSETREF(process.print, print.release());
    return 0;
}

// Removes the sys.modules entry under the module's full name when it still
// holds `module`; the exception being raised is kept.
void forget_entry(PyObject* module)
{
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* listed = nullptr;
    const int found = PyMapping_GetOptionalItemString(modules, kModuleName, &listed);
    Ref held = Ref::steal(listed);
    if (found > 0 && listed == module) {
        PyMapping_DelItemString(modules, kModuleName);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(raised.release());
}

// ---- slots ------------------------------------------------------------------

PyObject* module_create(PyObject* spec, PyModuleDef*)
{
    // The types and remembered answers of an owner that is gone go with the
    // rest of its state, which claim() forgets.
    if (process.finalised) {
        forget_function_type();
        forget_lookups();
    }
    if (!process.claim()) {
        return nullptr;
    }
    if (process.module) {
        return Py_NewRef(process.module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref{};
    if (!module) {
        return nullptr;
    }
    struct Copy {
        const char* from;
        const char* to;
        bool keep_none;
    };
    constexpr Copy copies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const Copy& copy : copies) {
        PyObject* value = nullptr;
        if (PyObject_GetOptionalAttrString(spec, copy.from, &value) < 0) {
            return nullptr;
        }
        Ref owned = Ref::steal(value);
        if (owned && (copy.keep_none || !Py_IsNone(value))
            && PyObject_SetAttrString(module.get(), copy.to, value) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

int module_exec(PyObject* module)
{
    if (process.module) {
        if (process.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'ostrel' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (!process.prepare() || !init_function_type()) {
        return -1;
    }
    watch_namespaces();
    monitor::forget(); // another interpreter may have had tools where this one is
    process.module = Py_NewRef(module);
    Ref globals = Ref::dup(PyModule_GetDict(module));
    Frame frame{.globals = globals.get(), .line = line::kHeader, .thread = PyThreadState_Get(), .spec = nullptr};
    bool entered = false;
    Ref function;
    void* pushed = nullptr;
    Sites sites;
    // The body's builtins are those of its namespace, which the first step
    // sets. Its statements run in a frame of their own, whose locals are
    // the namespace.
    auto statements = [&] {
        frame.builtins = PyModule_GetDict(process.builtins);
        function = make_frame_function(kBody, globals.get(), frame.builtins);
        pushed =
            function ? internals::ostrel_frame_push(frame.thread, function.get(), nullptr, globals.get()) : nullptr;
        if (!pushed) {
            return -1;
        }
        frame.attach(pushed, PyFunction_GET_CODE(function.get()));
        frame.sites = &sites;
        return monitor::start(frame) == 0 ? run_statements(frame) : -1;
    };
    const bool failed = prepare_module(module, entered) < 0 || statements() < 0;
    if (failed) {
        if (frame.unwind_line == 0) {
            reached(frame);
        }
        monitor::unwound(frame, frame.unwind_line);
    }
    if (pushed) {
        internals::ostrel_frame_pop(frame.thread, pushed);
    }
    if (failed) {
        // A failed load leaves nothing behind: the next import starts afresh.
        if (entered) {
            forget_entry(module);
        }
        Py_CLEAR(process.module);
        return -1;
    }
    return 0;
}

// The module keeps one state for the whole process and lets only one
// interpreter at a time load it (ProcessState::claim); interpreters with
// an interpreter lock of their own are refused by the import system.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ostrel", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

} // namespace

} // namespace ostrel

PyMODINIT_FUNC PyInit_ostrel()
{
    if (!ostrel::internals::interpreter_supported()) {
        return nullptr;
    }
    return PyModuleDef_Init(&ostrel::module_def);
}
