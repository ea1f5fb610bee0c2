#include "runtime.hpp"

#include <frameobject.h>

#include "function.hpp"
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
    {&Texts::dunder_import, "__import__"},
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
                  && store(texts.tool_timeout, PyLong_FromLong(120)) && store(texts.zero, PyLong_FromLong(0))
                  && store(texts.fromlist_enum, PyTuple_Pack(1, texts.Enum))
                  && store(texts.fromlist_union, PyTuple_Pack(1, texts.Union))
                  && store(texts.fromlist_logger, PyTuple_Pack(1, texts.logger));
    return texts_ready;
}

namespace {

// Called when the owning interpreter is finalised, when its objects are being
// taken down: nothing is released here, everything is only forgotten.
void forget_process(void*)
{
    process = ProcessState{};
    texts = Texts{};
    texts_ready = false;
    forget_function_type();
    forget_lookups();
}

} // namespace

bool ProcessState::claim()
{
    PyInterpreterState* current = PyInterpreterState_Get();
    const int64_t id = PyInterpreterState_GetID(current);
    if (id == -1 && PyErr_Occurred()) {
        return false;
    }
    if (!interpreter) {
        if (PyUnstable_AtExit(current, forget_process, nullptr) < 0) {
            return false;
        }
        interpreter = current;
        owner = id;
        return true;
    }
    if (id != owner) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return false;
    }
    return true;
}

namespace {

constexpr int kUndecided = -2;

// The comparisons whose answer needs no code of the operands: identity for
// objects that compare by identity, integers, and exact strs.
int equals_without_code(PyObject* left, PyObject* right)
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
    return kUndecided;
}

} // namespace

int equals(Ref left, Ref right)
{
    if (int answer = equals_without_code(left.get(), right.get()); answer != kUndecided) {
        return answer;
    }
    Ref outcome = Ref::steal(PyObject_RichCompare(left.get(), right.get(), Py_EQ));
    left = Ref{};
    right = Ref{};
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

int equals(PyObject* left, PyObject* right)
{
    if (int answer = equals_without_code(left, right); answer != kUndecided) {
        return answer;
    }
    return equals(Ref::dup(left), Ref::dup(right));
}

Ref import_name(Frame& frame, PyObject* name, PyObject* fromlist, PyObject* locals)
{
    PyObject* found = nullptr;
    if (PyMapping_GetOptionalItem(frame.builtins, texts.dunder_import, &found) < 0) {
        return {};
    }
    Ref import = Ref::steal(found);
    if (!import) {
        PyErr_SetString(PyExc_ImportError, "__import__ not found");
        return {};
    }
    PyObject* args[] = {name, frame.globals, locals, fromlist ? fromlist : Py_None, texts.zero};
    return Ref::steal(PyObject_Vectorcall(import.get(), args, 5, nullptr));
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

namespace {

// The code object of a traceback entry, made once for each name and line and
// kept: a fresh one for every entry would also intern, and soon drop again,
// a copy of its name each time.
Ref traceback_code(const char* name, int line)
{
    if (!process.traceback_codes) {
        process.traceback_codes = PyDict_New();
        if (!process.traceback_codes) {
            return {};
        }
    }
    Ref key = Ref::steal(PyUnicode_FromFormat("%s:%d", name, line));
    PyObject* known = nullptr;
    if (!key || PyDict_GetItemRef(process.traceback_codes, key.get(), &known) != 0) {
        return Ref::steal(known);
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(line::kFile, name, line)));
    if (!code || PyDict_SetItem(process.traceback_codes, key.get(), code.get()) < 0) {
        return {};
    }
    return code;
}

} // namespace

void add_traceback(Frame& frame)
{
    // The exception is parked while the code and frame objects are made; a
    // failure to make them leaves the exception as it was, without the entry.
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    Ref code = traceback_code(frame.name, frame.line);
    // A function that the garbage collector has cleared has no namespace left;
    // its entry gets an empty one.
    Ref namespace_ = frame.globals ? Ref::dup(frame.globals) : Ref::steal(PyDict_New());
    // The entries of a function's run hold its local variables, as a Python
    // function's frame does once an exception has left it: none for a
    // function without any, or for a call whose arguments could not be bound.
    PyObject* locals = nullptr;
    Ref none_bound;
    if (frame.body) {
        locals = frame.globals;
    }
    else if (frame.local_count > 0) {
        if (!frame.traceback_locals) {
            frame.traceback_locals = Ref::steal(PyDict_New());
        }
        locals = frame.traceback_locals.get();
        for (int i = 0; locals && i < frame.local_count; ++i) {
            Ref name = Ref::steal(PyUnicode_InternFromString(frame.local_names[i]));
            if (!name || (frame.local(i) && PyDict_SetItem(locals, name.get(), frame.local(i)) < 0)) {
                locals = nullptr;
            }
        }
    }
    else {
        none_bound = Ref::steal(PyDict_New());
        locals = none_bound.get();
    }
    Ref entry;
    if (code && namespace_) {
        entry = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), namespace_.get(), locals)));
    }
    PyErr_Clear();
    PyErr_SetRaisedException(raised.release());
    if (entry) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(entry.get()));
    }
}

ExceptBlock::ExceptBlock(Frame& frame)
{
    add_traceback(frame);
    error_ = Ref::steal(PyErr_GetRaisedException());
    // The running frame's own slot, as the interpreter's `except` does: not
    // the topmost exception being handled, which may be a caller's.
    saved_ = std::exchange(PyThreadState_Get()->exc_info->exc_value, Py_NewRef(error_.get()));
}

ExceptBlock::~ExceptBlock()
{
    Py_XSETREF(PyThreadState_Get()->exc_info->exc_value, saved_);
}

// The interpreter's own handling of what its eval breaker signals (pending
// signals and calls, a request from another thread for the interpreter lock,
// a scheduled collection), as its loops run it at every backward jump.
extern "C" int _Py_HandlePending(PyThreadState* thread);

bool LoopCheck::handle_pending()
{
    return _Py_HandlePending(thread_) < 0;
}

} // namespace ostrel
