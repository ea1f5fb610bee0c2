// get_machine_code selects one identifier source by a DeviceType member;
// get_machine_string joins all three, disk first, with "|" between them.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "function.hpp"
#include "lines.hpp"
#include "sources.hpp"

namespace ostrel {

namespace {

struct Choice {
    int test_line;
    PyObject* Texts::* member;
    int call_line;
    PyObject* Texts::* source;
};

enum Member : std::uint8_t { kMac, kDisk, kCuda };

// Compared in this order; the first member equal to the argument wins.
constexpr Choice kChoices[] = {
    {line::kCodeMac, &Texts::MAC, line::kCodeMacCall, &Texts::get_mac_address},
    {line::kCodeDisk, &Texts::DISK, line::kCodeDiskCall, &Texts::get_disk_serial_number},
    {line::kCodeCuda, &Texts::CUDA, line::kCodeCudaCall, &Texts::get_gpu_uuid},
};

// DeviceType.<member> as the caches remember it, borrowed, or null when a
// lookup has to run.
PyObject* remembered_member(const Frame& frame, Member member)
{
    const Remembered& r = remembered_lookups;
    PyObject* device_type = remembered(r.device_type, frame.globals);
    return device_type ? remembered(r.members[member], device_type) : nullptr;
}

// DeviceType.<member>, looked up afresh.
Ref device_type_member(Frame& frame, Member member)
{
    if (PyObject* value = remembered_member(frame, member)) {
        return Ref::dup(value);
    }
    Remembered& r = remembered_lookups;
    Ref device_type = lookup_global(frame.globals, frame.builtins, texts.DeviceType, r.device_type);
    return device_type ? get_attribute(device_type.get(), texts.*kChoices[member].member, r.members[member]) : Ref{};
}

constexpr int kNoMember = 3;
constexpr int kUnknown = -1;

// The member the argument selects, when the caches remember DeviceType and its
// members and every comparison is by identity: then no Python code runs
// before the source is called, and the rounds reduce to pointer comparisons.
// kUnknown when the rounds have to run in full.
int quick_selection(const Frame& frame, PyObject* argument)
{
    const Remembered& r = remembered_lookups;
    PyObject* device_type = remembered(r.device_type, frame.globals);
    if (!device_type || !compares_by_identity(argument)) {
        return kUnknown;
    }
    for (Member member : {kMac, kDisk, kCuda}) {
        PyObject* value = remembered(r.members[member], device_type);
        if (!value || !compares_by_identity(value)) {
            return kUnknown;
        }
        if (value == argument) {
            return member;
        }
    }
    return kNoMember;
}

Ref run_source(Frame& frame, Member member)
{
    const Choice& choice = kChoices[member];
    frame.at(choice.call_line);
    Ref source = lookup_global(frame.globals, frame.builtins, texts.*choice.source, remembered_lookups.sources[member]);
    Ref result = source ? call(frame, std::move(source), {}) : Ref{};
    return checked_text(std::move(result));
}

Ref machine_code(Frame& frame, PyObject* argument)
{
    if (int selected = quick_selection(frame, argument); selected != kUnknown) {
        if (selected != kNoMember) {
            return run_source(frame, static_cast<Member>(selected));
        }
        frame.at(line::kCodeNone);
        return empty_text();
    }
    for (Member member : {kMac, kDisk, kCuda}) {
        frame.at(kChoices[member].test_line);
        Ref value = device_type_member(frame, member);
        int selected = value ? equals(Ref::dup(argument), std::move(value)) : -1;
        if (selected < 0) {
            return {};
        }
        if (selected) {
            return run_source(frame, member);
        }
    }
    frame.at(line::kCodeNone);
    return empty_text();
}

} // namespace

Ref get_machine_code(Frame& frame, PyObject* device_type)
{
    return guarded(frame, texts.prefix_code, line::kCodeHandler,
                   [device_type](Frame& f) { return machine_code(f, device_type); });
}

Ref get_machine_string(Frame& frame, PyObject*)
{
    frame.at(line::kStringJoin);
    constexpr Member kOrder[] = {kDisk, kMac, kCuda};
    Ref pieces[3];
    Py_ssize_t length = 2;
    Py_UCS4 widest = '|';
    for (int i = 0; i < 3; ++i) {
        Ref machine_code_fn =
            lookup_global(frame.globals, frame.builtins, texts.get_machine_code, remembered_lookups.machine_code);
        Ref member[] = {machine_code_fn ? device_type_member(frame, kOrder[i]) : Ref{}};
        Ref code = member[0] ? call(frame, std::move(machine_code_fn), member) : Ref{};
        Ref& text = pieces[i];
        text = code ? text_of(code.get()) : Ref{};
        if (!text) {
            return {};
        }
        length += PyUnicode_GET_LENGTH(text.get());
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(text.get()));
    }
    // disk|mac|gpu, written straight into one new string.
    Ref joined = Ref::steal(PyUnicode_New(length, widest));
    if (!joined) {
        return {};
    }
    const int kind = PyUnicode_KIND(joined.get());
    void* data = PyUnicode_DATA(joined.get());
    Py_ssize_t at = 0;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            PyUnicode_WRITE(kind, data, at++, '|');
        }
        PyObject* piece = pieces[i].get();
        const Py_ssize_t size = PyUnicode_GET_LENGTH(piece);
        if (PyUnicode_KIND(piece) == kind) {
            std::memcpy(static_cast<char*>(data) + at * kind, PyUnicode_DATA(piece), static_cast<size_t>(size * kind));
        }
        else if (PyUnicode_CopyCharacters(joined.get(), at, piece, 0, size) < 0) {
            return {};
        }
        at += size;
    }
    if (monitor::returned(frame, joined.get()) < 0) {
        reached(frame);
        return {};
    }
    return joined;
}

} // namespace ostrel
