#include "runtime.hpp"

#include <frameobject.h>

#include "lines.hpp"

namespace ostrel {

Texts texts{};
ProcessState process{};

namespace {

struct TextEntry {
    PyObject* Texts::* slot;
    const char* value;
};

constexpr TextEntry kTextEntries[] = {
    {&Texts::psutil, "psutil"},
    {&Texts::pyudev, "pyudev"},
    {&Texts::Enum, "Enum"},
    {&Texts::Union, "Union"},
    {&Texts::logger, "logger"},
    {&Texts::DeviceType, "DeviceType"},
    {&Texts::MAC, "MAC"},
    {&Texts::DISK, "DISK"},
    {&Texts::CUDA, "CUDA"},
    {&Texts::get_mac_address, "get_mac_address"},
    {&Texts::get_disk_serial_number, "get_disk_serial_number"},
    {&Texts::get_machine_code, "get_machine_code"},
    {&Texts::get_gpu_uuid, "get_gpu_uuid"},
    {&Texts::get_machine_string, "get_machine_string"},
    {&Texts::dunder_name, "__name__"},
    {&Texts::dunder_builtins, "__builtins__"},
    {&Texts::dunder_test, "__test__"},
    {&Texts::dunder_module, "__module__"},
    {&Texts::dunder_qualname, "__qualname__"},
    {&Texts::dunder_prepare, "__prepare__"},
    {&Texts::dunder_main, "__main__"},
    {&Texts::report_mac, "ostrel"},
    {&Texts::report_disk, "disk_code"},
    {&Texts::report_cuda, "cuda_uuid"},
    {&Texts::report_error, "e"},
    {&Texts::print, "print"},
    {&Texts::enum_module, "enum"},
    {&Texts::typing_module, "typing"},
    {&Texts::loguru_module, "loguru"},
    {&Texts::subprocess, "subprocess"},
    {&Texts::net_if_addrs, "net_if_addrs"},
    {&Texts::items, "items"},
    {&Texts::family, "family"},
    {&Texts::AF_LINK, "AF_LINK"},
    {&Texts::address, "address"},
    {&Texts::Context, "Context"},
    {&Texts::list_devices, "list_devices"},
    {&Texts::properties, "properties"},
    {&Texts::ID_SERIAL, "ID_SERIAL"},
    {&Texts::check_output, "check_output"},
    {&Texts::decode, "decode"},
    {&Texts::strip, "strip"},
    {&Texts::replace, "replace"},
    {&Texts::eth0, "eth0"},
    {&Texts::wlan0, "wlan0"},
    {&Texts::lo, "lo"},
    {&Texts::docker, "docker"},
    {&Texts::veth, "veth"},
    {&Texts::block, "block"},
    {&Texts::nvidia_smi, "nvidia-smi"},
    {&Texts::query_gpu, "--query-gpu=uuid"},
    {&Texts::format_csv, "--format=csv,noheader"},
    {&Texts::utf_8, "utf-8"},
    {&Texts::separator, "|"},
    {&Texts::empty, ""},
    {&Texts::prefix_mac, "Error while getting MAC address: "},
    {&Texts::prefix_disk, "Error while getting disk serial number: "},
    {&Texts::prefix_gpu, "Error getting GPU UUID: "},
    {&Texts::prefix_code, "Error while getting machine code: "},
    {&Texts::prefix_report_cuda, "Cuda uuid: "},
    {&Texts::prefix_report_mac, "MAC Address: "},
    {&Texts::prefix_report_disk, "Disk Serial Number: "},
    {&Texts::prefix_report_error, "Error in main execution: "},
    {&Texts::device_type_name, "device_type"},
};

bool texts_ready = false;

bool store(PyObject*& slot, PyObject* value)
{
    if (!value) {
        return false;
    }
    Py_XSETREF(slot, value);
    return true;
}

} // namespace

bool init_texts()
{
    if (texts_ready) {
        return true;
    }
    for (const TextEntry& entry : kTextEntries) {
        if (!store(texts.*entry.slot, PyUnicode_InternFromString(entry.value))) {
            return false;
        }
    }
    texts_ready = store(texts.kw_subsystem, Py_BuildValue("(s)", "subsystem"))
                  && store(texts.kw_timeout, Py_BuildValue("(s)", "timeout"))
                  && store(texts.kw_code_replace, Py_BuildValue("(sss)", "co_varnames", "co_argcount", "co_nlocals"))
                  && store(texts.tool_timeout, PyLong_FromLong(120))
                  && store(texts.fromlist_enum, PyTuple_Pack(1, texts.Enum))
                  && store(texts.fromlist_union, PyTuple_Pack(1, texts.Union))
                  && store(texts.fromlist_logger, PyTuple_Pack(1, texts.logger));
    return texts_ready;
}

namespace {

int on_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*)
{
    ++process.epoch;
    return 0;
}

// Watches `dict` and returns the epoch that stays current while nothing watched
// changes, or 0 where watching is not possible. Taken before a lookup, so that
// a change made during the lookup (by an __eq__ or a __getattr__) shows.
uint64_t watch(PyObject* dict)
{
    if (process.dict_watcher < 0 || PyDict_Watch(process.dict_watcher, dict) < 0) {
        PyErr_Clear();
        return 0;
    }
    return process.epoch;
}

// Fills `cache` with `object.name` == `value` when the interpreter would find
// the same object again while the watched namespace, or the version tags, stay
// as they are: a plain module's own attribute, or a class's plain attribute
// that its metaclass does not have.
void remember_attribute(LookupCache& cache, PyObject* object, PyObject* name, PyObject* value, uint64_t epoch,
                        unsigned int version, unsigned int meta_version)
{
    if (PyModule_CheckExact(object)) {
        PyObject* stored = nullptr;
        if (PyDict_GetItemRef(PyModule_GetDict(object), name, &stored) < 0) {
            PyErr_Clear();
        }
        Ref owned = Ref::steal(stored);
        if (stored == value && epoch != 0 && epoch == process.epoch) {
            cache = LookupCache{epoch, object, 0, 0, value};
        }
        return;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(object);
    PyTypeObject* metatype = Py_TYPE(object);
    if (version != 0 && meta_version != 0 && !_PyType_Lookup(metatype, name) && _PyType_Lookup(type, name) == value
        && !Py_TYPE(value)->tp_descr_get && type->tp_version_tag == version
        && metatype->tp_version_tag == meta_version) {
        cache = LookupCache{0, object, version, meta_version, value};
    }
}

} // namespace

void init_lookups()
{
    // Without a watcher (the interpreter has a few per process) every lookup
    // simply runs in full.
    if (process.dict_watcher < 0) {
        process.dict_watcher = PyDict_AddWatcher(on_namespace_change);
        if (process.dict_watcher < 0) {
            PyErr_Clear();
        }
    }
}

Ref lookup_global_remembered(PyObject* globals, PyObject* name, LookupCache& cache)
{
    cache = LookupCache{};
    const uint64_t epoch = watch(globals);
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(globals, name, &value) > 0) {
        if (epoch != 0 && epoch == process.epoch) {
            cache = LookupCache{epoch, globals, 0, 0, value};
        }
        return Ref::steal(value);
    }
    return value || PyErr_Occurred() ? Ref::steal(value) : lookup_builtin(name);
}

Ref get_attribute_remembered(PyObject* object, PyObject* name, LookupCache& cache)
{
    cache = LookupCache{};
    // Only plain modules and classes that use the interpreter's own attribute
    // lookup can have their answers reused.
    uint64_t epoch = 0;
    unsigned int version = 0;
    unsigned int meta_version = 0;
    bool plain_module = PyModule_CheckExact(object) && Py_TYPE(object)->tp_getattro == PyModule_Type.tp_getattro
                        && !_PyType_Lookup(Py_TYPE(object), name);
    bool plain_class = PyType_Check(object) && Py_TYPE(object)->tp_getattro == PyType_Type.tp_getattro;
    if (plain_module) {
        epoch = watch(PyModule_GetDict(object));
    }
    else if (plain_class) {
        version = reinterpret_cast<PyTypeObject*>(object)->tp_version_tag;
        meta_version = Py_TYPE(object)->tp_version_tag;
    }
    Ref value = Ref::steal(PyObject_GetAttr(object, name));
    if (value && (plain_module || plain_class)) {
        remember_attribute(cache, object, name, value.get(), epoch, version, meta_version);
    }
    return value;
}

Ref get_field(PyObject* object, PyObject* name, LookupCache& cache)
{
    PyTypeObject* type = Py_TYPE(object);
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return Ref::steal(PyObject_GetAttr(object, name));
    }
    if (cache.owner != reinterpret_cast<PyObject*>(type) || cache.version != type->tp_version_tag
        || cache.version == 0) {
        cache = LookupCache{};
        PyObject* descriptor = _PyType_Lookup(type, name);
        if (!descriptor || !Py_TYPE(descriptor)->tp_descr_get || !Py_TYPE(descriptor)->tp_descr_set
            || type->tp_version_tag == 0) {
            return Ref::steal(PyObject_GetAttr(object, name));
        }
        cache = LookupCache{0, reinterpret_cast<PyObject*>(type), type->tp_version_tag, 0, descriptor};
    }
    // What the generic lookup does for a data descriptor, which takes
    // precedence over the instance's own attributes.
    Ref descriptor = Ref::dup(cache.value);
    return Ref::steal(
        Py_TYPE(descriptor.get())->tp_descr_get(descriptor.get(), object, reinterpret_cast<PyObject*>(type)));
}

Ref lookup_builtin(PyObject* name)
{
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(process.builtins, name, &value) == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::steal(value);
}

Ref lookup_global(PyObject* globals, PyObject* name)
{
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(globals, name, &value) != 0) {
        return Ref::steal(value); // found, or an error with value null
    }
    return lookup_builtin(name);
}

int equals(PyObject* left, PyObject* right)
{
    if (compares_by_identity(left) && compares_by_identity(right)) {
        return left == right;
    }
    // Integers, and int-based enumerations that keep int's comparison.
    const richcmpfunc by_value = PyLong_Type.tp_richcompare;
    if (PyLong_Check(left) && PyLong_Check(right) && Py_TYPE(left)->tp_richcompare == by_value
        && Py_TYPE(right)->tp_richcompare == by_value) {
        int left_overflow = 0;
        int right_overflow = 0;
        const long left_value = PyLong_AsLongAndOverflow(left, &left_overflow);
        const long right_value = PyLong_AsLongAndOverflow(right, &right_overflow);
        if (!left_overflow && !right_overflow) {
            return left_value == right_value;
        }
    }
    if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right)) {
        return left == right
               || (PyUnicode_GET_LENGTH(left) == PyUnicode_GET_LENGTH(right) && PyUnicode_Compare(left, right) == 0);
    }
    Ref outcome = Ref::steal(PyObject_RichCompare(left, right, Py_EQ));
    if (!outcome) {
        return -1;
    }
    if (outcome.get() == Py_True) {
        return 1;
    }
    if (outcome.get() == Py_False) {
        return 0;
    }
    return PyObject_IsTrue(outcome.get());
}

Ref checked_text(Ref value)
{
    if (value && !PyUnicode_CheckExact(value.get()) && !Py_IsNone(value.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "unicode", Py_TYPE(value.get())->tp_name);
        return {};
    }
    return value;
}

Ref text_of(PyObject* value)
{
    if (PyUnicode_CheckExact(value)) {
        return Ref::dup(value);
    }
    return Ref::steal(PyObject_Format(value, texts.empty));
}

Ref empty_text()
{
    return Ref::dup(texts.empty);
}

int print_line(PyObject* prefix, PyObject* value)
{
    Ref text = text_of(value);
    if (!text) {
        return -1;
    }
    Ref line = Ref::steal(PyUnicode_Concat(prefix, text.get()));
    if (!line) {
        return -1;
    }
    Ref printed = Ref::steal(PyObject_CallOneArg(process.print, line.get()));
    return printed ? 0 : -1;
}

void add_traceback(const char* name, int line, PyObject* globals)
{
    // The exception is parked while the code and frame objects are made; a
    // failure to make them leaves the exception as it was, without the entry.
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(line::kFile, name, line)));
    Ref frame;
    if (code) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    }
    PyErr_Clear();
    PyErr_SetRaisedException(raised.release());
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

} // namespace ostrel
