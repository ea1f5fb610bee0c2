// get_gpu_uuid: what `nvidia-smi --query-gpu=uuid --format=csv,noheader`
// prints, decoded as UTF-8 and stripped of surrounding whitespace.
//
// The tool runs through subprocess.check_output, imported at every call. The
// wait is bounded: a hung driver can keep nvidia-smi from ever exiting, and an
// unbounded wait would hang every caller with it. On expiry check_output kills
// and reaps the child and raises TimeoutExpired, reported like any failure.

#include <cstdint>
#include <utility>

#include "lines.hpp"
#include "sources.hpp"

namespace ostrel {

namespace {

// Local variables, in the code object's order.
enum Local : std::uint8_t { kSubprocess, kResult };

// import subprocess
// result = subprocess.check_output([...], timeout=120)
bool run_tool(Frame& frame)
{
    frame.at(line::kGpuImport);
    Ref subprocess = import_name(frame, texts.subprocess, nullptr, Py_None);
    if (!subprocess) {
        return false;
    }
    frame.store(kSubprocess, std::move(subprocess));
    frame.at(line::kGpuRun);
    Ref check_output = Ref::steal(PyObject_GetAttr(frame.local(kSubprocess), texts.check_output));
    Ref args[] = {check_output ? Ref::steal(PyList_New(3)) : Ref{}, Ref::dup(texts.tool_timeout)};
    if (!args[0]) {
        return false;
    }
    PyList_SET_ITEM(args[0].get(), 0, Py_NewRef(texts.nvidia_smi));
    PyList_SET_ITEM(args[0].get(), 1, Py_NewRef(texts.query_gpu));
    PyList_SET_ITEM(args[0].get(), 2, Py_NewRef(texts.format_csv));
    Ref result = call(frame, std::move(check_output), args, texts.kw_timeout);
    if (!result) {
        return false;
    }
    frame.store(kResult, std::move(result));
    return true;
}

// return result.decode("utf-8").strip()
Ref gpu_uuid(Frame& frame)
{
    if (!run_tool(frame)) {
        return {};
    }
    frame.at(line::kGpuDecode);
    Ref decode = Ref::steal(PyObject_GetAttr(frame.local(kResult), texts.decode));
    Ref encoding[] = {Ref::dup(texts.utf_8)};
    Ref text = decode ? call(frame, std::move(decode), encoding) : Ref{};
    Ref strip = text ? Ref::steal(PyObject_GetAttr(text.get(), texts.strip)) : Ref{};
    text = Ref{}; // held by the bound method while it runs
    return strip ? call(frame, std::move(strip), {}) : Ref{};
}

} // namespace

Ref get_gpu_uuid(Frame& frame, PyObject*)
{
    return guarded(frame, texts.prefix_gpu, line::kGpuHandler, gpu_uuid);
}

} // namespace ostrel
