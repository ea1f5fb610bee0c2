// get_machine_code selects one identifier source by a DeviceType member;
// get_machine_string joins all three, disk first, with "|" between them.

#include "lines.hpp"
#include "sources.hpp"

namespace ostrel {

namespace {

struct Choice {
    int test_line;
    PyObject* Texts::*member;
    int call_line;
    PyObject* Texts::*source;
};

// Compared in this order; the first member equal to the argument wins.
constexpr Choice kChoices[] = {
    {line::kCodeMac, &Texts::MAC, line::kCodeMacCall, &Texts::get_mac_address},
    {line::kCodeDisk, &Texts::DISK, line::kCodeDiskCall, &Texts::get_disk_serial_number},
    {line::kCodeCuda, &Texts::CUDA, line::kCodeCudaCall, &Texts::get_gpu_uuid},
};

// DeviceType.<member>, looked up afresh.
Ref device_type_member(Frame& frame, PyObject* member)
{
    Ref device_type = lookup_global(frame.globals, texts.DeviceType);
    return device_type ? Ref::steal(PyObject_GetAttr(device_type.get(), member)) : Ref{};
}

Ref machine_code(Frame& frame, PyObject* argument)
{
    for (const Choice& choice : kChoices) {
        frame.line = choice.test_line;
        Ref member = device_type_member(frame, texts.*choice.member);
        int selected = member ? equals(argument, member.get()) : -1;
        if (selected < 0) {
            return {};
        }
        if (selected) {
            frame.line = choice.call_line;
            Ref source = lookup_global(frame.globals, texts.*choice.source);
            return checked_text(source ? Ref::steal(PyObject_CallNoArgs(source.get())) : Ref{});
        }
    }
    frame.line = line::kCodeNone;
    return empty_text();
}

}  // namespace

Ref get_machine_code(Frame& frame, PyObject* device_type)
{
    return guarded(frame, texts.prefix_code, line::kCodeHandler,
                   [device_type](Frame& f) { return machine_code(f, device_type); });
}

Ref get_machine_string(Frame& frame, PyObject*)
{
    frame.line = line::kStringJoin;
    Ref pieces = Ref::steal(PyTuple_New(3));
    if (!pieces) {
        return {};
    }
    PyObject* const members[] = {texts.DISK, texts.MAC, texts.CUDA};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Ref machine_code_fn = lookup_global(frame.globals, texts.get_machine_code);
        Ref member = machine_code_fn ? device_type_member(frame, members[i]) : Ref{};
        Ref code = member ? Ref::steal(PyObject_CallOneArg(machine_code_fn.get(), member.get())) : Ref{};
        Ref text = code ? text_of(code.get()) : Ref{};
        if (!text) {
            return {};
        }
        PyTuple_SET_ITEM(pieces.get(), i, text.release());
    }
    return Ref::steal(PyUnicode_Join(texts.separator, pieces.get()));
}

}  // namespace ostrel
